#pragma once
// What the fleet said: the monitors' outcome reports, read from a web
// server's access log (nginx's, or any in the combined format), summed per
// program and publication, each bucket counted once, by its last report.
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace quarn::publish {

struct FleetSummary {
  // (program, publication) -> outcome -> machines (buckets)
  std::map<std::pair<std::string, uint64_t>, std::map<std::string, uint64_t>> outcomes;
  uint64_t reports = 0;  // report lines read
  uint64_t skipped = 0;  // lines that are no access-log line, or a report that is not one of ours
};

// Adds one access-log line; other requests are passed over.
class FleetReader {
 public:
  void Line(const std::string& line);
  FleetSummary Summary() const;

 private:
  // (program, publication, bucket) -> the last outcome it reported
  std::map<std::tuple<std::string, uint64_t, uint32_t>, std::string> last_;
  uint64_t reports_ = 0, skipped_ = 0;
};

// "QuarnSQLService publicação 10: instalado 3, mantido 2 (5 máquinas)" a line
// each, then the lines skipped.
std::string FormatSummary(const FleetSummary& s);
// The same as one JSON object, for a dashboard.
std::string FormatSummaryJson(const FleetSummary& s);

}  // namespace quarn::publish
