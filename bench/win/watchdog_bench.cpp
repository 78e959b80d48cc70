// Under Wine, with the monitor running as a service: how long the backup
// service stays down after a stop, idle and while the monitor downloads a 50 MB
// build served slowly, and what the monitor costs in CPU while idle and while
// start-up waits on a fresh in-use marker.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "common/suite_files.h"
#include "common/win32/handles.h"
#include "common/win32/win_platform.h"
#include "bench/figure.h"
#include "bench/win/host_proc.h"
#include "fakes/zip_writer.h"
#include "tests/win/win_test_util.h"

using namespace quarn;
using namespace quarn::wintest;
using quarn::bench::Figure;
using quarn::bench::Fmt;
using quarn::bench::HostCpuSeconds;

namespace {

constexpr wchar_t kMonitor[] = L"" QUARN_MONITOR_SERVICE_STEM;
constexpr wchar_t kBackup[] = L"" QUARN_BACKUP_SERVICE_STEM;

// Share of one core the monitor used over `seconds`.
double CpuShare(int seconds) {
  const double c0 = HostCpuSeconds(QUARN_MONITOR_SERVICE_STEM ".exe");
  const ULONGLONG t0 = GetTickCount64();
  Sleep(static_cast<DWORD>(seconds) * 1000);
  const double c1 = HostCpuSeconds(QUARN_MONITOR_SERVICE_STEM ".exe");
  if (c0 < 0 || c1 < 0) return -1;
  return 100.0 * (c1 - c0) / (static_cast<double>(GetTickCount64() - t0) / 1000.0);
}

bool StartMonitor() {
  return StartServiceByName(kMonitor) == 0 &&
         WaitFor([] { return ServiceState(kMonitor) == SERVICE_RUNNING; }, 20000);
}

// Stops the backup service `stops` times; how long it took each time to run again (s).
std::vector<double> TimeRestarts(int stops) {
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
  return latency;
}

double Median(const std::vector<double>& v) { return v.empty() ? -1 : v[v.size() / 2]; }
double Worst(const std::vector<double>& v) { return v.empty() ? -1 : v.back(); }

bool Reported(const std::wstring& folder, const std::string& message) {
  for (const auto& m : LogMessages(win::Widen(LogsFolderOf(win::Narrow(folder)) + kFormattedLogName)))
    if (m == message) return true;
  return false;
}

// The same stops while the monitor's start-up check downloads a 50 MB build
// that the session's server sends at about 650 KB/s; stops counted only while
// the download runs.
std::vector<double> TimeRestartsDuringADownload(const std::wstring& folder, int stops) {
  const std::string base = Env("QUARN_UPDATE_URL");
  if (base.empty()) return {};
  CopyProgram(L"AUNZIP32.DLL", folder);  // to read the version record
  win::Win32FileSystem fs;
  const std::string logs = LogsFolderOf(win::Narrow(folder));
  fs.WriteAll(logs + kServiceVersionRecord, "1.0\r\n");
  testzip::ZipWriter record;
  record.Stored(kServiceVersionRecord, "2.0\r\n");
  fs.WriteAll(UpdateServerFile(kServiceVersionArchive), record.Build());
  fs.WriteAll(UpdateServerFile(QUARN_BACKUP_SERVICE_STEM ".zip"), {});
  std::string block(1000 * 1000, '\0');
  for (int mb = 0; mb < 50; ++mb) {
    for (size_t i = 0; i < block.size(); i += 4096) block[i] = static_cast<char>(mb + i / 4096);
    fs.Append(UpdateServerFile(QUARN_BACKUP_SERVICE_STEM ".zip"), block);
  }
  std::string root = "Z:";
  for (char c : Env("QUARN_UPDATE_ROOT")) root += c == '/' ? '\\' : c;
  fs.WriteAll(root + "\\faults.json", "{\"/CentralUpdate/QuarnSqlSolvane/QuarnSQLService.zip\": \"trickle:65536:100\"}");
  SetUpdateServer(base);
  SetAllowUnsigned(true);  // the scripted server's builds are unsigned

  ControlService(kMonitor, SERVICE_CONTROL_STOP);
  WaitFor([] { return ServiceState(kMonitor) == SERVICE_STOPPED; }, 15000);
  DeleteFileW(win::Widen(LogsFolderOf(win::Narrow(folder)) + kFormattedLogName).c_str());
  std::vector<double> latency;
  if (StartMonitor() &&
      WaitFor([&] { return Reported(folder, "Baixando Serviço QuarnSQLService para atualização..."); }, 30000)) {
    latency = TimeRestarts(stops);
    if (Reported(folder, "QuarnSQLService baixado com sucesso.")) latency.clear();  // over too soon to count
  }
  fs.WriteAll(root + "\\faults.json", "{}");
  return latency;
}

}  // namespace

