#pragma once
// Security identifiers as texts ("S-1-5-18"), which the portable decisions compare.
#include <windows.h>
#include <sddl.h>

#include <string>

#include "common/win32/handles.h"

namespace quarn::win {

inline std::string SidText(PSID sid) {
  if (!sid || !IsValidSid(sid)) return {};
  char* text = nullptr;
  if (!ConvertSidToStringSidA(sid, &text)) return {};
  const UniqueLocal<char*> hold(text);
  return std::string(text);
}

// The caller's token holds Administrators, enabled (an elevated administrator, or SYSTEM).
inline bool CallerIsAdministrator() {
  BYTE admins[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof admins;
  BOOL member = FALSE;
  return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size) &&
         CheckTokenMembership(nullptr, admins, &member) && member;
}

// The account the program runs as; "" when it cannot be read.
inline std::string CallerSid() {
  HANDLE opened = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened)) return {};
  const UniqueKernel token(opened);
  BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD got = 0;
  const bool ok = GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &got);
  return ok ? SidText(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid) : std::string();
}

// The installing administrator's own account, which may own what it made; ""
// for anyone else.
inline std::string InstallingAccount() { return CallerIsAdministrator() ? CallerSid() : std::string(); }

}  // namespace quarn::win
