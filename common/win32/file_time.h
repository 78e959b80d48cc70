#pragma once
// The one conversion of Windows' file times: a FILETIME as one number of
// 100 ns ticks since 1601, and back; and as seconds since 1970.
#include <windows.h>

#include <cstdint>

namespace quarn::win {

inline uint64_t FileTimeTicks(const FILETIME& ft) {
  return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

inline FILETIME TicksToFileTime(uint64_t ticks) {
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

inline constexpr uint64_t kTicksPerSecond = 10000000;

inline int64_t FileTimeUnixSeconds(const FILETIME& ft) {
  return static_cast<int64_t>(FileTimeTicks(ft) / kTicksPerSecond) - 11644473600LL;  // from 1601 to 1970
}

// The time now, in seconds since 1970 (UTC).
inline int64_t UtcNowSeconds() {
  FILETIME ft{};
  GetSystemTimeAsFileTime(&ft);
  return FileTimeUnixSeconds(ft);
}

}  // namespace quarn::win
