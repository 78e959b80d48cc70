// Under Wine, with the monitor running as a service: how long the backup
// service stays down after a stop, idle and while the monitor downloads a 50 MB
// build served slowly, beside the service manager's own floor (the start asked
// the moment the stop is seen); and what the monitor costs in CPU and memory
// before and after a check, beside a bare windowed program measured alongside.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
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

// Polls every millisecond: restarts are timed to the event, not to a coarse poll.
bool WaitState(const wchar_t* name, DWORD state, DWORD ms) {
  const ULONGLONG end = GetTickCount64() + ms;
  while (ServiceState(name) != state) {
    if (GetTickCount64() >= end) return false;
    Sleep(1);
  }
  return true;
}

// The monitor and a bare windowed program side by side over the same seconds.
struct Cost {
  double monitorCpu = -1, bareCpu = -1;  // share of one core, %
  size_t monitorSet = 0, bareSet = 0;    // working set, bytes
};

Cost BesideABareProgram(int seconds) {
  constexpr char kBare[] = "QuarnDummyProgram.exe";
  Cost c;
  win::UniqueKernel bare = Launch(TestsFolder() + L"\\QuarnDummyProgram.exe", L"");
  Sleep(3000);  // settled, as the monitor is
  const double m0 = HostCpuSeconds(QUARN_MONITOR_SERVICE_STEM ".exe"), b0 = HostCpuSeconds(kBare);
  const ULONGLONG t0 = GetTickCount64();
  Sleep(static_cast<DWORD>(seconds) * 1000);
  const double m1 = HostCpuSeconds(QUARN_MONITOR_SERVICE_STEM ".exe"), b1 = HostCpuSeconds(kBare);
  const double elapsed = static_cast<double>(GetTickCount64() - t0) / 1000.0;
  if (m0 >= 0 && m1 >= 0) c.monitorCpu = 100.0 * (m1 - m0) / elapsed;
  if (b0 >= 0 && b1 >= 0) c.bareCpu = 100.0 * (b1 - b0) / elapsed;
  c.monitorSet = bench::WorkingSet(ServicePid(kMonitor));
  c.bareSet = bench::WorkingSet(GetProcessId(bare.get()));
  TerminateProcess(bare.get(), 0);
  return c;
}

bool StartMonitor() {
  return StartServiceByName(kMonitor) == 0 && WaitFor([] { return ServiceState(kMonitor) == SERVICE_RUNNING; }, 20000);
}

// Stops the backup service `stops` times; how long it took each time to run
// again (s), from the moment it was seen stopped. With `startAtOnce` the bench
// itself asks for the start at that moment: the service manager's floor.
// The watchdog's own starts: the monitor is started afresh every four stops,
// since five within ten minutes are a crash loop, met with growing waits.
std::vector<double> TimeRestarts(int stops, bool startAtOnce = false) {
  std::vector<double> latency;
  for (int i = 0; i < stops; ++i) {
    if (!startAtOnce && i > 0 && i % 4 == 0) {
      ControlService(kMonitor, SERVICE_CONTROL_STOP);
      WaitFor([] { return ServiceState(kMonitor) == SERVICE_STOPPED; }, 15000);
      StartMonitor();
      WaitState(kBackup, SERVICE_RUNNING, 10000);
    }
    Sleep(200 + static_cast<DWORD>(i * 137 % 800));  // stops fall at every phase of the 1 s tick
    ControlService(kBackup, SERVICE_CONTROL_STOP);
    if (!WaitState(kBackup, SERVICE_STOPPED, 10000)) continue;
    const ULONGLONG down = GetTickCount64();
    if (startAtOnce) StartServiceByName(kBackup);
    if (!WaitState(kBackup, SERVICE_RUNNING, 10000)) continue;
    latency.push_back(static_cast<double>(GetTickCount64() - down) / 1000.0);
  }
  std::sort(latency.begin(), latency.end());
  return latency;
}

