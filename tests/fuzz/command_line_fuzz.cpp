// Any bytes as the installer's arguments, split at NUL: a refused line says why
// and how to call; an accepted one never purges without uninstalling.
#include "fuzz/fuzz_check.h"
#include "installer/frm_instal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quarn;
  const std::string bytes = fuzz::Input(data, size);
  std::vector<std::string> args;
  for (size_t at = 0; at <= bytes.size();) {
    const size_t end = std::min(bytes.find('\0', at), bytes.size());
    args.push_back(bytes.substr(at, end - at));
    at = end + 1;
  }
  if (size == 0) args.clear();
  const CommandLine cl = ParseCommandLine(args, kDefaultLogName);
  if (cl.ok) {
    QUARN_FUZZ_CHECK(cl.error.empty());
    QUARN_FUZZ_CHECK(!cl.purge || cl.uninstall);
    QUARN_FUZZ_CHECK(!cl.logPath.empty());
  } else {
    QUARN_FUZZ_CHECK(cl.error.find("Use: InstaladorQuarnSQL.exe") != std::string::npos);
  }
  return 0;
}
