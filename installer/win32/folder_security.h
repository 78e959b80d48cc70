#pragma once
// Access lists of the suite's folders: closed to ordinary users, since the
// services run from them as LocalSystem.
#include <windows.h>

#include <string>

namespace quarn::win {

// Owner Administrators; SYSTEM and Administrators full control, Users read and
// execute, inherited by everything created below, nothing inherited from above.
// With `tree`, every file and folder already below gets the same owner and
// list, explicit ones included (a file someone opened up before stays opened
// up otherwise). Links are never followed. Returns a Win32 error, 0 when done.
DWORD ProtectFolder(const std::wstring& folder, bool tree);

// False only when the volume of the folder says it keeps no persistent access
// lists (FAT, exFAT); a volume that cannot be asked counts as keeping them.
bool VolumeKeepsPermissions(const std::wstring& folder);

}  // namespace quarn::win
