// Under Wine, with the monitor running as a service: how long the backup
// service stays down after a stop, and what the monitor costs in CPU while idle
// and while start-up waits on a fresh in-use marker.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "common/win32/handles.h"
#include "common/win32/win_platform.h"
#include "bench/figure.h"
#include "bench/win/host_proc.h"
#include "tests/win/win_test_util.h"

using namespace quarn;
using namespace quarn::wintest;
using quarn::bench::Figure;
using quarn::bench::Fmt;
using quarn::bench::HostCpuSeconds;

namespace {

constexpr wchar_t kMonitor[] = L"QuarnSQLServiceMonitor";
constexpr wchar_t kBackup[] = L"QuarnSQLService";

// Share of one core the monitor used over `seconds`.
double CpuShare(int seconds) {
  const double c0 = HostCpuSeconds("QuarnSQLServiceMonitor.exe");
  const ULONGLONG t0 = GetTickCount64();
  Sleep(static_cast<DWORD>(seconds) * 1000);
  const double c1 = HostCpuSeconds("QuarnSQLServiceMonitor.exe");
  if (c0 < 0 || c1 < 0) return -1;
  return 100.0 * (c1 - c0) / (static_cast<double>(GetTickCount64() - t0) / 1000.0);
}

bool StartMonitor() {
  return StartServiceByName(kMonitor) == 0 &&
         WaitFor([] { return ServiceState(kMonitor) == SERVICE_RUNNING; }, 20000);
}

}  // namespace

int main(int argc, char** argv) {
  const int cpuSeconds = argc > 1 ? atoi(argv[1]) : 60;
  const int stops = argc > 2 ? atoi(argv[2]) : 20;
  RemoveService(kMonitor);
  RemoveService(kBackup);
  const std::wstring folder = FreshFolder(L"bench suite");
  CopyProgram(L"QuarnSQLService.exe", folder);
  CopyProgram(L"QuarnSQLServiceMonitor.exe", folder);
  CreateOwnService(kBackup, L"\"" + folder + L"\\QuarnSQLService.exe\"");
  CreateOwnService(kMonitor, L"\"" + folder + L"\\QuarnSQLServiceMonitor.exe\"");
  if (!StartMonitor() || !WaitFor([] { return ServiceState(kBackup) == SERVICE_RUNNING; }, 10000)) {
    std::printf("the suite did not start\n");
    return 1;
  }

  std::vector<double> latency;
  for (int i = 0; i < stops; ++i) {
    Sleep(200 + static_cast<DWORD>(i * 137 % 800));  // stops fall at every phase of the 1 s tick
    ControlService(kBackup, SERVICE_CONTROL_STOP);
    if (!WaitFor([] { return ServiceState(kBackup) == SERVICE_STOPPED; }, 10000)) continue;
    const ULONGLONG down = GetTickCount64();
    if (!WaitFor([] { return ServiceState(kBackup) == SERVICE_RUNNING; }, 10000)) continue;
    latency.push_back(static_cast<double>(GetTickCount64() - down) / 1000.0);
  }
  std::sort(latency.begin(), latency.end());
  const double median = latency.empty() ? -1 : latency[latency.size() / 2];
  const double worst = latency.empty() ? -1 : latency.back();

  const double idle = CpuShare(cpuSeconds);

  ControlService(kMonitor, SERVICE_CONTROL_STOP);
  WaitFor([] { return ServiceState(kMonitor) == SERVICE_STOPPED; }, 15000);
  win::Win32Clock clock;
  win::Win32DateFormat dates;
  const std::string marker = win::Narrow(folder) + "\\Logs\\QuarnSQLServiceEmUso.ti";
  win::Win32FileSystem().WriteAll(marker, dates.GeneralDate(clock.Now()) + "\r\n");
  StartMonitor();
  const double waiting = CpuShare(cpuSeconds);
  DeleteFileW(win::Widen(marker).c_str());
  RemoveService(kMonitor);
  RemoveService(kBackup);

  std::printf("watchdog under Wine (%zu stops, CPU over %d s)\n", latency.size(), cpuSeconds);
  std::printf("%-44s %10s %10s\n", "figure", "value", "target");
  std::printf("%-44s %9.2fs %10s\n", "stop -> running again, median", median, "<= 1.5 s");
  std::printf("%-44s %9.2fs %10s\n", "stop -> running again, worst", worst, "");
  std::printf("%-44s %9.2f%% %10s\n", "monitor CPU, idle", idle, "< 1 %");
  std::printf("%-44s %9.2f%% %10s\n", "monitor CPU, waiting on a fresh in-use marker", waiting, "< 1 %");
  const std::string over = Fmt(" (%zu stops)", latency.size());
  Figure("watchdog: stop to running again, median" + over, Fmt("%.2f s", median), "", "<= 1.5 s");
  Figure("watchdog: stop to running again, worst" + over, Fmt("%.2f s", worst), "", "");
  Figure(Fmt("monitor CPU, idle (%d s)", cpuSeconds), Fmt("%.2f %%", idle), "a spinning wait: 100 %", "< 1 %");
  Figure(Fmt("monitor CPU, waiting on an in-use marker (%d s)", cpuSeconds), Fmt("%.2f %%", waiting),
         "a spinning wait: 100 %", "< 1 %");
  return 0;
}
