#pragma once
// How a publication reaches a fleet: which machines a staged rollout takes,
// and how their checks are spread in time. Pure rules, shared by the monitor
// and the fleet's simulation.
#include <cstdint>
#include <functional>

#include "monitor/update/manifest.h"

namespace quarn {

// 0 to n - 1 from a random source.
using RandomBelow = std::function<uint32_t(uint32_t)>;

// A signed publication reaches a machine whose bucket is below its rollout,
// and none while held; an unsigned one (an administrator's opt-out) reaches all.
inline bool PublicationReaches(const Publication& p, uint32_t bucket) {
  return !p.isSigned || (!p.hold && (p.rollout >= kRolloutAll || bucket < p.rollout));
}

inline constexpr uint32_t kMaxStartDelaySeconds = 3600;

// The first check after a start waits a random time up to the start delay.
inline uint64_t FirstCheckDelayMs(uint32_t startDelaySeconds, const RandomBelow& random) {
  if (!random || startDelaySeconds == 0) return 0;
  const uint32_t seconds = startDelaySeconds < kMaxStartDelaySeconds ? startDelaySeconds : kMaxStartDelaySeconds;
  return random(seconds * 1000 + 1);
}

// Where the update counter starts after a check, for the next one to come a
// period on, give or take a tenth: -period/10 to +period/10 (0 without a source).
inline int32_t CounterAfterCheck(int32_t period, const RandomBelow& random) {
  const int32_t spread = period / 10;
  if (!random || spread <= 0) return 0;
  return static_cast<int32_t>(random(static_cast<uint32_t>(2 * spread + 1))) - spread;
}

}  // namespace quarn
