#include "installer/win32/reg_server.h"

#include <windows.h>

#include "common/errors.h"
#include "common/win32/handles.h"
#include "common/win32/library_search.h"
#include "common/win32/win_platform.h"

namespace quarn::win {
namespace {

using RegistrationEntry = HRESULT(WINAPI*)();

// The library's entry point on a thread of its own, so a hung one can be left
// behind; nothing it throws may end the installer unseen.
DWORD WINAPI RunRegistrationEntry(void* entry) {
  try {
    return static_cast<DWORD>(reinterpret_cast<RegistrationEntry>(entry)());
  } catch (...) {
    return static_cast<DWORD>(E_UNEXPECTED);
  }
}

}  // namespace

bool ClssRegServer::fVBRegServer(const std::string& strFilePath, bool blnRegister) {
  UniqueModule lib = SuiteLibrary(Widen(strFilePath));
  FARPROC entry = lib ? GetProcAddress(lib.get(), blnRegister ? "DllRegisterServer" : "DllUnregisterServer") : nullptr;
  bool finished = false;
  bool started = false;
  if (entry) {
    const quarn::win::UniqueKernel thread(CreateThread(
        nullptr, 0, RunRegistrationEntry, reinterpret_cast<void*>(reinterpret_cast<void (*)()>(entry)), 0, nullptr));
    if (thread) {
      started = true;
      finished = WaitForSingleObject(thread.get(), kWaitMs) == WAIT_OBJECT_0;
    }
  }
  // An entry point still running keeps its library: unloading it would pull
  // the code out from under that thread, so it is let go, never freed.
  if (started && !finished) (void)lib.release();
  return finished;
}

bool ClssRegServer::IsDLLActiveX(const std::string& strDLLPath, bool RaiseError) {
  const UniqueModule lib = SuiteLibrary(Widen(strDLLPath));
  if (!lib) {
    const DWORD e = GetLastError();
    if (RaiseError)
      throw VbError(kErrLoadLibraryBase + static_cast<long>(e),
                    std::string(StandardText(kErrLoadLibraryBase)) + ": " + std::to_string(e));
    return false;
  }
  return GetProcAddress(lib.get(), "DllRegisterServer") != nullptr;
}

}  // namespace quarn::win
