// Any bytes as the signed statement of a version archive: what parses is the
// writer's own form (a rollout to all machines aside), and every time the
// writer can give parses back to itself.
#include <cstring>

#include "fuzz/fuzz_check.h"
#include "monitor/update/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quarn;
  const std::string bytes = fuzz::Input(data, size);
  Statement st;
  std::string why;
  if (ParseStatement(bytes, st, why)) {
    // "rollout 10000" says what no line says, and the writer leaves it out.
    QUARN_FUZZ_CHECK(StatementSignedPart(st) == st.signedPart ||
                     (st.rollout == kRolloutAll && st.signedPart.find("\r\nrollout 10000\r\n") != std::string::npos));
    QUARN_FUZZ_CHECK(st.signedPart + "assinatura " + ToHex(st.signature) + "\r\n" == bytes);
  } else {
    QUARN_FUZZ_CHECK(!why.empty());
  }
  // The first bytes as a time: from 1970 to the end of year 9999 it reads back.
  int64_t seconds = 0;
  std::memcpy(&seconds, bytes.data(), std::min(bytes.size(), sizeof seconds));
  const int64_t kLast = 253402300799;  // 9999-12-31T23:59:59Z
  seconds = static_cast<int64_t>(static_cast<uint64_t>(seconds) % (kLast + 1));
  int64_t back = -1;
  QUARN_FUZZ_CHECK(ParseUtcText(UtcText(seconds), back) && back == seconds);
  return 0;
}
