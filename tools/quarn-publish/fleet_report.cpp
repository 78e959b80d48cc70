#include "tools/quarn-publish/fleet_report.h"

#include <cctype>
#include <tuple>

#include "common/suite_files.h"
#include "monitor/update/reports.h"

namespace quarn::publish {

namespace {

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// A query value as sent; false when its escapes are broken.
bool Decode(const std::string& v, std::string& out) {
  out.clear();
  for (size_t i = 0; i < v.size(); ++i) {
    if (v[i] == '+') {
      out += ' ';
    } else if (v[i] != '%') {
      out += v[i];
    } else {
      if (i + 2 >= v.size() || Hex(v[i + 1]) < 0 || Hex(v[i + 2]) < 0) return false;
      out += static_cast<char>(Hex(v[i + 1]) * 16 + Hex(v[i + 2]));
      i += 2;
    }
  }
  return true;
}

bool Number(const std::string& v, uint64_t max, uint64_t& out) {
  if (v.empty() || v.size() > 18) return false;
  out = 0;
  for (char c : v) {
    if (c < '0' || c > '9') return false;
    out = out * 10 + static_cast<uint64_t>(c - '0');
  }
  return out <= max;
}

std::string JsonText(const std::string& s) {
  std::string out = "\"";
  for (const unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      static const char kHex[] = "0123456789abcdef";
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

}  // namespace

void FleetReader::Line(const std::string& line) {
  // host ident user [time] "METHOD target PROTOCOL" status bytes ...
  const size_t open = line.find(" \""), close = open == std::string::npos ? open : line.find('"', open + 2);
  if (line.empty()) return;
  if (open == std::string::npos || close == std::string::npos || line.find('[') == std::string::npos ||
      line.find('[') > open) {
    ++skipped_;
    return;
  }
  const std::string request = line.substr(open + 2, close - open - 2);
  const size_t sp1 = request.find(' '), sp2 = request.rfind(' ');
  if (sp1 == std::string::npos || sp2 == sp1) {
    ++skipped_;
    return;
  }
  const std::string target = request.substr(sp1 + 1, sp2 - sp1 - 1);
  const std::string path = std::string("/CentralUpdate/QuarnSqlSolvane/") + kReportPath + "?";
  if (target.rfind(path, 0) != 0) return;  // another request of the server
  std::map<std::string, std::string> fields;
  const std::string query = target.substr(path.size());
  for (size_t at = 0; at <= query.size();) {
    size_t amp = query.find('&', at);
    if (amp == std::string::npos) amp = query.size();
    const std::string pair = query.substr(at, amp - at);
    const size_t eq = pair.find('=');
    std::string value;
    if (eq == std::string::npos || !Decode(pair.substr(eq + 1), value)) {
      ++skipped_;
      return;
    }
    fields[pair.substr(0, eq)] = value;
    at = amp + 1;
  }
  uint64_t publication = 0, bucket = 0;
  const std::string& outcome = fields["resultado"];
  const bool known = outcome == kReportInstalled || outcome == kReportKept || outcome == kReportRolledBack ||
                     outcome == kReportRefused || outcome == kReportHeld || outcome == kReportWaiting;
  const std::string& program = fields["programa"];
  if ((program != kBackupServiceName && program != kGuiMonitorName) || !known || !Number(fields["publicacao"], UINT64_MAX / 10, publication) ||
      !Number(fields["balde"], 9999, bucket)) {
    ++skipped_;
    return;
  }
  ++reports_;
  last_[{fields["programa"], publication, static_cast<uint32_t>(bucket)}] = outcome;  // the log is in time order
}

FleetSummary FleetReader::Summary() const {
  FleetSummary s;
  s.reports = reports_;
  s.skipped = skipped_;
  for (const auto& [key, outcome] : last_) ++s.outcomes[{std::get<0>(key), std::get<1>(key)}][outcome];
  return s;
}

std::string FormatSummary(const FleetSummary& s) {
  std::string out;
  for (const auto& [key, outcomes] : s.outcomes) {
    uint64_t machines = 0;
    std::string parts;
    for (const auto& [outcome, n] : outcomes) {
      parts += (parts.empty() ? "" : ", ") + outcome + " " + std::to_string(n);
      machines += n;
    }
    out += key.first + " publicação " + std::to_string(key.second) + ": " + parts + " (" + std::to_string(machines) +
           (machines == 1 ? " máquina)\n" : " máquinas)\n");
  }
  out += std::to_string(s.reports) + " relatórios lidos, " + std::to_string(s.skipped) + " linhas ignoradas\n";
  return out;
}

std::string FormatSummaryJson(const FleetSummary& s) {
  std::string out = "{\"publicacoes\": [";
  bool first = true;
  for (const auto& [key, outcomes] : s.outcomes) {
    out += std::string(first ? "" : ", ") + "{\"programa\": " + JsonText(key.first) +
           ", \"publicacao\": " + std::to_string(key.second) + ", \"resultados\": {";
    bool firstOutcome = true;
    for (const auto& [outcome, n] : outcomes) {
      out += std::string(firstOutcome ? "" : ", ") + JsonText(outcome) + ": " + std::to_string(n);
      firstOutcome = false;
    }
    out += "}}";
    first = false;
  }
  return out + "], \"relatorios\": " + std::to_string(s.reports) + ", \"ignoradas\": " + std::to_string(s.skipped) +
         "}\n";
}

}  // namespace quarn::publish
