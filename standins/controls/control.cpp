// The controls the installer registers (NTsvc.ocx, MSCOMCTL.ocx, ...): one
// source built under each file name. Registration records the control's own
// file in the registry, so a test or a support call can see what was
// registered, from where, and that unregistering took it away.
#include <windows.h>
#include <olectl.h>

#include <string>

#include "common/suite_files.h"
#include "common/win32/handles.h"

namespace {

using quarn::kControlesKeyW;

HMODULE g_module = nullptr;

// Full path of this file, however long.
std::wstring ModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(g_module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

// The file name as it is on disk: the loader keeps the spelling the caller
// used, and "ntsvc.ocx" must still be recorded as "NTsvc.ocx".
std::wstring NameOnDisk(const std::wstring& path) {
  WIN32_FIND_DATAW fd;
  if (quarn::win::FindFirst(path.c_str(), &fd)) return fd.cFileName;
  return path.substr(path.find_last_of(L"\\/") + 1);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE inst, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = inst;
    DisableThreadLibraryCalls(inst);
  }
  return TRUE;
}

STDAPI DllRegisterServer() {
  const std::wstring path = ModulePath();
  if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
  HKEY opened = nullptr;
  LSTATUS rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kControlesKeyW, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                               nullptr, &opened, nullptr);
  if (rc != ERROR_SUCCESS) return SELFREG_E_CLASS;
  const quarn::win::UniqueRegKey key(opened);
  rc = RegSetValueExW(key.get(), NameOnDisk(path).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                      static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
  return rc == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
}

STDAPI DllUnregisterServer() {
  const std::wstring path = ModulePath();
  if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
  HKEY opened = nullptr;
  LSTATUS rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kControlesKeyW, 0, KEY_SET_VALUE, &opened);
  if (rc == ERROR_FILE_NOT_FOUND) return S_OK;  // never registered: nothing to undo
  if (rc != ERROR_SUCCESS) return SELFREG_E_CLASS;
  const quarn::win::UniqueRegKey key(opened);
  rc = RegDeleteValueW(key.get(), NameOnDisk(path).c_str());
  return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND ? S_OK : SELFREG_E_CLASS;
}

// No classes to hand out: the control exists to be carried and registered.
STDAPI DllGetClassObject(REFCLSID, REFIID, LPVOID* ppv) {
  if (ppv) *ppv = nullptr;
  return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow() { return S_OK; }
