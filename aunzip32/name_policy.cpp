#include "aunzip32/name_policy.h"

#include <array>
#include <cstdint>

namespace quarn::unzip {
namespace {

// Code page 437, bytes 0x80-0xFF.
constexpr std::array<char16_t, 128> kCp437High = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
    0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
    0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
    0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
    0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320,
    0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | c >> 6);
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | c >> 12);
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

bool IsValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    size_t len = 0;
    char32_t c = 0, min = 0;
    if (b < 0x80) {
      ++i;
      continue;
    } else if ((b & 0xE0) == 0xC0) {
      len = 2, c = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      len = 3, c = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      len = 4, c = b & 0x07, min = 0x10000;
    } else {
      return false;
    }
    if (i + len > s.size()) return false;
    for (size_t k = 1; k < len; ++k) {
      const auto cont = static_cast<unsigned char>(s[i + k]);
      if ((cont & 0xC0) != 0x80) return false;
      c = c << 6 | (cont & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  return true;
}

// Windows opens these as devices whatever the extension ("nul.txt", "CON .log").
bool IsDeviceName(std::string_view name) {
  std::string_view base = name.substr(0, name.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
    if (EqualsNoCase(base, device)) return true;
  for (const char* port : {"COM", "LPT"}) {
    if (base.size() < 4 || !EqualsNoCase(base.substr(0, 3), port)) continue;
    const std::string_view number = base.substr(3);
    if (number.size() == 1 && number[0] >= '0' && number[0] <= '9') return true;
    // Superscript one, two and three count as port numbers too.
    if (number == "\xC2\xB9" || number == "\xC2\xB2" || number == "\xC2\xB3") return true;
  }
  return false;
}

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

std::vector<std::string_view> Components(std::string_view name) {
  std::vector<std::string_view> parts;
  size_t from = 0;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || IsSeparator(name[i])) {
      parts.push_back(name.substr(from, i - from));
      from = i + 1;
    }
  }
  return parts;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

}  // namespace

bool EntryNameToUtf8(std::string_view raw, bool flaggedUtf8, std::string& utf8) {
  if (flaggedUtf8) {
    if (!IsValidUtf8(raw)) return false;
    utf8.assign(raw);
    return true;
  }
  utf8.clear();
  for (const char ch : raw) {
    const auto b = static_cast<unsigned char>(ch);
    AppendUtf8(utf8, b < 0x80 ? b : kCp437High[b - 0x80]);
  }
  return true;
}

std::string_view PlainName(std::string_view name) {
  const size_t cut = name.find_last_of("/\\");
  return cut == std::string_view::npos ? name : name.substr(cut + 1);
}

bool IsSafeFileName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (const char ch : name) {
    const auto b = static_cast<unsigned char>(ch);
    if (b < 0x20 || b == 0x7F) return false;
    switch (ch) {
      case '<':
      case '>':
      case ':':
      case '"':
      case '/':
      case '\\':
      case '|':
      case '?':
      case '*':
        return false;
      default:
        break;
    }
  }
  if (name.back() == ' ' || name.back() == '.') return false;
  return !IsDeviceName(name);
}

std::vector<std::string> TargetPath(std::string_view name, bool restoreStructure) {
  if (name.empty() || IsSeparator(name.front()) || name.find(':') != std::string_view::npos) return {};
  const std::vector<std::string_view> parts = Components(name);
  for (const std::string_view part : parts)
    if (part == "..") return {};
  if (!restoreStructure) {
    if (!IsSafeFileName(parts.back())) return {};
    return {std::string(parts.back())};
  }
  std::vector<std::string> path;
  for (size_t i = 0; i < parts.size(); ++i) {
    const bool folder = i + 1 < parts.size();
    if (folder && (parts[i].empty() || parts[i] == ".")) continue;  // "a//b", "./b"
    if (!IsSafeFileName(parts[i])) return {};
    path.emplace_back(parts[i]);
  }
  return path;
}

bool WildcardMatch(std::string_view pattern, std::string_view name) {
  // Skips one UTF-8 character of name starting at i.
  auto nextChar = [&](size_t i) {
    ++i;
    while (i < name.size() && (static_cast<unsigned char>(name[i]) & 0xC0) == 0x80) ++i;
    return i;
  };
  size_t p = 0, n = 0;
  size_t starP = std::string_view::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (p < pattern.size() && pattern[p] == '?') {
      ++p;
      n = nextChar(n);
    } else if (p < pattern.size() && AsciiUpper(pattern[p]) == AsciiUpper(name[n])) {
      ++p;
      ++n;
    } else if (starP != std::string_view::npos) {
      // Let the last '*' take one more character and try again.
      p = starP + 1;
      n = starN = nextChar(starN);
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool Included(std::string_view list, std::string_view plainName) {
  bool anyPattern = false;
  size_t from = 0;
  for (size_t i = 0; i <= list.size(); ++i) {
    if (i < list.size() && list[i] != '|' && list[i] != ';') continue;
    const std::string_view pattern = Trim(list.substr(from, i - from));
    from = i + 1;
    if (pattern.empty()) continue;
    anyPattern = true;
    if (WildcardMatch(pattern, plainName)) return true;
  }
  return !anyPattern;
}

}  // namespace quarn::unzip
