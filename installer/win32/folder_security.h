#pragma once
// Access lists of the suite's folders and its registry key: closed to ordinary
// users, since the services run from them as LocalSystem.
#include <windows.h>

#include <string>
#include <vector>

#include "common/trust.h"
#include "common/win32/folder_trust.h"

namespace quarn::win {

// Owner Administrators; SYSTEM and Administrators full control, Users read and
// execute, inherited by everything created below, nothing inherited from above.
// With `tree`, every file and folder already below gets the same owner and
// list, explicit ones included (a file someone opened up before stays opened
// up otherwise), and every link below is removed, never followed, and named in
// `removedLinks`. Without, only the folder's own list is set: what lies below
// keeps what it inherited. `closed` leaves Users out: only SYSTEM and
// Administrators may even read. Returns a Win32 error, 0 when done.
DWORD ProtectFolder(const std::wstring& folder, bool tree, std::vector<std::wstring>* removedLinks = nullptr,
                    bool closed = false);

// What lies at `path`: there or not, a folder, a link, and its owner.
FolderFacts InspectFolder(const std::wstring& path);

// Renames the folder (or the link or file in its place) to `aside`. A Win32 error, 0 when done.
DWORD MoveAside(const std::wstring& path, const std::wstring& aside);


// Gives `account` (as the service manager names it) read, write and delete on
// the folder and everything in it. A Win32 error, 0 when done.
DWORD GrantModify(const std::wstring& folder, const std::wstring& account);

// Gives `account` on the folder only the right to list it and to create files
// in it, full rights on what it creates, and read, write and delete on each
// of `files` already there: nothing it may delete or change that another
// account wrote. A Win32 error, 0 when done.
DWORD GrantOwnFiles(const std::wstring& folder, const std::wstring& account, const std::vector<std::wstring>& files);

// HKLM\<key> (created when missing): owner Administrators, SYSTEM and
// Administrators full control, Users read, handed down to its subkeys, nothing
// inherited from above. A Win32 error, 0 when done.
DWORD ProtectSuiteKey(const std::wstring& key);

// False only when the volume of the folder says it keeps no persistent access
// lists (FAT, exFAT); a volume that cannot be asked counts as keeping them.
bool VolumeKeepsPermissions(const std::wstring& folder);

}  // namespace quarn::win
