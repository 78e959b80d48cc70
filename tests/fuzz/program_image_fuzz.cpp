// Any bytes as a GUI monitor's program file: the check reads only inside them.
#include "fuzz/fuzz_check.h"
#include "monitor/update/updater.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes = quarn::fuzz::Input(data, size);
  if (quarn::IsWindowsProgram(bytes)) QUARN_FUZZ_CHECK(bytes.size() >= 0x40 && bytes.compare(0, 2, "MZ") == 0);
  return 0;
}
