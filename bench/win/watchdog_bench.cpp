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
#include "tests/win/win_test_util.h"

using namespace quarn;
using namespace quarn::wintest;

namespace {

constexpr wchar_t kMonitor[] = L"QuarnSQLServiceMonitor";
constexpr wchar_t kBackup[] = L"QuarnSQLService";

DWORD ServicePid(const wchar_t* name) {
  win::UniqueServiceHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  win::UniqueServiceHandle svc(OpenServiceW(scm.get(), name, SERVICE_QUERY_STATUS));
  SERVICE_STATUS_PROCESS sp{};
  DWORD needed = 0;
  if (!svc || !QueryServiceStatusEx(svc.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&sp), sizeof sp, &needed))
    return 0;
  return sp.dwProcessId;
}

// Wine reports no CPU times for other processes, so they are read from the
// host's /proc (drive Z: is the host's root): user + system ticks of every
// host process whose command line names the program.
double HostCpuSeconds(const char* program) {
  double ticks = 0;
  WIN32_FIND_DATAA fd;
  HANDLE h = FindFirstFileA("Z:\\proc\\*", &fd);
  if (h == INVALID_HANDLE_VALUE) return -1;
  do {
    if (fd.cFileName[0] < '0' || fd.cFileName[0] > '9') continue;
    const std::string dir = std::string("Z:\\proc\\") + fd.cFileName;
    std::string cmd = ReadFileBytes(win::Widen(dir + "\\cmdline"));
    if (cmd.find(program) == std::string::npos) continue;
    const std::string stat = ReadFileBytes(win::Widen(dir + "\\stat"));
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    // Fields after the command: state is field 3; utime and stime are 14 and 15.
    unsigned long long utime = 0, stime = 0;
    if (std::sscanf(stat.c_str() + close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime,
                    &stime) == 2)
      ticks += static_cast<double>(utime + stime);
  } while (FindNextFileA(h, &fd));
  FindClose(h);
  return ticks / 100.0;  // USER_HZ
}

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
  return 0;
}
