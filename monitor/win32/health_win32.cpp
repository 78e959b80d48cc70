#include "monitor/win32/health_win32.h"

#include <windows.h>

#include "common/suite_files.h"
#include "common/win32/folder_trust.h"
#include "common/win32/win_platform.h"

namespace quarn::win {

std::string MetricsTextfileDirectory() {
  wchar_t buf[1024];
  DWORD size = sizeof buf;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kSuiteKeyW, L"MetricsTextfileDirectory", RRF_RT_REG_SZ, nullptr, buf, &size) !=
      ERROR_SUCCESS)
    return {};
  std::string folder = Narrow(buf);
  while (folder.size() > 3 && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
  return folder;
}

bool AdministratorsOnly(const std::string& folder) {
  // The monitor's own account besides the system's: LocalSystem on Windows,
  // the one account there is under Wine.
  static const std::string self = CallerSid();
  return ProtectedAsLeft(Widen(folder), self);
}

}  // namespace quarn::win
