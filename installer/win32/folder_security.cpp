#include "installer/win32/folder_security.h"

#include <aclapi.h>

#include <vector>

#include "common/win32/handles.h"

namespace quarn::win {

namespace {

struct Sid {
  BYTE bytes[SECURITY_MAX_SID_SIZE];
  explicit Sid(WELL_KNOWN_SID_TYPE type) {
    DWORD size = sizeof bytes;
    if (!CreateWellKnownSid(type, nullptr, bytes, &size)) ZeroMemory(bytes, sizeof bytes);
  }
  PSID get() { return bytes; }
};

// The list itself; `inheritFlags` 0 for a file.
std::vector<BYTE> SuiteAcl(BYTE inheritFlags) {
  Sid system(WinLocalSystemSid), admins(WinBuiltinAdministratorsSid), users(WinBuiltinUsersSid);
  std::vector<BYTE> acl(sizeof(ACL) + 3 * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE));
  auto* a = reinterpret_cast<PACL>(acl.data());
  if (!InitializeAcl(a, static_cast<DWORD>(acl.size()), ACL_REVISION) ||
      !AddAccessAllowedAceEx(a, ACL_REVISION, inheritFlags, FILE_ALL_ACCESS, system.get()) ||
      !AddAccessAllowedAceEx(a, ACL_REVISION, inheritFlags, FILE_ALL_ACCESS, admins.get()) ||
      !AddAccessAllowedAceEx(a, ACL_REVISION, inheritFlags, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE, users.get()))
    return {};
  return acl;
}

// Taking ownership of a folder someone else made, and reaching what its list
// shuts out: the installer's administrator token holds these privileges, off.
void EnablePrivileges() {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &raw)) return;
  UniqueKernel token(raw);
  for (const wchar_t* name : {SE_TAKE_OWNERSHIP_NAME, SE_RESTORE_NAME, SE_BACKUP_NAME}) {
    TOKEN_PRIVILEGES tp{};
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (LookupPrivilegeValueW(nullptr, name, &tp.Privileges[0].Luid))
      AdjustTokenPrivileges(token.get(), FALSE, &tp, 0, nullptr, nullptr);
  }
}

// Sets owner and list on the object itself, a link included, never on what a
// link points to. `isDir`/`isLink` tell the caller what it was.
DWORD Protect(const std::wstring& path, bool& isDir, bool& isLink) {
  UniqueFile f(CreateFileW(path.c_str(), READ_CONTROL | WRITE_DAC | WRITE_OWNER,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!f) return GetLastError();
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(f.get(), &info)) return GetLastError();
  isDir = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  isLink = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  std::vector<BYTE> acl = SuiteAcl(isDir ? OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE : 0);
  if (acl.empty()) return GetLastError();
  Sid admins(WinBuiltinAdministratorsSid);
  return SetSecurityInfo(f.get(), SE_FILE_OBJECT,
                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                         admins.get(), nullptr, reinterpret_cast<PACL>(acl.data()), nullptr);
}

DWORD ProtectBelow(const std::wstring& folder) {
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((folder + L"\\*").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD e = GetLastError();
    return e == ERROR_FILE_NOT_FOUND ? 0 : e;
  }
  DWORD result = 0;
  do {
    const std::wstring name = fd.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring path = folder + L"\\" + name;
    bool isDir = false, isLink = false;
    result = Protect(path, isDir, isLink);
    if (result == 0 && isDir && !isLink) result = ProtectBelow(path);
  } while (result == 0 && FindNextFileW(h, &fd));
  FindClose(h);
  return result;
}

}  // namespace

DWORD ProtectFolder(const std::wstring& folder, bool tree) {
  static const bool privileges = (EnablePrivileges(), true);
  (void)privileges;
  bool isDir = false, isLink = false;
  if (DWORD e = Protect(folder, isDir, isLink)) return e;
  // A link in place of the folder would hand the installer's writes, and the
  // services' program files, to wherever it points.
  if (!isDir || isLink) return ERROR_DIRECTORY;
  return tree ? ProtectBelow(folder) : 0;
}

bool VolumeKeepsPermissions(const std::wstring& folder) {
  wchar_t root[MAX_PATH];
  DWORD flags = 0;
  if (!GetVolumePathNameW(folder.c_str(), root, MAX_PATH) ||
      !GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0))
    return true;  // the folder steps that follow fail on it and say so
  return (flags & FILE_PERSISTENT_ACLS) != 0;
}

}  // namespace quarn::win
