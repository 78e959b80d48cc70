#pragma once
// A fleet of monitors against one update server, simulated: each machine's
// bucket, its start delay and its jittered checks as the monitor draws them,
// a mass reboot, and a publication widened step by step and held. What the
// server sees (requests per minute) and what the fleet does (how long each
// step takes to reach its machines, whether any machine goes back).
#include <cstdint>
#include <string>
#include <vector>

namespace quarn {

struct RolloutStep {
  int64_t atSeconds;  // from the start of the simulation
  uint32_t rollout;   // parts in ten thousand
  bool hold;
  uint64_t number;    // the publication's number
};

struct FleetSimulationInput {
  uint32_t machines = 10000;
  bool spread = true;                  // start delay and jitter as the monitor has them
  uint32_t startDelaySeconds = 60;
  int64_t rebootAtSeconds = 24 * 3600;  // a mass reboot (patch day), besides the start
  int64_t lengthSeconds = 36 * 3600;
  std::vector<RolloutStep> steps;
  uint32_t seed = 1;
};

struct FleetSimulationResult {
  uint64_t peakRequestsPerMinute = 0;  // over the whole run, a boot's minute included
  uint64_t peakRequestsPerSecond = 0;
  uint64_t steadyPeakPerMinute = 0;    // leaving out the minutes of a boot's first checks
  // For each step: the machines it reaches, how many it reached, and how
  // long the last of them took, from the step (seconds).
  struct Step {
    uint64_t reaches = 0, reached = 0;
    int64_t slowestSeconds = 0;
  };
  std::vector<Step> steps;
  uint64_t takenWhileHeld = 0;  // a machine whose build changed while the publication was held
};

// Two requests per check (the two programs' version archives), counted in
// the minute they are asked.
FleetSimulationResult SimulateFleet(const FleetSimulationInput& in);

// The default scenario: 1 % at once, 10 % after 6 h, held at 10 h, 100 % at 12 h.
std::vector<RolloutStep> DefaultRolloutSteps();

}  // namespace quarn
