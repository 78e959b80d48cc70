// A control for the registration tests whose entry points take their time:
// DllRegisterServer runs for 15 s (past the installer's 10 s wait) and then
// records itself; DllUnregisterServer returns at once with a failure.
#include <windows.h>

extern "C" __declspec(dllexport) HRESULT __stdcall DllRegisterServer() {
  Sleep(15000);
  HKEY key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Solvane\\Quarn SQL\\Controles", 0, nullptr, 0, KEY_SET_VALUE,
                      nullptr, &key, nullptr) == ERROR_SUCCESS) {
    const wchar_t v[] = L"slow";
    RegSetValueExW(key, L"QuarnSlowControl.ocx", 0, REG_SZ, reinterpret_cast<const BYTE*>(v), sizeof v);
    RegCloseKey(key);
  }
  return S_OK;
}

extern "C" __declspec(dllexport) HRESULT __stdcall DllUnregisterServer() { return E_FAIL; }
