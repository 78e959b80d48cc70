// Any bytes as a version record (VersaoX.ini): read as the updater reads one,
// line by line, trimmed; the trimmed text is the line without its outer spaces.
#include "common/ansi_text.h"
#include "common/errors.h"
#include "fuzz/fuzz_check.h"
#include "monitor/update/updater.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quarn;
  const std::string text = Cp1252Codec().FromAnsi(fuzz::Input(data, size));
  const auto lines = SplitLines(text);
  for (const std::string& line : lines) {
    QUARN_FUZZ_CHECK(line.find('\r') == std::string::npos);
    const std::string v = TrimSpaces(line);
    QUARN_FUZZ_CHECK(v.empty() || (v.front() != ' ' && v.back() != ' '));
    QUARN_FUZZ_CHECK(line.find(v) != std::string::npos);
    QUARN_FUZZ_CHECK(TrimSpaces(v) == v);
  }
  // The download's length header goes through the same trimming.
  if (!lines.empty()) {
    try {
      QUARN_FUZZ_CHECK(ParseContentLength(lines.front()) >= 0);
    } catch (const VbError&) {
    }
  }
  return 0;
}
