#include "common/process_control.h"

#include "common/ansi_text.h"

namespace quarn {

std::string UpperAnsi(const std::string& utf8) {
  std::string ansi = Cp1252Codec().ToAnsi(utf8);
  for (auto& ch : ansi) {
    const auto b = static_cast<unsigned char>(ch);
    if ((b >= 'a' && b <= 'z') || (b >= 0xE0 && b <= 0xFE && b != 0xF7)) ch = static_cast<char>(b - 32);
  }
  return ansi;
}

bool LikeMatch(const std::string& text, const std::string& pattern) {
  size_t t = 0, p = 0;
  size_t starP = std::string::npos, starT = 0;
  while (t < text.size()) {
    bool advanced = false;
    if (p < pattern.size()) {
      const char c = pattern[p];
      if (c == '*') {
        starP = p++;
        starT = t;
        continue;
      }
      if (c == '?') {
        ++p;
        ++t;
        advanced = true;
      } else if (c == '#') {
        if (text[t] >= '0' && text[t] <= '9') {
          ++p;
          ++t;
          advanced = true;
        }
      } else if (c == '[') {
        const size_t close = pattern.find(']', p + 1);
        if (close == std::string::npos) return false;  // a malformed list matches nothing
        std::string list = pattern.substr(p + 1, close - p - 1);
        bool negate = !list.empty() && list[0] == '!';
        if (negate) list.erase(0, 1);
        bool in = false;
        for (size_t i = 0; i < list.size(); ++i) {
          if (i + 2 < list.size() && list[i + 1] == '-') {
            in = in || (text[t] >= list[i] && text[t] <= list[i + 2]);
            i += 2;
          } else {
            in = in || text[t] == list[i];
          }
        }
        if (in != negate) {
          p = close + 1;
          ++t;
          advanced = true;
        }
      } else if (c == text[t]) {
        ++p;
        ++t;
        advanced = true;
      }
    }
    if (advanced) continue;
    if (starP == std::string::npos) return false;
    p = starP + 1;
    t = ++starT;
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

uint32_t FechaExe::PegaIdProcesso(const std::string& NomeExe) {
  std::vector<ProcessEntry> list;
  if (!port_.Snapshot(list)) return 0;
  const std::string wanted = UpperAnsi(NomeExe) + "*";
  for (const auto& e : list) {
    if (LikeMatch(UpperAnsi(e.exeFile), wanted)) return e.id;
  }
  return 0;
}

bool FechaExe::ProcessoAtivo(uint32_t id, const std::string& NomeExe) {
  std::vector<ProcessEntry> list;
  if (!port_.Snapshot(list)) return false;
  const std::string wanted = UpperAnsi(NomeExe) + "*";
  for (const auto& e : list)
    if (e.id == id) return LikeMatch(UpperAnsi(e.exeFile), wanted);
  return false;
}

bool FechaExe::FechaProcesso(uint32_t& IdProcesso, uintptr_t& JanelaProcesso) {
  if (JanelaProcesso != 0) IdProcesso = port_.WindowProcess(JanelaProcesso);
  if (IdProcesso == 0) return false;
  port_.EnableDebugPrivilege();
  return port_.Terminate(IdProcesso);
}

}  // namespace quarn