int main(int argc, char** argv) {
  const int cpuSeconds = argc > 1 ? atoi(argv[1]) : 60;
  const int stops = argc > 2 ? atoi(argv[2]) : 20;
  RemoveService(kMonitor);
  RemoveService(kBackup);
  const std::wstring folder = FreshFolder(L"bench suite");
  CopyProgram(L"" QUARN_BACKUP_SERVICE_STEM ".exe", folder);
  CopyProgram(L"" QUARN_MONITOR_SERVICE_STEM ".exe", folder);
  CreateOwnService(kBackup, L"\"" + folder + L"\\" QUARN_BACKUP_SERVICE_STEM ".exe\"");
  CreateOwnService(kMonitor, L"\"" + folder + L"\\" QUARN_MONITOR_SERVICE_STEM ".exe\"");
  if (!StartMonitor() || !WaitFor([] { return ServiceState(kBackup) == SERVICE_RUNNING; }, 10000)) {
    std::printf("the suite did not start\n");
    return 1;
  }

  const std::vector<double> latency = TimeRestarts(stops);
  const double median = Median(latency);
  const double worst = Worst(latency);

  const double idle = CpuShare(cpuSeconds);

  ControlService(kMonitor, SERVICE_CONTROL_STOP);
  WaitFor([] { return ServiceState(kMonitor) == SERVICE_STOPPED; }, 15000);
  win::Win32Clock clock;
  win::Win32DateFormat dates;
  const std::string marker = LogsFolderOf(win::Narrow(folder)) + kServiceEmUsoFile;
  win::Win32FileSystem().WriteAll(marker, dates.GeneralDate(clock.Now()) + "\r\n");
  StartMonitor();
  const double waiting = CpuShare(cpuSeconds);
  DeleteFileW(win::Widen(marker).c_str());
  const std::vector<double> during = TimeRestartsDuringADownload(folder, stops);
  RemoveService(kMonitor);
  RemoveService(kBackup);

  std::printf("watchdog under Wine (%zu stops, CPU over %d s)\n", latency.size(), cpuSeconds);
  std::printf("%-44s %10s %10s\n", "figure", "value", "target");
  std::printf("%-44s %9.2fs %10s\n", "stop -> running again, median", median, "<= 1.5 s");
  std::printf("%-44s %9.2fs %10s\n", "stop -> running again, worst", worst, "");
  std::printf("%-44s %9.2fs %10s\n", "the same during a slow 50 MB download, median", Median(during), "<= 1.5 s");
  std::printf("%-44s %9.2fs %10s\n", "the same during a slow 50 MB download, worst", Worst(during), "");
  std::printf("%-44s %9.2f%% %10s\n", "monitor CPU, idle", idle, "< 1 %");
  std::printf("%-44s %9.2f%% %10s\n", "monitor CPU, waiting on a fresh in-use marker", waiting, "< 1 %");
  const std::string over = Fmt(" (%zu stops)", latency.size());
  Figure("watchdog: stop to running again, median" + over, Fmt("%.2f s", median), "", "<= 1.5 s");
  Figure("watchdog: stop to running again, worst" + over, Fmt("%.2f s", worst), "", "");
  const std::string whileDownloading = Fmt(", during a slow 50 MB download (%zu stops)", during.size());
  Figure("watchdog: stop to running again, median" + whileDownloading, Fmt("%.2f s", Median(during)),
         Fmt("no download: %.2f s", median), "<= 1.5 s");
  Figure("watchdog: stop to running again, worst" + whileDownloading, Fmt("%.2f s", Worst(during)), "", "");
  Figure(Fmt("monitor CPU, idle (%d s)", cpuSeconds), Fmt("%.2f %%", idle), "a spinning wait: 100 %", "< 1 %");
  Figure(Fmt("monitor CPU, waiting on an in-use marker (%d s)", cpuSeconds), Fmt("%.2f %%", waiting),
         "a spinning wait: 100 %", "< 1 %");
  return 0;
}
