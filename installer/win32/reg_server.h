#pragma once
// clssRegServer: runs a library's self-registration entry point on a thread of
// its own, waiting a bounded time for it.
#include <string>

namespace quarn::win {

class ClssRegServer {
 public:
  static constexpr unsigned long kWaitMs = 10000;

  // True when the entry point ran to its end within the wait.
  bool fVBRegServer(const std::string& strFilePath, bool blnRegister);
  // True when the library loads and exports DllRegisterServer. A library that
  // cannot be loaded raises 10000 + the load's error when RaiseError is set.
  bool IsDLLActiveX(const std::string& strDLLPath, bool RaiseError);
};

}  // namespace quarn::win
