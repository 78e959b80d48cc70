#pragma once
// The one-copy rule of the monitor and the installer, decided from the result
// of creating the program's named instance object.
#include <cstdint>

namespace quarn {

inline constexpr uint32_t kWin32AccessDenied = 5;
inline constexpr uint32_t kWin32AlreadyExists = 183;

// Our copies create the object owned by Administrators, with full access for
// SYSTEM and Administrators only. Any user may create an object of the same
// name first; one whose owner is neither is somebody else's (`ownerTrusted`
// false), and so is one an administrator may not open (`callerIsAdmin`): ours
// always let administrators in.
inline bool InstanceSquatted(bool gotObject, uint32_t lastError, bool ownerTrusted, bool callerIsAdmin) {
  if (gotObject) return lastError == kWin32AlreadyExists && !ownerTrusted;
  return lastError == kWin32AccessDenied && callerIsAdmin;
}

// "Already exists" is another copy; so is "access denied" for an account that
// is no administrator: the object exists but belongs to a copy run by another
// account (the service as LocalSystem), which this account may not open.
// Taking that for "no other copy" would let a second copy start fully beside
// the service. An object squatted by somebody else is no copy of ours.
inline bool AnotherCopyRuns(bool gotObject, uint32_t lastError, bool ownerTrusted = true, bool callerIsAdmin = false) {
  if (InstanceSquatted(gotObject, lastError, ownerTrusted, callerIsAdmin)) return false;
  if (gotObject) return lastError == kWin32AlreadyExists;
  return lastError == kWin32AccessDenied;
}

}  // namespace quarn
