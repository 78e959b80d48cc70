#include "monitor/update/reports.h"

#include <algorithm>
#include <cctype>

#include "common/ansi_text.h"

namespace quarn {

namespace {

std::string Encoded(const std::string& v) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : v) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

bool IsQuery(const std::string& line) {
  if (line.empty() || line.size() > kMaxReportQuery || line.rfind("programa=", 0) != 0) return false;
  return std::all_of(line.begin(), line.end(), [](char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return std::isalnum(u) || std::string_view("-._~%=&").find(c) != std::string_view::npos;
  });
}

}  // namespace

std::string ReportQuery(const OutcomeReport& r) {
  return "programa=" + Encoded(r.program) + "&de=" + Encoded(r.from) + "&para=" + Encoded(r.to) +
         "&publicacao=" + std::to_string(r.publication) + "&resultado=" + Encoded(r.outcome) +
         "&balde=" + std::to_string(r.bucket);
}

std::vector<std::string> ParseReportQueue(std::string_view text) {
  std::vector<std::string> out;
  for (const std::string& line : SplitLines(text))
    if (IsQuery(line)) out.push_back(line);
  if (out.size() > kMaxPendingReports) out.erase(out.begin(), out.end() - kMaxPendingReports);
  return out;
}

std::string FormatReportQueue(const std::vector<std::string>& queries) {
  std::string text;
  for (const std::string& q : queries) text += q + "\r\n";
  return text;
}

}  // namespace quarn
