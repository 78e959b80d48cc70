#pragma once
// Whether a folder or a file is as the installer leaves the suite's: owned by
// SYSTEM, Administrators, TrustedInstaller (or the administrator installing),
// and nobody else allowed to change it. The installer, the package's actions
// and the monitor (before it writes into a folder named in the registry) ask.
#include <windows.h>
#include <aclapi.h>

#include <string>
#include <vector>

#include "common/trust.h"
#include "common/win32/handles.h"
#include "common/win32/sid_text.h"

namespace quarn::win {

// The owner and the entries that apply to the object itself.
inline bool ReadAccess(HANDLE h, SE_OBJECT_TYPE type, std::string& owner, bool& hasList, std::vector<AccessEntry>& entries) {
  PSID o = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (GetSecurityInfo(h, type, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &o, nullptr, &dacl, nullptr,
                      &sd) != ERROR_SUCCESS)
    return false;
  const UniqueLocal<PSECURITY_DESCRIPTOR> hold(sd);
  owner = SidText(o);
  hasList = dacl != nullptr;
  for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
    ACE_HEADER* ace = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace))) continue;
    if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE && ace->AceType != ACCESS_DENIED_ACE_TYPE) continue;
    if (ace->AceFlags & INHERIT_ONLY_ACE) continue;  // applies to what is below, not to this object
    auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace);
    entries.push_back({SidText(&allowed->SidStart), ace->AceType == ACCESS_ALLOWED_ACE_TYPE, allowed->Mask});
  }
  return true;
}

// Never a link; `installingAccount` "" trusts the system's accounts alone.
inline bool ProtectedAsLeft(const std::wstring& path, const std::string& installingAccount) {
  UniqueFile f(CreateFileW(path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!f) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(f.get(), &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
    return false;
  std::string owner;
  bool hasList = false;
  std::vector<AccessEntry> entries;
  return ReadAccess(f.get(), SE_FILE_OBJECT, owner, hasList, entries) &&
         quarn::ProtectedAsLeft(owner, hasList, entries, installingAccount);
}

}  // namespace quarn::win
