// Any bytes as one of the files the updater keeps about its outcome, all under
// Logs\ where a service account or a clean-up tool may write: the holds and
// the list of the build in place. What parses is written back in the one form
// it is read in, and holds keep their bounds.
#include <string>

#include "fuzz/fuzz_check.h"
#include "monitor/update/disk_check.h"
#include "monitor/update/holds.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quarn;
  const std::string bytes = fuzz::Input(data, size);

  const std::vector<Hold> holds = ParseHolds(bytes);
  for (size_t i = 0; i < holds.size(); ++i) {
    QUARN_FUZZ_CHECK(holds[i].failures > 0);
    QUARN_FUZZ_CHECK(holds[i].key.version.size() <= kMaxHoldVersion);
    QUARN_FUZZ_CHECK(holds[i].key.digest.empty() || holds[i].key.digest.size() == 32);
    for (size_t j = 0; j < i; ++j) QUARN_FUZZ_CHECK(holds[j].key.program != holds[i].key.program);
  }
  const std::string again = FormatHolds(holds);
  QUARN_FUZZ_CHECK(FormatHolds(ParseHolds(again)) == again);

  InstalledBuild b;
  if (ParseInstalledBuild(bytes, b)) {
    const std::string text = FormatInstalledBuild(b);
    InstalledBuild back;
    QUARN_FUZZ_CHECK(ParseInstalledBuild(text, back));
    QUARN_FUZZ_CHECK(FormatInstalledBuild(back) == text);
    for (const InstalledFile& f : b.files) QUARN_FUZZ_CHECK(f.name.find('\\') == std::string::npos);
  }
  return 0;
}