// Kills the backup service's process `kills` times (a crash, an end-task):
// how long until a new process of it runs (s).
std::vector<double> TimeKills(int kills) {
  std::vector<double> latency;
  for (int i = 0; i < kills; ++i) {
    Sleep(200 + static_cast<DWORD>(i * 137 % 800));
    const DWORD before = ServicePid(kBackup);
    win::UniqueKernel p(OpenProcess(PROCESS_TERMINATE, FALSE, before));
    if (before == 0 || !p || !TerminateProcess(p.get(), 1)) continue;
    const ULONGLONG down = GetTickCount64();
    const ULONGLONG end = down + 10000;
    DWORD now = 0;
    while (((now = ServicePid(kBackup)) == 0 || now == before || ServiceState(kBackup) != SERVICE_RUNNING) &&
           GetTickCount64() < end)
      Sleep(1);
    if (GetTickCount64() >= end) continue;
    latency.push_back(static_cast<double>(GetTickCount64() - down) / 1000.0);
  }
  std::sort(latency.begin(), latency.end());
  return latency;
}

double Mean(const std::vector<double>& v) {
  if (v.empty()) return -1;
  double sum = 0;
  for (double x : v) sum += x;
  return sum / static_cast<double>(v.size());
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
// `duringSet`: the monitor's working set in the middle of that download.
std::vector<double> TimeRestartsDuringADownload(const std::wstring& folder, int stops, size_t& duringSet) {
  const std::string base = Env("QUARN_UPDATE_URL");
  if (base.empty()) return {};
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
  fs.WriteAll(root + "\\faults.json",
              "{\"/CentralUpdate/QuarnSqlSolvane/QuarnSQLService.zip\": \"trickle:65536:100\"}");
  SetUpdateServer(base);
  SetAllowUnsigned(true);  // the scripted server's builds are unsigned

  ControlService(kMonitor, SERVICE_CONTROL_STOP);
  WaitFor([] { return ServiceState(kMonitor) == SERVICE_STOPPED; }, 15000);
  DeleteFileW(win::Widen(LogsFolderOf(win::Narrow(folder)) + kFormattedLogName).c_str());
  std::vector<double> latency;
  if (!StartMonitor()) {
    std::printf("during a download: the monitor did not start\n");
  } else if (!WaitFor([&] { return Reported(folder, "Baixando Serviço QuarnSQLService para atualização..."); },
                      30000)) {
    std::printf("during a download: no download began\n");
  } else {
    duringSet = bench::WorkingSet(ServicePid(kMonitor));
    latency = TimeRestarts(std::min(stops, 4));  // a fifth would be a crash loop
    if (Reported(folder, "QuarnSQLService baixado com sucesso.")) {
      std::printf("during a download: it ended before the stops did\n");
      latency.clear();  // over too soon to count
    }
  }
  fs.WriteAll(root + "\\faults.json", "{}");
  return latency;
}

std::string Ratio(double v, double floor) { return floor > 0 && v >= 0 ? Fmt("%.1f", v / floor) : "-"; }

}  // namespace

