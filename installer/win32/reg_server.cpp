#include "installer/win32/reg_server.h"

#include <windows.h>

#include "common/errors.h"
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
  HMODULE lib = LoadLibraryA(AcpCodec().ToAnsi(strFilePath).c_str());
  FARPROC entry = lib ? GetProcAddress(lib, blnRegister ? "DllRegisterServer" : "DllUnregisterServer") : nullptr;
  bool finished = false;
  bool started = false;
  if (entry) {
    HANDLE thread = CreateThread(nullptr, 0, RunRegistrationEntry,
                                 reinterpret_cast<void*>(reinterpret_cast<void (*)()>(entry)), 0, nullptr);
    if (thread) {
      started = true;
      finished = WaitForSingleObject(thread, kWaitMs) == WAIT_OBJECT_0;
      CloseHandle(thread);
    }
  }
  // An entry point still running keeps its library: unloading it would pull
  // the code out from under that thread.
  if (lib && (!started || finished)) FreeLibrary(lib);
  return finished;
}

bool ClssRegServer::IsDLLActiveX(const std::string& strDLLPath, bool RaiseError) {
  HMODULE lib = LoadLibraryA(AcpCodec().ToAnsi(strDLLPath).c_str());
  if (!lib) {
    const DWORD e = GetLastError();
    if (RaiseError)
      throw VbError(kErrLoadLibraryBase + static_cast<long>(e),
                    std::string(StandardText(kErrLoadLibraryBase)) + ": " + std::to_string(e));
    return false;
  }
  const bool result = GetProcAddress(lib, "DllRegisterServer") != nullptr;
  FreeLibrary(lib);
  return result;
}

}  // namespace quarn::win
