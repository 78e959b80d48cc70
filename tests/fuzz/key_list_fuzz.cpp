// Any bytes as the registry's list of update keys: every key taken is 64 bytes,
// once, and stands in the text; nothing is dropped without a word.
#include <algorithm>

#include "common/ansi_text.h"
#include "fuzz/fuzz_check.h"
#include "monitor/update/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quarn;
  const std::string text = fuzz::Input(data, size);
  const TrustedKeys k = ParseTrustedKeys({{"UpdatePublicKeys", text, ""}});
  QUARN_FUZZ_CHECK(k.configured);
  const std::string lower = LowerCase(text);
  size_t tokens = 0;
  for (size_t at = 0; at < text.size();) {
    const size_t end = std::min(text.find_first_of(" \t\r\n;,", at), text.size());
    tokens += end > at;
    at = end + 1;
  }
  QUARN_FUZZ_CHECK(k.keys.size() + k.rejected.size() <= tokens);
  for (size_t i = 0; i < k.keys.size(); ++i) {
    QUARN_FUZZ_CHECK(k.keys[i].size() == 64);
    QUARN_FUZZ_CHECK(lower.find(ToHex(k.keys[i])) != std::string::npos);
    QUARN_FUZZ_CHECK(std::count(k.keys.begin(), k.keys.end(), k.keys[i]) == 1);
  }
  // Every token is either a key or named as rejected.
  if (k.keys.empty()) QUARN_FUZZ_CHECK(k.rejected.size() == tokens);
  return 0;
}
