#include "monitor/update/download.h"

#include <cctype>
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

}  // namespace quarn
