// Any bytes as a version record (VersaoX.ini): read as the updater reads one,
// line by line, trimmed; the trimmed text is the line without its outer spaces,
// and a record over its bounds is refused with a short quote. Each line is
// also a server's answer header (Content-Length, Content-Range, Retry-After)
// and an administrator's UpdateProxy.
#include "common/ansi_text.h"
#include "common/errors.h"
#include "fuzz/fuzz_check.h"
#include "monitor/update/download.h"
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
  // The bounded reader: a short line or a refusal that quotes little.
  for (const bool last : {false, true}) {
    try {
      const std::string line = RecordLine(fuzz::Input(data, size), last);
      QUARN_FUZZ_CHECK(size <= kMaxRecordBytes && line.size() <= 3 * kMaxRecordLineBytes);
    } catch (const VbError& e) {
      QUARN_FUZZ_CHECK(e.Number() == kErrBadFileFormat || (e.Number() == kErrPastEnd && !last));
      QUARN_FUZZ_CHECK(e.Description().size() <= 3 * kRecordQuoteBytes + 128);
    }
  }
  // The download's length header goes through the same trimming.
  if (!lines.empty()) {
    try {
      QUARN_FUZZ_CHECK(ParseContentLength(lines.front()) >= 0);
    } catch (const VbError&) {
    }
  }
  for (const std::string& h : lines) {
    if (const auto r = ParseContentRange(h)) QUARN_FUZZ_CHECK(r->first >= 0 && r->first <= r->last && r->last < r->total);
    if (const auto wait = RetryAfterSeconds(h, 1796817600))
      QUARN_FUZZ_CHECK(*wait >= kMinRetryAfterSeconds && *wait <= kMaxRetryAfterSeconds);
    const ProxyChoice c = ChooseProxy(ProxySettings{h, "", ""});
    QUARN_FUZZ_CHECK(c.route.proxy.empty() || c.route.proxy.find_first_of(" ;=/@") == std::string::npos);
    QUARN_FUZZ_CHECK(c.description.size() <= 400);
  }
  return 0;
}
