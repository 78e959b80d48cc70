#pragma once
// Formatted-log records as the service monitor writes them, for the tests of
// the GUI monitor that reads them: its parser natively, the program under Wine.
#include <string>
#include <string_view>

#include "monitor/logs.h"

namespace quarn::testlog {

inline constexpr char kStamp[] = "07/12/2026 05:58:36";

inline std::string Record(std::string_view message, int32_t color, bool bold, std::string_view stamp = kStamp) {
  return BuildLogRecord(stamp, kFormattedSeparator, message, color, bold);
}

}  // namespace quarn::testlog
