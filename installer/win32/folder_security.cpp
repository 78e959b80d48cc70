#include "installer/win32/folder_security.h"

#include <aclapi.h>

#include <vector>

#include "common/win32/handles.h"
#include "common/win32/sid_text.h"

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

// The list itself; `inheritFlags` 0 for a file. `closed`: no entry for Users.
std::vector<BYTE> SuiteAcl(BYTE inheritFlags, bool closed) {
  Sid system(WinLocalSystemSid), admins(WinBuiltinAdministratorsSid), users(WinBuiltinUsersSid);
  std::vector<BYTE> acl(sizeof(ACL) + 3 * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE));
  auto* a = reinterpret_cast<PACL>(acl.data());
  if (!InitializeAcl(a, static_cast<DWORD>(acl.size()), ACL_REVISION) ||
      !AddAccessAllowedAceEx(a, ACL_REVISION, inheritFlags, FILE_ALL_ACCESS, system.get()) ||
      !AddAccessAllowedAceEx(a, ACL_REVISION, inheritFlags, FILE_ALL_ACCESS, admins.get()) ||
      (!closed &&
       !AddAccessAllowedAceEx(a, ACL_REVISION, inheritFlags, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE, users.get())))
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
// link points to. `isDir`/`isLink` tell the caller what it was. With `alone`,
// objects below keep what they had: what they inherited stays theirs (the
// system hands a changed list down to them otherwise, on Windows).
DWORD Protect(const std::wstring& path, bool alone, bool& isDir, bool& isLink, bool closed) {
  UniqueFile f(CreateFileW(path.c_str(), READ_CONTROL | WRITE_DAC | WRITE_OWNER,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!f) return GetLastError();
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(f.get(), &info)) return GetLastError();
  isDir = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  isLink = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  std::vector<BYTE> acl = SuiteAcl(isDir ? OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE : 0, closed);
  if (acl.empty()) return GetLastError();
  Sid admins(WinBuiltinAdministratorsSid);
  if (alone) {
    // The object's own descriptor only, as the file system stores it: no walk below.
    SECURITY_DESCRIPTOR sd;
    if (!InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorOwner(&sd, admins.get(), FALSE) ||
        !SetSecurityDescriptorDacl(&sd, TRUE, reinterpret_cast<PACL>(acl.data()), FALSE) ||
        !SetSecurityDescriptorControl(&sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED) ||
        !SetKernelObjectSecurity(f.get(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &sd))
      return GetLastError();
    return 0;
  }
  return SetSecurityInfo(f.get(), SE_FILE_OBJECT,
                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                         admins.get(), nullptr, reinterpret_cast<PACL>(acl.data()), nullptr);
}

// Links found below are removed, never entered nor given our list: whatever
// they point to is not the suite's.
DWORD ProtectBelow(const std::wstring& folder, std::vector<std::wstring>& removedLinks, bool closed) {
  WIN32_FIND_DATAW fd;
  const UniqueFind h = FindFirst((folder + L"\\*").c_str(), &fd);
  if (!h) {
    const DWORD e = GetLastError();
    return e == ERROR_FILE_NOT_FOUND ? 0 : e;
  }
  DWORD result = 0;
  do {
    const std::wstring name = fd.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring path = folder + L"\\" + name;
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      const bool dir = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      if (!(dir ? RemoveDirectoryW(path.c_str()) : DeleteFileW(path.c_str())))
        result = GetLastError();
      else
        removedLinks.push_back(path);
      continue;
    }
    bool isDir = false, isLink = false;
    result = Protect(path, false, isDir, isLink, closed);
    if (result == 0 && isDir && !isLink) result = ProtectBelow(path, removedLinks, closed);
  } while (result == 0 && FindNextFileW(h.get(), &fd));
  return result;
}

struct Grant {
  PSID sid;
  BYTE flags;  // inheritance
  DWORD mask;
};

// Adds allowing entries to the object's own list, kept protected.
DWORD AddGrants(const std::wstring& path, const std::vector<Grant>& grants) {
  UniqueFile f(CreateFileW(path.c_str(), READ_CONTROL | WRITE_DAC,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!f) return GetLastError();
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (DWORD e =
          GetSecurityInfo(f.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd))
    return e;
  const UniqueLocal<PSECURITY_DESCRIPTOR> hold(sd);
  // The entries it had, then the account's: built by hand, the same under every implementation.
  ACL_SIZE_INFORMATION size{};
  if (dacl && !GetAclInformation(dacl, &size, sizeof size, AclSizeInformation)) return GetLastError();
  std::vector<BYTE> updated(sizeof(ACL) + size.AclBytesInUse +
                            grants.size() * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE));
  auto* acl = reinterpret_cast<PACL>(updated.data());
  bool ok = InitializeAcl(acl, static_cast<DWORD>(updated.size()), ACL_REVISION);
  for (DWORD i = 0; ok && dacl && i < dacl->AceCount; ++i) {
    ACE_HEADER* ace = nullptr;
    ok = GetAce(dacl, i, reinterpret_cast<void**>(&ace)) && AddAce(acl, ACL_REVISION, MAXDWORD, ace, ace->AceSize);
  }
  for (const Grant& g : grants) ok = ok && AddAccessAllowedAceEx(acl, ACL_REVISION, g.flags, g.mask, g.sid);
  const DWORD e =
      ok ? SetSecurityInfo(f.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                           nullptr, nullptr, acl, nullptr)
         : GetLastError();
  return e;
}

constexpr DWORD kModify = FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE;
constexpr BYTE kInherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