int main(int argc, char** argv) {
  const int cpuSeconds = argc > 1 ? static_cast<int>(std::strtol(argv[1], nullptr, 10)) : 60;
  const int stops = argc > 2 ? static_cast<int>(std::strtol(argv[2], nullptr, 10)) : 40;
  RemoveService(kMonitor);
  RemoveService(kBackup);
  const std::wstring folder = FreshFolder(L"bench suite");
  CopyProgram(L"" QUARN_BACKUP_SERVICE_STEM ".exe", folder);
  CopyProgram(L"" QUARN_MONITOR_SERVICE_STEM ".exe", folder);
  CopyProgram(L"AUNZIP32.DLL", folder);
  CreateOwnService(kBackup, L"\"" + folder + L"\\" QUARN_BACKUP_SERVICE_STEM ".exe\"");
  CreateOwnService(kMonitor, L"\"" + folder + L"\\" QUARN_MONITOR_SERVICE_STEM ".exe\"");

  // The floor, before the monitor runs: nobody but the bench starts the service.
  StartServiceByName(kBackup);
  WaitState(kBackup, SERVICE_RUNNING, 10000);
  const std::vector<double> floor = TimeRestarts(stops, true);

  // A check that finds the build it has: the version archive is fetched and
  // read, nothing is installed.
  win::Win32FileSystem fs;
  const std::string logs = LogsFolderOf(win::Narrow(folder));
  const std::string base = Env("QUARN_UPDATE_URL");
  if (!base.empty()) {
    CreateDirectoryW(win::Widen(logs).c_str(), nullptr);
    fs.WriteAll(logs + kServiceVersionRecord, "2.0\r\n");
    testzip::ZipWriter record;
    record.Stored(kServiceVersionRecord, "2.0\r\n");
    fs.WriteAll(UpdateServerFile(kServiceVersionArchive), record.Build());
    SetUpdateServer(base);
  }

  // Before its first check: start-up waits on a fresh in-use marker of the backup service.
  win::Win32Clock clock;
  win::Win32DateFormat dates;
  const std::string marker = logs + kServiceEmUsoFile;
  CreateDirectoryW(win::Widen(logs).c_str(), nullptr);
  fs.WriteAll(marker, dates.GeneralDate(clock.Now()) + "\r\n");
  if (!StartMonitor()) {
    std::printf("the monitor did not start\n");
    return 1;
  }
  const Cost before = BesideABareProgram(cpuSeconds);
  DeleteFileW(win::Widen(marker).c_str());
  // The check runs and ends; then the monitor idles.
  WaitFor([&] { return Exists(win::Widen(logs + kMonitorEmUsoFile)); }, 5000);
  WaitFor([&] { return !Exists(win::Widen(logs + kMonitorEmUsoFile)); }, 60000);
  Sleep(5000);
  if (!WaitFor([] { return ServiceState(kBackup) == SERVICE_RUNNING; }, 10000)) {
    std::printf("the suite did not start\n");
    return 1;
  }
  const std::vector<double> latency = TimeRestarts(stops);
  // Fewer than the crash loop's five within ten minutes would not do: the
  // monitor is started afresh so that its patience does not enter the figures.
  ControlService(kMonitor, SERVICE_CONTROL_STOP);
  WaitFor([] { return ServiceState(kMonitor) == SERVICE_STOPPED; }, 15000);
  StartMonitor();
  WaitFor([] { return ServiceState(kBackup) == SERVICE_RUNNING; }, 10000);
  const std::vector<double> kills = TimeKills(4);
  // Sampled over a minute after the check: Wine kept WinINet loaded for about
  // that long after its last connection; WinHTTP goes when the check ends.
  const Cost after = BesideABareProgram(cpuSeconds);
  size_t duringSet = 0;
  const std::vector<double> during = TimeRestartsDuringADownload(folder, stops, duringSet);
  RemoveService(kMonitor);
  RemoveService(kBackup);

  const double fMedian = Median(floor), fWorst = Worst(floor);
  const double median = Median(latency), worst = Worst(latency);
  std::printf("watchdog under Wine (%zu stops, CPU over %d s)\n", latency.size(), cpuSeconds);
  std::printf("%-52s %9s %9s %10s\n", "figure", "value", "floor x", "target");
  std::printf("%-52s %8.3fs %9s %10s\n", "service manager's floor, median", fMedian, "", "");
  std::printf("%-52s %8.3fs %9s %10s\n", "service manager's floor, worst", fWorst, "", "");
  std::printf("%-52s %8.3fs %9s %10s\n", "stop -> running again, median", median, Ratio(median, fMedian).c_str(),
              "+0.1 s");
  std::printf("%-52s %8.3fs %9s %10s\n", "stop -> running again, worst", worst, Ratio(worst, fWorst).c_str(), "+0.3 s");
  std::printf("%-52s %8.3fs %9s %10s\n", "stop -> running again, mean", Mean(latency), "", "");
  std::printf("%-52s %8.3fs %9s %10s\n", "kill -> new process running, mean", Mean(kills), "", "< 0.2 s");
  std::printf("%-52s %8.3fs %9s %10s\n", "kill -> new process running, worst", Worst(kills), "", "< 0.4 s");
  std::printf("%-52s %8.3fs %9s %10s\n", "the same during a slow 50 MB download, median", Median(during),
              Ratio(Median(during), fMedian).c_str(), "+0.1 s");
  std::printf("%-52s %8.3fs %9s %10s\n", "the same during a slow 50 MB download, worst", Worst(during),
              Ratio(Worst(during), fWorst).c_str(), "+0.3 s");
  std::printf("%-52s %8.2f%% %9s %10s\n", "monitor CPU, waiting on a fresh in-use marker", before.monitorCpu, "",
              "< 1 %");
  std::printf("%-52s %8.2f%% %9s %10s\n", "monitor CPU, idle after a check", after.monitorCpu, "", "");
  std::printf("%-52s %8.2f%% %9s %10s\n", "bare windowed program CPU, idle", after.bareCpu, "", "");
  std::printf("%-52s %7.1f MB %9s %10s\n", "monitor working set, before its first check", before.monitorSet / 1e6, "",
              "");
  std::printf("%-52s %7.1f MB %9s %10s\n", "monitor working set, during a 50 MB download", duringSet / 1e6, "", "");
  std::printf("%-52s %7.1f MB %9s %10s\n", "monitor working set, idle after a check", after.monitorSet / 1e6, "", "");
  std::printf("%-52s %7.1f MB %9s %10s\n", "bare windowed program working set", after.bareSet / 1e6, "", "");

  const std::string n = Fmt(" (%zu stops)", floor.size());
  Figure("service manager's floor: stop to running, start asked at the stop, median" + n, Fmt("%.3f s", fMedian), "",
         "");
  Figure("service manager's floor: stop to running, start asked at the stop, worst" + n, Fmt("%.3f s", fWorst), "", "");
  const std::string over = Fmt(" (%zu stops)", latency.size());
  Figure("watchdog: stop to running again, median" + over,
         Fmt("%.3f s (floor x %s)", median, Ratio(median, fMedian).c_str()), Fmt("floor: %.3f s", fMedian),
         "<= floor + 0.1 s");
  Figure("watchdog: stop to running again, worst" + over,
         Fmt("%.3f s (floor x %s)", worst, Ratio(worst, fWorst).c_str()), Fmt("floor: %.3f s", fWorst),
         "<= floor + 0.3 s");
  Figure("watchdog: stop to running again, mean" + over, Fmt("%.3f s", Mean(latency)), "", "");
  const std::string k = Fmt(" (%zu kills)", kills.size());
  Figure("watchdog: process killed to a new one running, mean" + k, Fmt("%.3f s", Mean(kills)),
         Fmt("a stop: %.3f s", Mean(latency)), "< 0.2 s");
  Figure("watchdog: process killed to a new one running, worst" + k, Fmt("%.3f s", Worst(kills)),
         Fmt("a stop: %.3f s", Worst(latency)), "< 0.4 s");
  const std::string whileDownloading = Fmt(", during a slow 50 MB download (%zu stops)", during.size());
  Figure("watchdog: stop to running again, median" + whileDownloading,
         Fmt("%.3f s (floor x %s)", Median(during), Ratio(Median(during), fMedian).c_str()),
         Fmt("no download: %.3f s", median), "<= floor + 0.1 s");
  Figure("watchdog: stop to running again, worst" + whileDownloading,
         Fmt("%.3f s (floor x %s)", Worst(during), Ratio(Worst(during), fWorst).c_str()), "", "<= floor + 0.3 s");
  Figure(Fmt("monitor CPU, idle after a check (%d s)", cpuSeconds), Fmt("%.2f %%", after.monitorCpu),
         Fmt("a bare windowed program: %.2f %%", after.bareCpu), "<= bare + 0.1 point");
  Figure(Fmt("monitor CPU, waiting on an in-use marker (%d s)", cpuSeconds), Fmt("%.2f %%", before.monitorCpu),
         "a spinning wait: 100 %", "< 1 %");
  Figure("monitor working set, before its first check", Fmt("%.1f MB", before.monitorSet / 1e6),
         Fmt("a bare windowed program: %.1f MB", before.bareSet / 1e6), "<= bare + 3 MB");
  Figure("monitor working set, during a slow 50 MB download (WinHTTP)", Fmt("%.1f MB", duringSet / 1e6),
         Fmt("a bare windowed program: %.1f MB", after.bareSet / 1e6), "");
  Figure("monitor working set, idle after a check", Fmt("%.1f MB", after.monitorSet / 1e6),
         Fmt("a bare windowed program: %.1f MB", after.bareSet / 1e6), "<= bare + 3 MB");
  return 0;
}
