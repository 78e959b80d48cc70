#include "monitor/update/fleet_simulation.h"

#include <algorithm>
#include <map>
#include <queue>
#include <random>

#include "monitor/update/rollout.h"

namespace quarn {

namespace {

constexpr int32_t kPeriodTicks = 10800;  // the update timer's ticks between checks, a second each

struct Machine {
  uint32_t bucket = 0;
  uint64_t installed = 0;  // the publication number in place, 0 for the build before
};

Publication PublicationOf(const RolloutStep& step) {
  Publication p;
  p.isSigned = true;
  p.number = step.number;
  p.rollout = step.rollout;
  p.hold = step.hold;
  return p;
}

}  // namespace

std::vector<RolloutStep> DefaultRolloutSteps() {
  return {{0, 100, false, 10},
          {6 * 3600, 1000, false, 11},
          {10 * 3600, 1000, true, 12},
          {12 * 3600, kRolloutAll, false, 13}};
}

FleetSimulationResult SimulateFleet(const FleetSimulationInput& in) {
  std::mt19937 rng(in.seed);
  const RandomBelow random = [&rng](uint32_t n) {
    return n == 0 ? 0u : std::uniform_int_distribution<uint32_t>(0, n - 1)(rng);
  };
  const RandomBelow none;
  const RandomBelow& draw = in.spread ? random : none;

  std::vector<Machine> fleet(in.machines);
  for (auto& m : fleet) m.bucket = random(kRolloutAll);
  // (time in ms, machine): each machine's next check.
  using Event = std::pair<int64_t, uint32_t>;
  std::priority_queue<Event, std::vector<Event>, std::greater<>> checks;
  const auto boot = [&](int64_t atMs) {
    std::priority_queue<Event, std::vector<Event>, std::greater<>> fresh;
    for (uint32_t i = 0; i < in.machines; ++i)
      fresh.push({atMs + static_cast<int64_t>(FirstCheckDelayMs(in.startDelaySeconds, draw)), i});
    checks.swap(fresh);
  };
  boot(0);
  bool rebooted = false;

  FleetSimulationResult out;
  out.steps.resize(in.steps.size());
  std::map<int64_t, uint64_t> perMinute, perSecond;
  const int64_t endMs = in.lengthSeconds * 1000;
  while (!checks.empty() && checks.top().first < endMs) {
    const auto [at, i] = checks.top();
    if (!rebooted && at >= in.rebootAtSeconds * 1000) {
      rebooted = true;
      boot(in.rebootAtSeconds * 1000);  // every machine starts again at once
      continue;
    }
    checks.pop();
    perMinute[at / 60000] += 2;
    perSecond[at / 1000] += 2;
    // The publication on the server at this moment.
    size_t current = in.steps.size();
    for (size_t s = 0; s < in.steps.size(); ++s)
      if (in.steps[s].atSeconds * 1000 <= at) current = s;
    Machine& m = fleet[i];
    if (current < in.steps.size()) {
      const RolloutStep& step = in.steps[current];
      const Publication p = PublicationOf(step);
      // The monitor takes a publication only when it reaches it, and only a newer one.
      const uint64_t before = m.installed;
      if (PublicationReaches(p, m.bucket) && m.installed < step.number) {
        m.installed = step.number;
        out.steps[current].slowestSeconds =
            std::max(out.steps[current].slowestSeconds, at / 1000 - step.atSeconds);
      }
      if (step.hold && m.installed != before) ++out.takenWhileHeld;
    }
    // Three hours on, give or take a tenth: the counter's start value.
    const int64_t next = at + (kPeriodTicks - CounterAfterCheck(kPeriodTicks, draw)) * int64_t{1000};
    checks.push({next, i});
  }
  const auto inBoot = [&](int64_t minute) {
    const int64_t delayMinutes = in.startDelaySeconds / 60 + 1;
    return minute <= delayMinutes ||
           (minute >= in.rebootAtSeconds / 60 && minute <= in.rebootAtSeconds / 60 + delayMinutes);
  };
  for (const auto& [minute, n] : perMinute) {
    out.peakRequestsPerMinute = std::max(out.peakRequestsPerMinute, n);
    if (!inBoot(minute)) out.steadyPeakPerMinute = std::max(out.steadyPeakPerMinute, n);
  }
  for (const auto& [second, n] : perSecond) out.peakRequestsPerSecond = std::max(out.peakRequestsPerSecond, n);
  // Each step's reach, and who had it (or a later one) at the end of its time.
  for (size_t s = 0; s < in.steps.size(); ++s) {
    const Publication p = PublicationOf(in.steps[s]);
    for (const Machine& m : fleet) {
      if (!PublicationReaches(p, m.bucket)) continue;
      ++out.steps[s].reaches;
      if (m.installed >= in.steps[s].number) ++out.steps[s].reached;
    }
  }
  return out;
}

}  // namespace quarn