DWORD GrantBelow(const std::wstring& folder, PSID sid) {
  WIN32_FIND_DATAW fd;
  const UniqueFind h = FindFirst((folder + L"\\*").c_str(), &fd);
  if (!h) return 0;
  DWORD result = 0;
  do {
    const std::wstring name = fd.cFileName;
    if (name == L"." || name == L".." || (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) continue;
    const bool dir = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    result = AddGrants(folder + L"\\" + name, {{sid, dir ? kInherit : BYTE{0}, kModify}});
    if (result == 0 && dir) result = GrantBelow(folder + L"\\" + name, sid);
  } while (result == 0 && FindNextFileW(h.get(), &fd));
  return result;
}

}  // namespace

DWORD ProtectFolder(const std::wstring& folder, bool tree, std::vector<std::wstring>* removedLinks, bool closed) {
  static const bool privileges = (EnablePrivileges(), true);
  (void)privileges;
  bool isDir = false, isLink = false;
  if (DWORD e = Protect(folder, !tree, isDir, isLink, closed)) return e;
  // A link in place of the folder would hand the installer's writes, and the
  // services' program files, to wherever it points.
  if (!isDir || isLink) return ERROR_DIRECTORY;
  std::vector<std::wstring> ignored;
  return tree ? ProtectBelow(folder, removedLinks ? *removedLinks : ignored, closed) : 0;
}

FolderFacts InspectFolder(const std::wstring& path) {
  FolderFacts facts;
  const DWORD attrs = GetFileAttributesW(path.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES) {
    const DWORD e = GetLastError();
    // Anything but "not there" is something there we cannot look at: not ours.
    facts.exists = e != ERROR_FILE_NOT_FOUND && e != ERROR_PATH_NOT_FOUND;
    return facts;
  }
  facts.exists = true;
  facts.isDir = (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0;
  facts.isLink = (attrs & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  UniqueFile f(CreateFileW(path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (f && GetSecurityInfo(f.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                           &sd) == ERROR_SUCCESS) {
    const UniqueLocal<PSECURITY_DESCRIPTOR> hold(sd);
    facts.ownerSid = SidText(owner);
  }
  return facts;
}

DWORD MoveAside(const std::wstring& path, const std::wstring& aside) {
  // The link or folder itself is renamed, never what a link points to.
  return MoveFileExW(path.c_str(), aside.c_str(), 0) ? 0 : GetLastError();
}

namespace {

DWORD LookupAccount(const std::wstring& account, BYTE (&sid)[SECURITY_MAX_SID_SIZE]) {
  // ".\name" is a local account, which the lookup knows by its bare name.
  const std::wstring name = account.rfind(L".\\", 0) == 0 ? account.substr(2) : account;
  DWORD sidSize = SECURITY_MAX_SID_SIZE, domainSize = 256;
  wchar_t domain[256];
  SID_NAME_USE use;
  return LookupAccountNameW(nullptr, name.c_str(), sid, &sidSize, domain, &domainSize, &use) ? 0 : GetLastError();
}

}  // namespace

DWORD GrantModify(const std::wstring& folder, const std::wstring& account) {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  if (DWORD e = LookupAccount(account, sid)) return e;
  if (DWORD e = AddGrants(folder, {{sid, kInherit, kModify}})) return e;
  return GrantBelow(folder, sid);
}

DWORD GrantOwnFiles(const std::wstring& folder, const std::wstring& account, const std::vector<std::wstring>& files) {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  if (DWORD e = LookupAccount(account, sid)) return e;
  Sid creatorOwner(WinCreatorOwnerSid);
  // The folder: listed, and files created in it, never anything deleted or
  // changed that another account wrote; a file it creates is its own.
  if (DWORD e = AddGrants(folder, {{sid, 0, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE | FILE_ADD_FILE},
                                   {creatorOwner.get(), OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE, kModify}}))
    return e;
  for (const std::wstring& f : files) {
    if (GetFileAttributesW(f.c_str()) == INVALID_FILE_ATTRIBUTES) continue;  // made by it, then its own
    if (DWORD e = AddGrants(f, {{sid, 0, kModify}})) return e;
  }
  return 0;
}

DWORD ProtectSuiteKey(const std::wstring& key) {
  HKEY opened = nullptr;
  LSTATUS rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                               READ_CONTROL | WRITE_DAC | WRITE_OWNER | KEY_WOW64_64KEY, nullptr, &opened, nullptr);
  if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
  const UniqueRegKey k(opened);
  Sid system(WinLocalSystemSid), admins(WinBuiltinAdministratorsSid), users(WinBuiltinUsersSid);
  std::vector<BYTE> acl(sizeof(ACL) + 3 * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE));
  auto* a = reinterpret_cast<PACL>(acl.data());
  DWORD e = 0;
  if (!InitializeAcl(a, static_cast<DWORD>(acl.size()), ACL_REVISION) ||
      !AddAccessAllowedAceEx(a, ACL_REVISION, CONTAINER_INHERIT_ACE, KEY_ALL_ACCESS, system.get()) ||
      !AddAccessAllowedAceEx(a, ACL_REVISION, CONTAINER_INHERIT_ACE, KEY_ALL_ACCESS, admins.get()) ||
      !AddAccessAllowedAceEx(a, ACL_REVISION, CONTAINER_INHERIT_ACE, KEY_READ, users.get()))
    e = GetLastError();
  // Handed down to the subkeys (Controles) on Windows.
  if (e == 0)
    e = SetSecurityInfo(k.get(), SE_REGISTRY_KEY,
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                        admins.get(), nullptr, a, nullptr);
  return e;
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
