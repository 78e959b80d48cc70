// The fleet's simulation (10,000 monitors, a mass reboot, a rollout widened
// from 1 % to 100 % with a hold at 10 %): what the update server sees with
// the checks spread and without, and how long each step takes to reach its
// machines. Prints "@figure" rows for the report.
#include <cstdio>

#include "bench/figure.h"
#include "monitor/update/fleet_simulation.h"

using namespace quarn;
using quarn::bench::Figure;
using quarn::bench::Fmt;

int main() {
  FleetSimulationInput in;
  in.steps = DefaultRolloutSteps();
  const FleetSimulationResult spread = SimulateFleet(in);
  in.spread = false;
  const FleetSimulationResult fixed = SimulateFleet(in);
  const char* names[] = {"1 %", "10 %", "held at 10 %", "100 %"};
  for (size_t i = 0; i < spread.steps.size(); ++i)
    std::printf("step %-14s reaches %5llu machines, reached %5llu, the last after %5.1f min\n", names[i],
                static_cast<unsigned long long>(spread.steps[i].reaches),
                static_cast<unsigned long long>(spread.steps[i].reached), spread.steps[i].slowestSeconds / 60.0);
  std::printf("peak requests: %llu/min, %llu/s at a boot; %llu/min after it (fixed schedule: %llu/min, %llu/s; %llu/min)\n",
              static_cast<unsigned long long>(spread.peakRequestsPerMinute),
              static_cast<unsigned long long>(spread.peakRequestsPerSecond),
              static_cast<unsigned long long>(spread.steadyPeakPerMinute),
              static_cast<unsigned long long>(fixed.peakRequestsPerMinute),
              static_cast<unsigned long long>(fixed.peakRequestsPerSecond),
              static_cast<unsigned long long>(fixed.steadyPeakPerMinute));
  std::printf("machines whose build changed while the publication was held: %llu\n",
              static_cast<unsigned long long>(spread.takenWhileHeld));
  Figure("fleet of 10,000: server's peak requests per second at a mass reboot",
         Fmt("%llu/s", static_cast<unsigned long long>(spread.peakRequestsPerSecond)),
         Fmt("fixed schedule: %llu/s", static_cast<unsigned long long>(fixed.peakRequestsPerSecond)), "");
  Figure("fleet of 10,000: server's peak requests per minute between boots",
         Fmt("%llu/min", static_cast<unsigned long long>(spread.steadyPeakPerMinute)),
         Fmt("fixed schedule: %llu/min", static_cast<unsigned long long>(fixed.steadyPeakPerMinute)), "");
  for (size_t i = 0; i < spread.steps.size(); ++i)
    if (spread.steps[i].reaches > 0)
      Figure(Fmt("fleet of 10,000: rollout step %s reaches its %llu machines within", names[i],
                 static_cast<unsigned long long>(spread.steps[i].reaches)),
             Fmt("%.0f min", spread.steps[i].slowestSeconds / 60.0), "", "<= 3 h 18 min + start delay");
  Figure("fleet of 10,000: machines whose build changed under a hold",
         Fmt("%llu", static_cast<unsigned long long>(spread.takenWhileHeld)), "", "0");
  return 0;
}
