#include "monitor/update/download.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace quarn {

namespace {

std::string Lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The scheme as written ("HTTP", "ftp"), or "" when the text starts with none.
std::string SchemeOf(const std::string& s) {
  if (s.empty() || !std::isalpha(static_cast<unsigned char>(s[0]))) return {};
  for (size_t i = 1; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == ':') return s.substr(0, i);
    if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return {};
  }
  return {};
}

struct Parts {
  std::string scheme, authority, path, query;  // query with its "?"
};

Parts Split(const std::string& url) {
  Parts p;
  p.scheme = Lower(SchemeOf(url));
  size_t at = p.scheme.empty() ? (url.compare(0, 1, ":") == 0 ? 1 : 0) : p.scheme.size() + 1;
  if (url.compare(at, 2, "//") == 0) {
    const size_t end = url.find_first_of("/?#", at + 2);
    p.authority = url.substr(at + 2, end == std::string::npos ? std::string::npos : end - at - 2);
    at = end == std::string::npos ? url.size() : end;
  }
  const size_t q = url.find_first_of("?#", at);
  p.path = url.substr(at, q == std::string::npos ? std::string::npos : q - at);
  if (q != std::string::npos && url[q] == '?') {
    const size_t hash = url.find('#', q);
    p.query = url.substr(q, hash == std::string::npos ? std::string::npos : hash - q);
  }
  return p;
}

// "." and ".." segments resolved; a path that climbs above the root stays at it.
std::string RemoveDotSegments(const std::string& path) {
  std::vector<std::string> out;
  size_t start = 1;  // the path starts with "/"
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    const std::string seg = path.substr(start, slash - start);
    const bool last = slash == path.size();
    if (seg == "..") {
      if (!out.empty()) out.pop_back();
      if (last) out.emplace_back();
    } else if (seg == ".") {
      if (last) out.emplace_back();
    } else {
      out.push_back(seg);
    }
    start = slash + 1;
  }
  std::string result;
  for (const auto& seg : out) result += "/" + seg;
  return result.empty() ? "/" : result;
}

std::string Join(const Parts& p) { return p.scheme + "://" + p.authority + p.path + p.query; }

}  // namespace

DownloadLimits DownloadLimitsFor(const std::string& url) {
  const std::string path = url.substr(0, url.find_first_of("?#"));
  const std::string file = Lower(path.substr(path.find_last_of('/') + 1));
  return file.rfind("versao", 0) == 0 ? kVersionArchiveLimits : kBuildArchiveLimits;
}

std::string UrlScheme(const std::string& url) {
  const std::string s = Lower(SchemeOf(url));
  return s == "http" || s == "https" ? s : std::string();
}

std::string ResolveRedirect(const std::string& base, const std::string& location) {
  std::string loc = location;
  while (!loc.empty() && (loc.front() == ' ' || loc.front() == '\t')) loc.erase(0, 1);
  while (!loc.empty() && (loc.back() == ' ' || loc.back() == '\t')) loc.pop_back();
  if (loc.empty() || loc.front() == '#') return {};
  const Parts b = Split(base);
  Parts r;
  if (!SchemeOf(loc).empty()) {
    r = Split(loc);
  } else if (loc.compare(0, 2, "//") == 0) {
    r = Split(b.scheme + ":" + loc);
  } else {
    const Parts rel = Split(":" + loc);  // no scheme: path, query and fragment only
    r.scheme = b.scheme;
    r.authority = b.authority;
    if (rel.path.empty()) {
      r.path = b.path;
      r.query = rel.query;
    } else {
      r.path = rel.path.front() == '/' ? rel.path : b.path.substr(0, b.path.find_last_of('/') + 1) + rel.path;
      r.query = rel.query;
    }
  }
  if (r.scheme != "http" && r.scheme != "https") return {};
  if (r.authority.empty()) return {};
  r.path = RemoveDotSegments(r.path.empty() ? "/" : (r.path.front() == '/' ? r.path : "/" + r.path));
  return Join(r);
}

