#pragma once
// What the installer (and the MSI package's actions) trust of what it finds on
// the machine before it writes there: who owns a folder, what its access list
// lets others do, which service accounts need rights of their own. Header-only:
// the package's library links none of the core.
#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

namespace quarn {

inline constexpr char kSidSystem[] = "S-1-5-18";
inline constexpr char kSidAdministrators[] = "S-1-5-32-544";
inline constexpr char kSidTrustedInstaller[] = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

// Only these can own what the services run from. `installingAccount` is the
// SID of the administrator running the installation, whose own folders are
// theirs to trust ("" when the caller is not an administrator).
inline bool TrustedOwner(const std::string& ownerSid, const std::string& installingAccount) {
  if (ownerSid.empty()) return false;
  return ownerSid == kSidSystem || ownerSid == kSidAdministrators || ownerSid == kSidTrustedInstaller ||
         (!installingAccount.empty() && ownerSid == installingAccount);
}

// What one entry of an access list grants, as read back.
struct AccessEntry {
  std::string sid;
  bool allow = true;
  uint32_t mask = 0;
};

// Every right that changes a file, a folder or a registry key, or its list:
// write data or values, append or create below, attributes, delete, the list
// and the owner, and the generic forms of those.
inline constexpr uint32_t kChangeRights = 0x00000002u | 0x00000004u | 0x00000010u | 0x00000040u | 0x00000100u |
                                          0x00010000u | 0x00040000u | 0x00080000u | 0x40000000u | 0x10000000u;

// As the installer leaves an object: owned by a trusted owner, and nobody else
// allowed to change it. A missing list (null DACL) lets anyone do anything.
inline bool ProtectedAsLeft(const std::string& ownerSid, bool hasList, const std::vector<AccessEntry>& entries,
                            const std::string& installingAccount) {
  if (!TrustedOwner(ownerSid, installingAccount) || !hasList) return false;
  for (const AccessEntry& e : entries)
    if (e.allow && (e.mask & kChangeRights) && !TrustedOwner(e.sid, installingAccount)) return false;
  return true;
}

// What is found where one of the suite's folders goes.
struct FolderFacts {
  bool exists = false;
  bool isDir = false;
  bool isLink = false;  // a junction or symbolic link: whatever it points to is not ours
  std::string ownerSid;
};
enum class FolderAction { Create, Use, MoveAside };

// A folder someone else made (or a link or a file in its place) is not reset
// and adopted: its maker could still hold handles, links or rights in it. It
// is renamed out of the way, kept, and the folder made afresh.
inline FolderAction DecideFolder(const FolderFacts& f, const std::string& installingAccount) {
  if (!f.exists) return FolderAction::Create;
  if (!f.isDir || f.isLink || !TrustedOwner(f.ownerSid, installingAccount)) return FolderAction::MoveAside;
  return FolderAction::Use;
}

// The name a folder moved aside gets, beside it: "<folder>.anterior-<stamp>".
inline std::string AsideName(const std::string& folder, const std::string& stamp) {
  return folder + ".anterior-" + stamp;
}

// A service that logs on as anything but LocalSystem has none of SYSTEM's
// rights on the protected folder and needs its own on Logs\.
inline bool NeedsOwnRights(const std::string& account) {
  std::string a;
  for (char c : account) a += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return !(a.empty() || a == "localsystem" || a == ".\\localsystem" || a == "nt authority\\system" ||
           a == "nt authority\\localsystem");
}

}  // namespace quarn
