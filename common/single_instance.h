#pragma once
// The one-copy rule of the monitor and the installer, decided from the result
// of creating the program's named instance object.
#include <cstdint>

namespace quarn {

inline constexpr uint32_t kWin32AccessDenied = 5;
inline constexpr uint32_t kWin32AlreadyExists = 183;

// "Already exists" is another copy; so is "access denied": the object exists
// but belongs to a copy run by another account (the service as LocalSystem),
// which this account may not open. Taking that for "no other copy" would let a
// second copy start fully beside the service.
inline bool AnotherCopyRuns(bool gotObject, uint32_t lastError) {
  if (gotObject) return lastError == kWin32AlreadyExists;
  return lastError == kWin32AccessDenied;
}

}  // namespace quarn
