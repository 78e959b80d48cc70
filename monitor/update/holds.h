#pragma once
// Holds: a publication whose build failed (its probation, or the GUI monitor's
// check of its program file) is not installed again at once. It is held by the
// publication itself, not its version text, so a fixed build published again
// under the same version is tried; and it is tried again after 1 h, 2 h, 4 h,
// ... at most 24 h, so a passing failure never bans a good build for good.
//
// Logs\AtualizacoesRetidas.ini, code page 1252, CRLF, one line a program:
//   <program> <number> <manifest digest, 64 hex, or "-"> <failures> <next try, UTC s> <version>
// At most one hold a program: a newer publication replaces the hold.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quarn {

inline constexpr char kHoldsFile[] = "AtualizacoesRetidas.ini";
inline constexpr int64_t kHoldFirstDelaySeconds = 3600;
inline constexpr int64_t kHoldMaxDelaySeconds = 24 * 3600;
inline constexpr size_t kMaxHoldsBytes = 16 * 1024;
inline constexpr size_t kMaxHoldVersion = 256;

// What names one publication: a signed one by its number and its manifest's
// digest; an unsigned one (number 0) by its version text.
struct PublicationKey {
  std::string program;
  uint64_t number = 0;
  std::string digest;  // raw SHA-256, empty when unsigned
  std::string version;
  bool Same(const PublicationKey& o) const;
};

struct Hold {
  PublicationKey key;
  uint32_t failures = 0;
  int64_t nextTryUtc = 0;
};

// Lines that are not a hold (a cut write, a planted line) are skipped.
std::vector<Hold> ParseHolds(std::string_view text);
std::string FormatHolds(const std::vector<Hold>& holds);

// 1 h after the first failure, doubling, at most 24 h.
int64_t HoldDelaySeconds(uint32_t failures);

enum class HoldState { kNone, kHeld, kDue };
// kDue once the next try's time has come, and also when the clock was set back
// by more than the longest delay: a hold never lasts beyond it.
HoldState HoldStateFor(const std::vector<Hold>& holds, const PublicationKey& key, int64_t nowUtc,
                       const Hold** found = nullptr);
// Another failure of the publication: held again, for longer.
const Hold& HoldAgain(std::vector<Hold>& holds, const PublicationKey& key, int64_t nowUtc);
// The program's hold goes (its publication was installed, or another one is published).
bool ClearHold(std::vector<Hold>& holds, const std::string& program);

}  // namespace quarn
