// Any bytes as a run-state marker: its deciding line (last, or last non-empty)
// read as a date. A date that parses is a real one and reads back from the text
// the monitor writes; a believed time is never further ahead than the tolerance.
#include "common/ansi_text.h"
#include "fuzz/fuzz_check.h"
#include "monitor/markers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quarn;
  PtBrDateFormat dates;
  const std::string text = Cp1252Codec().FromAnsi(fuzz::Input(data, size));
  const LocalTime now{2026, 12, 8, 5, 30, 0}, lastWrite{2026, 12, 8, 5, 0, 0};
  for (const std::string& line : {LastLine(text), LastNonEmptyLine(text)}) {
    LocalTime t;
    if (dates.ParseDate(line, t)) {
      QUARN_FUZZ_CHECK(FromEpochSeconds(ToEpochSeconds(t)) == t);
      LocalTime again;
      QUARN_FUZZ_CHECK(dates.ParseDate(dates.GeneralDate(t), again) && again == t);
      QUARN_FUZZ_CHECK(MarkerTime(line, lastWrite, dates) == t);
    } else {
      QUARN_FUZZ_CHECK(MarkerTime(line, lastWrite, dates) == lastWrite);
    }
    const auto believed = BelievedMarkerTime(line, lastWrite, now, dates);
    QUARN_FUZZ_CHECK(believed.has_value());  // the last write is in the past here
    QUARN_FUZZ_CHECK(MinuteBoundaries(now, *believed) <= kFutureToleranceMinutes);
  }
  return 0;
}
