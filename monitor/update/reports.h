#pragma once
// Outcome reports: after each step and outcome of an update the monitor asks
// the update server for one address that says what happened, with nothing
// that names the machine or its users. A static server's access log is then
// the fleet's record.
#include <string>
#include <string_view>
#include <vector>

namespace quarn {

// The outcomes, in the system's words.
inline constexpr char kReportInstalled[] = "instalado";  // installed, its probation begun
inline constexpr char kReportKept[] = "mantido";         // kept after its probation
inline constexpr char kReportRolledBack[] = "revertido";
inline constexpr char kReportRefused[] = "recusado";
inline constexpr char kReportHeld[] = "retido";          // held after its build failed
inline constexpr char kReportWaiting[] = "aguardando";   // a staged rollout or a hold leaves it out

struct OutcomeReport {
  std::string program, from, to;  // UTF-8
  uint64_t publication = 0;
  std::string outcome;
  uint32_t bucket = 0;
};

inline constexpr char kReportPath[] = "relatorio";
inline constexpr size_t kMaxPendingReports = 16;
inline constexpr size_t kMaxReportQuery = 600;

// "programa=…&de=…&para=…&publicacao=…&resultado=…&balde=…", every value
// percent-encoded but for letters, digits and "-._~".
std::string ReportQuery(const OutcomeReport& r);
// The queue's file: one query a line, CRLF. Lines that are not one of ours
// (too long, or with a byte a query never has) are dropped; the newest
// kMaxPendingReports are kept.
std::vector<std::string> ParseReportQueue(std::string_view text);
std::string FormatReportQueue(const std::vector<std::string>& queries);

}  // namespace quarn
