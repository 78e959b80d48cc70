#pragma once
// The monitor's event source: where Event Viewer and event collectors find the
// text of its entries (the message table in the monitor's own file). Written
// by the monitor's "-install", by the installer and by the MSI package.
#include <windows.h>

#include <string>

#include "common/win32/handles.h"

namespace quarn::win {

inline constexpr wchar_t kEventSourceKeyW[] =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\QuarnSQLServiceMonitor";

// Points the source at the monitor's program file; the Win32 error, or NO_ERROR.
inline DWORD RegisterMonitorEventSource(const std::wstring& monitorFile) {
  HKEY opened = nullptr;
  LSTATUS rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKeyW, 0, nullptr, REG_OPTION_NON_VOLATILE,
                               KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &opened, nullptr);
  if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
  const UniqueRegKey key(opened);
  rc = RegSetValueExW(key.get(), L"EventMessageFile", 0, REG_EXPAND_SZ,
                      reinterpret_cast<const BYTE*>(monitorFile.c_str()),
                      static_cast<DWORD>((monitorFile.size() + 1) * sizeof(wchar_t)));
  if (rc == ERROR_SUCCESS) {
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    rc =
        RegSetValueExW(key.get(), L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types), sizeof types);
  }
  return static_cast<DWORD>(rc);
}

}  // namespace quarn::win