namespace {

// Host in lower case and port of an authority; userinfo dropped, the
// scheme's own port when none is written.
std::pair<std::string, std::string> HostAndPort(const std::string& scheme, std::string authority) {
  const size_t at = authority.rfind('@');
  if (at != std::string::npos) authority.erase(0, at + 1);
  std::string host = authority, port;
  const size_t colon = authority.rfind(':');
  if (colon != std::string::npos && authority.find(']', colon) == std::string::npos) {
    host = authority.substr(0, colon);
    port = authority.substr(colon + 1);
  }
  if (port.empty()) port = scheme == "https" ? "443" : "80";
  while (port.size() > 1 && port[0] == '0') port.erase(0, 1);
  return {Lower(host), port};
}

bool AllDigits(const std::string& s) {
  if (s.empty() || s.size() > 18) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

// Days from 1970-01-01 to a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

}  // namespace

std::string QuoteForLog(const std::string& text) {
  std::string q = text.substr(0, 64);
  for (char& c : q)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '?';
  return q + (text.size() > 64 ? "..." : "");
}

bool IsCertificateRefusal(long number) {
  // Date, name, client certificate, authority, revocation unanswered, secure
  // channel, invalid, revoked, secure failure, wrong usage.
  for (long n : {12037L, 12038L, 12044L, 12045L, 12057L, 12157L, 12169L, 12170L, 12175L, 12179L})
    if (number == n) return true;
  return false;
}

bool SameOrigin(const std::string& a, const std::string& b) {
  const Parts pa = Split(a), pb = Split(b);
  if (pa.scheme.empty() || pa.scheme != pb.scheme) return false;
  return HostAndPort(pa.scheme, pa.authority) == HostAndPort(pb.scheme, pb.authority);
}

std::string Validator::ForIfRange() const {
  if (!etag.empty()) return etag.front() == '"' ? etag : std::string();  // a weak tag resumes nothing
  return lastModified;
}

Validator Validator::From(const std::string& etag, const std::string& lastModified) {
  // One entity tag, strong or weak, of printable characters; a date a server
  // must send. "*" or a list would match any later answer.
  const bool weak = etag.compare(0, 2, "W/") == 0;
  const std::string quoted = weak ? etag.substr(2) : etag;
  bool tagOk = quoted.size() >= 2 && quoted.size() <= 200 && quoted.front() == '"' && quoted.back() == '"';
  for (size_t i = 1; tagOk && i + 1 < quoted.size(); ++i)
    tagOk = quoted[i] > 0x20 && quoted[i] < 0x7F && quoted[i] != '"';
  return Validator{tagOk ? etag : std::string(), ParseHttpDate(lastModified) ? Trim(lastModified) : std::string()};
}

std::optional<ContentRange> ParseContentRange(const std::string& text) {
  const std::string t = Trim(text);
  if (Lower(t.substr(0, 6)) != "bytes ") return std::nullopt;
  const size_t dash = t.find('-', 6), slash = t.find('/', 6);
  if (dash == std::string::npos || slash == std::string::npos || dash > slash) return std::nullopt;
  const std::string first = t.substr(6, dash - 6), last = t.substr(dash + 1, slash - dash - 1),
                    total = t.substr(slash + 1);
  if (!AllDigits(first) || !AllDigits(last) || !AllDigits(total)) return std::nullopt;
  ContentRange r{std::stoll(first), std::stoll(last), std::stoll(total)};
  if (r.first > r.last || r.last >= r.total) return std::nullopt;
  return r;
}

std::optional<int64_t> ParseHttpDate(const std::string& text) {
  // "Sun, 06 Nov 1994 08:49:37 GMT": the one form a server must send.
  static const char* const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                        "jul", "aug", "sep", "oct", "nov", "dec"};
  const std::string t = Trim(text);
  if (t.size() != 29 || t[3] != ',' || t[4] != ' ' || t[7] != ' ' || t[11] != ' ' || t[16] != ' ' || t[19] != ':' ||
      t[22] != ':' || t[25] != ' ' || t.substr(26) != "GMT")
    return std::nullopt;
  const std::string day = t.substr(5, 2), year = t.substr(12, 4), hh = t.substr(17, 2), mm = t.substr(20, 2),
                    ss = t.substr(23, 2);
  if (!AllDigits(day) || !AllDigits(year) || !AllDigits(hh) || !AllDigits(mm) || !AllDigits(ss)) return std::nullopt;
  int month = 0;
  while (month < 12 && Lower(t.substr(8, 3)) != kMonths[month]) ++month;
  const int d = std::stoi(day), h = std::stoi(hh), mi = std::stoi(mm), se = std::stoi(ss);
  if (month == 12 || d < 1 || d > 31 || h > 23 || mi > 59 || se > 60) return std::nullopt;
  return DaysFromCivil(std::stoi(year), month + 1, d) * 86400 + h * 3600 + mi * 60 + se;
}

std::optional<int64_t> RetryAfterSeconds(const std::string& text, int64_t nowUtc) {
  const std::string t = Trim(text);
  int64_t seconds = 0;
  if (AllDigits(t)) {
    seconds = std::stoll(t);
  } else if (const auto at = ParseHttpDate(t)) {
    seconds = *at - nowUtc;
  } else {
    return std::nullopt;
  }
  return std::min(std::max(seconds, kMinRetryAfterSeconds), kMaxRetryAfterSeconds);
}

ProxyChoice ChooseProxy(const ProxySettings& s) {
  std::string note;
  if (s.updateProxy) {
    std::string v = Trim(*s.updateProxy);
    if (Lower(v.substr(0, 7)) == "http://") v.erase(0, 7);  // as a proxy's address is often written
    if (!v.empty() && v.back() == '/') v.pop_back();
    if (Lower(v) == "direct") return {{}, "Proxy das atualizações: nenhum, conexão direta (UpdateProxy = direct)"};
    // host:port, the host a name, an IPv4 address or a bracketed IPv6 one.
    const size_t colon = v.rfind(':');
    const std::string host = colon == std::string::npos ? std::string() : v.substr(0, colon);
    const std::string port = colon == std::string::npos ? std::string() : v.substr(colon + 1);
    // A host name is ASCII letters, digits, '-' and '.' (at most 253), an
    // IPv4 address or a bracketed IPv6 one.
    bool hostOk = !host.empty() && host.size() <= 255 &&
                  (host.front() == '[' ? host.back() == ']' : host.find(':') == std::string::npos);
    for (char c : host)
      hostOk = hostOk && (std::isalnum(static_cast<unsigned char>(c)) || std::strchr("-.[]:", c)) &&
               static_cast<unsigned char>(c) < 0x80;
    if (hostOk && AllDigits(port) && port.size() <= 5 && std::stol(port) >= 1 && std::stol(port) <= 65535)
      return {{v, ""}, "Proxy das atualizações: " + v + " (UpdateProxy)"};
    note = "UpdateProxy inválido (\"" + QuoteForLog(v) + "\"), ignorado; ";
  }
  if (!s.machineProxy.empty())
    return {{s.machineProxy, s.machineBypass},
            note + "Proxy das atualizações: " + s.machineProxy + " (proxy WinHTTP da máquina" +
                (s.machineBypass.empty() ? std::string() : "; exceções: " + s.machineBypass) + ")"};
  return {{}, note + "Proxy das atualizações: nenhum, conexão direta"};
}

}  // namespace quarn
