// Under Wine, against the session's local update server: the download rate of a
// 50 MB file through the monitor's own transfer code, and how long the backup
// service is down while the monitor installs a 5 MB build.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/figure.h"
#include "common/suite_files.h"
#include "common/win32/service_manager_win32.h"
#include "common/win32/win_event_loop.h"
#include "common/win32/win_platform.h"
#include "fakes/zip_writer.h"
#include "monitor/update/update_stack.h"
#include "monitor/update/updater.h"
#include "monitor/win32/crypto_win32.h"
#include "common/win32/instance_object.h"
#include "monitor/win32/update_win32.h"
#include "tests/win/win_test_util.h"

using namespace quarn;
using namespace quarn::win;
using namespace quarn::wintest;

namespace {

size_t PeakWorkingSet() {
  PROCESS_MEMORY_COUNTERS pmc{};
  pmc.cb = sizeof pmc;
  return GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc) ? pmc.PeakWorkingSetSize : 0;
}

}  // namespace

int main() {
  const std::string base = Env("QUARN_UPDATE_URL");
  if (base.empty()) {
    std::printf("no update server in this session\n");
    return 1;
  }
  // 1. Download rate.
  {
    // Written a megabyte at a time, so that the peak below is the download's own.
    Win32FileSystem out;
    out.WriteAll(UpdateServerFile("big.bin"), {});
    std::string block(1000 * 1000, '\0');
    for (int mb = 0; mb < 50; ++mb) {
      for (size_t i = 0; i < block.size(); i += 4096) block[i] = static_cast<char>(mb + i / 4096);
      out.Append(UpdateServerFile("big.bin"), block);
    }
  }

  const std::string folder = Narrow(FreshFolder(L"bench update"));
  Win32FileSystem fs;
  AcpCodec codec;
  Win32Clock clock;
  Win32DateFormat dates;
  Win32EventLoop loop(nullptr);
  Win32Http inet;
  Win32Unzip unzip;
  RegistryUpdateServer server;
  Win32ServiceManager scm;
  Win32Processes procs;
  FechaExe fecha(procs);
  std::string account, password;
  MonitorServiceControl service(scm, account, password, folder);
  MonitorLogs logs(LogContext{fs, codec, clock, dates, folder});
  auto timer = loop.CreateTimer(1000, [] {});
  RegistryUpdatePolicy policy;
  UpdateMutex lock;
  CngCrypto crypto;
  Win32FileChunks chunks;
  RegistryUpdateKeys keys("");
  RegistryPublications publications;
  // The monitor's own updater, as its composition builds it.
  UpdateStack stack(UpdateStackPorts{UpdaterPorts{fs, codec, loop, inet, unzip, server, service, fecha, policy, lock},
                                     chunks, crypto, keys, publications, UpdateObserver::None()},
                    folder, logs, *timer);
  Updater& updater = stack.updater;

  const size_t before = PeakWorkingSet();
  const ULONGLONG t0 = GetTickCount64();
  updater.BaixaArquivo(base + "/CentralUpdate/QuarnSqlSolvane/big.bin", folder + "\\big.bin");
  const double seconds = static_cast<double>(GetTickCount64() - t0) / 1000.0;
  const size_t peak = PeakWorkingSet();
  const double rate = 50.0 / seconds;
  DeleteFileA((folder + "\\big.bin").c_str());

  // 2. Downtime of the backup service during an update of a 5 MB build.
  RemoveService(L"" QUARN_MONITOR_SERVICE_STEM);
  RemoveService(L"" QUARN_BACKUP_SERVICE_STEM);
  const std::wstring suite = FreshFolder(L"bench update suite");
  CopyProgram(L"" QUARN_BACKUP_SERVICE_STEM ".exe", suite);
  CopyProgram(L"" QUARN_MONITOR_SERVICE_STEM ".exe", suite);
  CopyProgram(L"AUNZIP32.DLL", suite);
  CreateDirectoryW(Widen(LogsFolderOf(Narrow(suite))).c_str(), nullptr);
  fs.WriteAll(LogsFolderOf(Narrow(suite)) + kServiceVersionRecord, "1.0\r\n");
  fs.WriteAll(LogsFolderOf(Narrow(suite)) + kGuiVersionRecord, "1.0\r\n");
  HKEY key;
  RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Solvane\\Quarn SQL", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                  nullptr);
  const std::wstring url = Widen(base);
  RegSetValueExW(key, L"UpdateServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(url.c_str()),
                 static_cast<DWORD>((url.size() + 1) * sizeof(wchar_t)));
  // The bench's build is unsigned: the administrator's opt-out lets it in.
  const DWORD unsignedOk = 1;
  RegSetValueExW(key, L"AllowUnsignedUpdates", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&unsignedOk),
                 sizeof unsignedOk);
  RegCloseKey(key);
  std::string padding(5u * 1000 * 1000 - 900 * 1000, '\0');
  for (size_t i = 0; i < padding.size(); ++i) padding[i] = static_cast<char>((i * 2654435761u) >> 13);
  testzip::ZipWriter version, build, gui;
  version.Stored(kServiceVersionRecord, "2.0\r\n");
  build.Deflated(QUARN_BACKUP_SERVICE_STEM ".exe", ReadFileBytes(BinFolder() + L"\\" QUARN_BACKUP_SERVICE_STEM ".exe"));
  build.Stored("dados.bin", padding);
  gui.Stored(kGuiVersionRecord, "1.0\r\n");
  fs.WriteAll(UpdateServerFile(kServiceVersionArchive), version.Build());
  const std::string buildZip = build.Build();
  fs.WriteAll(UpdateServerFile(QUARN_BACKUP_SERVICE_STEM ".zip"), buildZip);
  fs.WriteAll(UpdateServerFile(kGuiVersionArchive), gui.Build());
  CreateOwnService(L"" QUARN_BACKUP_SERVICE_STEM, L"\"" + suite + L"\\" QUARN_BACKUP_SERVICE_STEM ".exe\"");
  CreateOwnService(L"" QUARN_MONITOR_SERVICE_STEM, L"\"" + suite + L"\\" QUARN_MONITOR_SERVICE_STEM ".exe\"");
  StartServiceByName(L"" QUARN_BACKUP_SERVICE_STEM);
  WaitFor([] { return wintest::ServiceState(L"" QUARN_BACKUP_SERVICE_STEM) == SERVICE_RUNNING; }, 15000);
  const ULONGLONG updateStart = GetTickCount64();
  StartServiceByName(L"" QUARN_MONITOR_SERVICE_STEM);
  double downtime = -1;
  ULONGLONG down = 0;
  while (GetTickCount64() - updateStart < 60000) {
    const DWORD s = wintest::ServiceState(L"" QUARN_BACKUP_SERVICE_STEM);
    if (!down && s != SERVICE_RUNNING) down = GetTickCount64();
    if (down && s == SERVICE_RUNNING) {
      downtime = static_cast<double>(GetTickCount64() - down) / 1000.0;
      break;
    }
    Sleep(5);
  }
  const std::string record = ReadFileBytes(Widen(LogsFolderOf(Narrow(suite)) + kServiceVersionRecord));
  RemoveService(L"" QUARN_MONITOR_SERVICE_STEM);
  RemoveService(L"" QUARN_BACKUP_SERVICE_STEM);

  // 3. What the durable writes add to the swap of that build, the part of the
  // downtime between the stop and the start: the same moves with and without
  // flushes and write-through, the median of five each.
  auto swap = [&](bool durable) {
    const std::string at = Narrow(FreshFolder(durable ? L"bench swap durable" : L"bench swap plain"));
    const std::string files[] = {"QuarnSQLService.exe", "dados.bin"};
    for (const auto& f : files) {
      fs.WriteAll(at + "\\" + f, "old build");
      fs.WriteAll(at + "\\" + f + ".novo", padding);
    }
    const ULONGLONG start = GetTickCount64();
    for (const auto& f : files)
      if (durable) fs.Flush(at + "\\" + f + ".novo");
    fs.WriteAll(at + "\\journal", "2.0\r\n1.0\r\n=QuarnSQLService.exe\r\n=dados.bin\r\n.\r\n");
    if (durable) fs.Flush(at + "\\journal");
    for (const auto& f : files) {
      const std::string dst = at + "\\" + f;
      if (durable) {
        fs.DurableRename(dst, dst + ".anterior");
        fs.DurableRename(dst + ".novo", dst);
      } else {
        fs.Rename(dst, dst + ".anterior");
        fs.Rename(dst + ".novo", dst);
      }
    }
    fs.WriteAll(at + "\\record", "2.0\r\n");
    if (durable) fs.Flush(at + "\\record");
    return static_cast<double>(GetTickCount64() - start);
  };
  auto median = [&](bool durable) {
    std::vector<double> ms;
    for (int i = 0; i < 5; ++i) ms.push_back(swap(durable));
    std::sort(ms.begin(), ms.end());
    return ms[2];
  };
  const double plainMs = median(false), durableMs = median(true);

  std::printf("updater under Wine, local server on loopback\n");
  std::printf("%-46s %12s %10s\n", "figure", "value", "target");
  std::printf("%-46s %8.1f MB/s %10s\n", "download rate, 50 MB file", rate, ">= 30");
  std::printf("%-46s %9.1f MB %10s\n", "peak working set growth during it", (peak - before) / 1e6, "flat");
  std::printf("%-46s %10.2f s %10s\n", "backup service down during a 5 MB update", downtime, "<= 3 s");
  std::printf("(build archive %.1f MB; record afterwards: %s)\n", buildZip.size() / 1e6,
              record == "2.0\r\n" ? "2.0" : "not updated");
  bench::Figure("download rate, 50 MB over loopback", bench::Fmt("%.1f MB/s", rate), "", ">= 30 MB/s");
  bench::Figure("download: peak working set growth", bench::Fmt("%.1f MB", (peak - before) / 1e6),
                "whole file in memory: 50 MB", "flat");
  std::printf("%-46s %8.0f ms %10s\n", "swap of a 5 MB build, durable", durableMs, "");
  std::printf("%-46s %8.0f ms %10s\n", "swap of a 5 MB build, without flushes", plainMs, "");
  bench::Figure("update downtime of the backup service (5 MB build)", bench::Fmt("%.2f s", downtime),
                bench::Fmt("without flushes: %.2f s", downtime - (durableMs - plainMs) / 1000.0), "<= 3 s");
  bench::Figure("swap of a 5 MB build: flushes and write-through moves", bench::Fmt("%.0f ms", durableMs),
                bench::Fmt("plain moves: %.0f ms", plainMs), "");
  return 0;
}
