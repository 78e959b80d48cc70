// The suite's whole life under Wine, in one machine: installed by its installer
// from drive C, kept alive by the monitor, updated from the session's local
// update server, and held together under faults. Each case starts from an
// installation at rest: the one the case before it left when that is one, a
// fresh one otherwise (EnsureSuiteInstalled).
//
// Every build published here carries its name at the end of its program file
// ("QUARN-BUILD x.y", after the image, where the loader ignores it), so that
// a case can tell which build is on disk whatever the records say.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "common/time_text.h"
#include "common/win32/file_time.h"
#include "common/win32/handles.h"
#include "common/win32/win_platform.h"
#include "fakes/update_reports.h"
#include "fakes/zip_writer.h"
#include "suite_helpers.h"
#include "win/win_test_util.h"

namespace quarn {
namespace e2e {

using namespace quarn::wintest;
using win::Narrow;
using win::UniqueKernel;

const std::string kServerFolder = "/CentralUpdate/QuarnSqlSolvane/";
constexpr char kTag[] = "QUARN-BUILD ";

// ---- builds on the update server ----------------------------------------------

std::string Tagged(const std::string& program, const std::string& build) {
  return program + "\r\n" + kTag + build + "\r\n";
}

// The build a program file carries: "" for the installer's own, "<missing>".
std::string BuildOnDisk(const std::wstring& exe) {
  const std::string bytes = ReadFileBytes(exe);
  if (bytes == "<missing>") return bytes;
  const size_t at = bytes.rfind(kTag);
  if (at == std::string::npos) return "";
  const size_t from = at + sizeof kTag - 1;
  return bytes.substr(from, bytes.find("\r\n", from) - from);
}

// The last line of a version record, as the monitor reads it.
std::string Record(const wchar_t* name) {
  std::string text = ReadFileBytes(kLogs + name);
  if (text == "<missing>") return text;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  const size_t nl = text.rfind('\n');
  return nl == std::string::npos ? text : text.substr(nl + 1);
}

void PublishFile(const std::string& name, const std::string& bytes) {
  win::Win32FileSystem().WriteAll(UpdateServerFile(name), bytes);
}

void PublishRecord(const char* zipName, const char* recordName, const std::string& build) {
  testzip::ZipWriter z;
  z.Deflated(recordName, build + "\r\n");
  PublishFile(zipName, z.Build());
}

const std::string& ServiceProgram() {
  static const std::string bytes = ReadFileBytes(BinFolder() + L"\\QuarnSQLService.exe");
  return bytes;
}

// A build of the backup service: its version record and its archive.
void PublishService(const std::string& build, const testzip::ZipWriter* archive = nullptr) {
  testzip::ZipWriter z;
  z.Deflated("QuarnSQLService.exe", Tagged(ServiceProgram(), build));
  PublishFile("QuarnSQLService.zip", (archive ? *archive : z).Build());
  PublishRecord("VersaoQuarnSQLService.zip", "VersaoQuarnSQLService.ini", build);
}

void PublishGuiMonitor(const std::string& build) {
  testzip::ZipWriter z;
  z.Deflated("QuarnSQLMonitor.exe", Tagged(ReadFileBytes(BinFolder() + L"\\QuarnSQLMonitor.exe"), build));
  PublishFile("QuarnSQLMonitor.zip", z.Build());
  PublishRecord("VersaoQuarnSqlMonitor.zip", "VersaoQuarnSqlMonitor.ini", build);
}

// The server misbehaves for one file (see tests/win/update_server.py), or not at all.
void Fault(const std::string& file = "", const std::string& how = "") {
  const std::string json = file.empty() ? "{}" : "{\"" + kServerFolder + file + "\": \"" + how + "\"}";
  std::string path = "Z:";
  for (char c : Env("QUARN_UPDATE_ROOT")) path += c == '/' ? '\\' : c;
  win::Win32FileSystem().WriteAll(path + "\\faults.json", json);
}

// ---- the running suite ----------------------------------------------------------

std::vector<std::string> Reports() { return LogMessages(kFormatted); }

bool Reported(const std::string& message) {
  for (const auto& m : Reports())
    if (m == message) return true;
  return false;
}

// The monitor's start-up check of both programs is over: its last part has
// begun and the monitor's in-use marker, held through both, is gone.
bool CheckDone() {
  return Reported("Verificando atualizações disponíveis para o QuarnSqlMonitor.") &&
         !Exists(kLogs + L"QuarnSQLServiceMonitorEmUso.ti") &&
         !Exists(kSuite + L"\\temp\\QuarnSQLService.pendente");  // a new build's probation is over too
}

bool StopMonitor() {
  ControlService(kMonitor, SERVICE_CONTROL_STOP);
  return WaitFor([] { return ServiceState(kMonitor) == SERVICE_STOPPED; }, 30000);
}

// Starts the monitor service and waits for its start-up check to end.
::testing::AssertionResult StartMonitorAndCheck(DWORD ms) {
  DeleteFileW(kFormatted.c_str());  // what a killed run left cannot pass for this run's
  if (const DWORD e = StartServiceByName(kMonitor)) return ::testing::AssertionFailure() << "StartService " << e;
  if (!WaitFor(CheckDone, ms))
    return ::testing::AssertionFailure() << "no end of the update check; errors:\n"
                                         << ReadFileBytes(kSuite + L"\\ErrorQuarn.ini");
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult RestartMonitorAndCheck(DWORD ms) {
  if (!StopMonitor()) return ::testing::AssertionFailure() << "the monitor did not stop";
  return StartMonitorAndCheck(ms);
}

// Stops the backup service from outside; how long until it runs again (ms),
// or 0 when it does not within the wait.
ULONGLONG StopAndTimeRestart(DWORD ms = 10000) {
  const DWORD before = ServicePid(kBackup);
  const ULONGLONG t0 = GetTickCount64();
  if (ControlService(kBackup, SERVICE_CONTROL_STOP) != 0) return 0;
  if (!WaitFor(
          [&] {
            const DWORD now = ServicePid(kBackup);
            return now != 0 && now != before;
          },
          ms))
    return 0;
  return GetTickCount64() - t0;
}

// What must hold after anything, fault or not: the backup service runs the
// build on disk, its program file is there, its version record names that
// build, and the watchdog brings it back after a stop. The same for the GUI
// monitor's file and record.
void ExpectInvariant(const std::string& context) {
  SCOPED_TRACE(context);
  EXPECT_TRUE(WaitFor([] { return ServicePid(kBackup) != 0; }, 10000)) << "the backup service does not run";
  EXPECT_TRUE(Exists(kBackupExe));
  EXPECT_EQ(Record(L"VersaoQuarnSQLService.ini"), BuildOnDisk(kBackupExe));
  EXPECT_TRUE(Exists(kGuiExe));
  EXPECT_EQ(Record(L"VersaoQuarnSqlMonitor.ini"), BuildOnDisk(kGuiExe));
  EXPECT_EQ(ServiceState(kMonitor), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_NE(StopAndTimeRestart(), 0u) << "the watchdog is off";
  // Nothing of an update is left half done.
  EXPECT_FALSE(Exists(kSuite + L"\\temp\\QuarnSQLService.pendente"));
}

// Writes a time file as the backup service did some minutes ago: its time
// and its last write both then.
void WriteTimeFile(const std::wstring& path, int minutesAgo) {
  win::Win32Clock clock;
  const LocalTime then = FromEpochSeconds(ToEpochSeconds(clock.Now()) - minutesAgo * 60);
  win::Win32FileSystem().WriteAll(Narrow(path), win::Win32DateFormat().GeneralDate(then) + "\r\n");
  win::UniqueFile f(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr));
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  const FILETIME written = win::TicksToFileTime(win::FileTimeTicks(now) - minutesAgo * 60 * win::kTicksPerSecond);
  if (f) SetFileTime(f.get(), nullptr, nullptr, &written);
}

bool ChangeServiceCommand(const wchar_t* name, const std::wstring& command) {
  win::UniqueServiceHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  win::UniqueServiceHandle svc(OpenServiceW(scm.get(), name, SERVICE_CHANGE_CONFIG));
  return svc && ChangeServiceConfigW(svc.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                     command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
}

bool KillService(const wchar_t* name) {
  const DWORD pid = ServicePid(name);
  UniqueKernel p(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
  if (!pid || !p || !TerminateProcess(p.get(), 1)) return false;
  return WaitForSingleObject(p.get(), 10000) == WAIT_OBJECT_0;
}

// Runs the installer from drive C to its success panel and closes it with Enter.
::testing::AssertionResult RunInstaller(ULONGLONG* took) {
  const std::wstring installer = L"C:\\Instalador\\InstaladorQuarnSQL.exe";
  CreateDirectoryW(L"C:\\Instalador", nullptr);
  CopyFileW((BinFolder() + L"\\InstaladorQuarnSQL.exe").c_str(), installer.c_str(), FALSE);
  const ULONGLONG t0 = GetTickCount64();
  UniqueKernel p = Launch(installer, L"");
  if (!p) return ::testing::AssertionFailure() << "the installer did not start";
  HWND w = WaitInstallerSuccess(60000);
  if (!w) return ::testing::AssertionFailure() << "no success panel";
  *took = GetTickCount64() - t0;
  PostMessageW(w, WM_KEYDOWN, VK_RETURN, 0);
  if (WaitExit(p.get(), 10000) != 0) return ::testing::AssertionFailure() << "the installer did not end";
  return ::testing::AssertionSuccess();
}

// The fifteen reports of a complete update of the backup service, their texts.
std::vector<std::string> ServiceUpdateReports(const std::string& net, const std::string& local) {
  std::vector<std::string> texts;
  for (const auto& r : fakes::ServiceUpdateReports(net, local)) texts.push_back(r.text);
  return texts;
}

// ---- the state every case starts from ---------------------------------------------

// What a fresh machine meets: nothing of the suite, the update server offering
// its first builds.
void ClearMachine() {
  EndSuite();
  RemoveTree(kSuite);
  Fault();
  SetUpdateServer(Env("QUARN_UPDATE_URL"));
  SetAllowUnsigned(true);  // the scripted server's builds are unsigned
  PublishService("2.0");
  PublishGuiMonitor("2.0");
}

// Why the machine is not an installation at rest, or "": both services run,
// the installed monitor and the backup service's command line are the
// installer's, no check or update is under way, and each program's record
// names the build on disk.
std::string Unsettled() {
  if (ServiceState(kMonitor) != SERVICE_RUNNING) return "the monitor does not run";
  if (!WaitFor([] { return ServicePid(kBackup) != 0; }, 10000)) return "the backup service does not run";
  if (ReadFileBytes(kSuite + L"\\QuarnSQLServiceMonitor.EXE") ==
      ReadFileBytes(TestsFolder() + L"\\QuarnSQLServiceMonitorFastTimer.exe"))
    return "the monitor's test build is in place";
  if (lstrcmpiW(QueryConfig(kBackup).path.c_str(), (L"\"" + kBackupExe + L"\"").c_str()) != 0)
    return "the backup service's command line was changed";
  if (!WaitFor([] { return !Exists(kLogs + L"QuarnSQLServiceMonitorEmUso.ti"); }, 90000))
    return "the monitor's check does not end";
  if (Exists(kLogs + L"QuarnSQLServiceEmUso.ti")) return "an in-use marker of the backup service is left";
  for (auto* journal : {L"\\temp\\QuarnSQLService.pendente", L"\\temp\\QuarnSQLMonitor.pendente"})
    if (Exists(kSuite + journal)) return "an update is half done";
  const std::string service = Record(L"VersaoQuarnSQLService.ini"), gui = Record(L"VersaoQuarnSqlMonitor.ini");
  if (service.empty() || service == "<missing>" || service != BuildOnDisk(kBackupExe))
    return "the backup service's record is \"" + service + "\", its build \"" + BuildOnDisk(kBackupExe) + "\"";
  if (gui.empty() || gui == "<missing>" || gui != BuildOnDisk(kGuiExe))
    return "the GUI monitor's record is \"" + gui + "\", its build \"" + BuildOnDisk(kGuiExe) + "\"";
  return "";
}

::testing::AssertionResult EnsureSuiteInstalled() {
  if (Env("QUARN_UPDATE_URL").empty()) return ::testing::AssertionFailure() << "no update server in this session";
  Fault();  // whatever a failed case before left
  SetUpdateServer(Env("QUARN_UPDATE_URL"));
  SetAllowUnsigned(true);
  SetProbationSeconds(2);
  const std::string why = Unsettled();
  if (!why.empty()) {
    std::printf("[ precondition ] installing afresh: %s\n", why.c_str());
    ClearMachine();
    ULONGLONG took = 0;
    if (auto r = RunInstaller(&took); !r) return r;
    if (!WaitFor([] { return Record(L"VersaoQuarnSqlMonitor.ini") == "2.0" && CheckDone(); }, 120000))
      return ::testing::AssertionFailure() << "the first check did not end; errors:\n"
                                           << ReadFileBytes(kSuite + L"\\ErrorQuarn.ini");
    if (const std::string still = Unsettled(); !still.empty()) return ::testing::AssertionFailure() << still;
  }
  // The server offers what is installed: a restart of the monitor updates
  // nothing unless the case publishes another build.
  PublishService(Record(L"VersaoQuarnSQLService.ini"));
  PublishGuiMonitor(Record(L"VersaoQuarnSqlMonitor.ini"));
  return ::testing::AssertionSuccess();
}

void Suite::TearDownTestSuite() {
  Fault();
  // QUARN_E2E_KEEP=1 leaves the suite installed and running, to look at.
  if (Env("QUARN_E2E_KEEP") != "1") EndSuite();
}
void Suite::SetUp() { ASSERT_TRUE(EnsureSuiteInstalled()); }

// ---- the life of one installation ------------------------------------------------

// The one case that starts from a bare machine; the installation it leaves is
// the one the next cases find.
struct FreshMachine : ::testing::Test {
  void SetUp() override {
    ASSERT_FALSE(Env("QUARN_UPDATE_URL").empty()) << "no update server in this session";
    ClearMachine();
  }
};

TEST_F(FreshMachine, GetsTheSuiteRunningAndTheFirstCheckUpdatesBothPrograms) {
  ULONGLONG took = 0;
  ASSERT_TRUE(RunInstaller(&took));
  std::printf("installation: %.1f s to the success panel\n", took / 1000.0);

  for (auto* name : {kBackup, kMonitor}) {
    const ServiceConfig c = QueryConfig(name);
    EXPECT_EQ(c.path, L"\"" + kSuite + L"\\" + name + L".exe\"") << Narrow(name);
    EXPECT_EQ(c.startType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(c.type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(c.account, L"LocalSystem");
    EXPECT_TRUE(WaitFor([&] { return ServiceState(name) == SERVICE_RUNNING; }, 10000)) << Narrow(name);
  }
  ASSERT_TRUE(WaitFor([] { return Record(L"VersaoQuarnSqlMonitor.ini") == "2.0"; }, 90000))
      << ReadFileBytes(kSuite + L"\\ErrorQuarn.ini");
  ASSERT_TRUE(WaitFor(CheckDone, 30000));
  EXPECT_EQ(Record(L"VersaoQuarnSQLService.ini"), "2.0");
  EXPECT_EQ(BuildOnDisk(kBackupExe), "2.0");
  EXPECT_EQ(BuildOnDisk(kGuiExe), "2.0");

  // The fifteen reports of the backup service's update, in order, then the
  // GUI monitor's.
  std::vector<std::string> expected = ServiceUpdateReports("2.0", "");
  expected.push_back("Verificando atualizações disponíveis para o QuarnSqlMonitor.");
  const auto reports = Reports();
  ASSERT_GE(reports.size(), expected.size()) << ReadFileBytes(kFormatted);
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(reports[i], expected[i]) << i;
  EXPECT_EQ(reports.back(), "Monitorando...");
  ExpectInvariant("after installation");
}

TEST_F(Suite, NetStopIsUndoneWithinAboutASecond) {
  const DWORD before = ServicePid(kBackup);
  ASSERT_NE(before, 0u);
  // net waits for the stop to finish, then the watchdog's next tick starts it.
  UniqueKernel net = Launch(L"C:\\windows\\system32\\net.exe", L"stop QuarnSQLService");
  ASSERT_TRUE(net);
  const ULONGLONG t0 = GetTickCount64();
  ASSERT_TRUE(WaitFor(
      [&] {
        const DWORD now = ServicePid(kBackup);
        return now != 0 && now != before;
      },
      15000));
  WaitExit(net.get(), 10000);
  const ULONGLONG took = GetTickCount64() - t0;
  std::printf("net stop: running again %.2f s after the stop was asked for\n", took / 1000.0);
  ExpectInvariant("after net stop");
}

// Killed again and again (a crash, an end-task): met by the wait on its
// process at once; from the fifth start in ten minutes, with the crash loop's
// growing waits (1 s, 2 s, ...).
TEST_F(Suite, ABackupServiceCrashingInALoopIsStartedEveryTime) {
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(WaitFor([] { return ServicePid(kBackup) != 0; }, 10000)) << i;
    const DWORD before = ServicePid(kBackup);
    ASSERT_TRUE(KillService(kBackup)) << i;
    EXPECT_TRUE(WaitFor(
        [&] {
          const DWORD now = ServicePid(kBackup);
          return now != 0 && now != before;
        },
        10000))
        << "crash " << i;
  }
  ExpectInvariant("after five crashes");
  // A new monitor for the cases after this one: none of them may find the loop's waits.
  EXPECT_TRUE(RestartMonitorAndCheck());
}

// The 20-minute heartbeat check, reached in seconds by the monitor's test
// build (its update timer ticks every 10 ms); an installation never has it.
// Put in place of the installed monitor for one case, and taken out after it.
class FastMonitor {
 public:
  // `beforeStart` runs while no monitor runs: what it writes is what the new one first sees.
  ::testing::AssertionResult PutInPlace(const std::function<void()>& beforeStart = {}) {
    if (!StopMonitor()) return ::testing::AssertionFailure() << "the monitor did not stop";
    if (!CopyOver(installed_, saved_) ||
        !CopyOver(TestsFolder() + L"\\QuarnSQLServiceMonitorFastTimer.exe", installed_))
      return ::testing::AssertionFailure() << "copy failed: " << GetLastError();
    placed_ = true;
    if (beforeStart) beforeStart();
    return StartMonitorAndCheck();
  }
  ~FastMonitor() {
    ChangeServiceCommand(kBackup, L"\"" + kBackupExe + L"\"");
    if (!placed_) return;
    StopMonitor();
    EXPECT_TRUE(CopyOver(saved_, installed_));
    EXPECT_TRUE(StartMonitorAndCheck());
    StopAndTimeRestart();  // the backup service back on its usual command line
  }

 private:
  std::wstring installed_ = kSuite + L"\\QuarnSQLServiceMonitor.EXE";
  std::wstring saved_ = L"C:\\Instalador\\QuarnSQLServiceMonitor.instalado";
  bool placed_ = false;
};

// A hung backup service: it runs, but wrote its heartbeat only when it
// started. While the monitor runs, a heartbeat ages by the time it is seen
// unchanged (50 minutes); one already 51 minutes old at the monitor's first
// look is stale by its own time, and restarted at the first heartbeat check.
TEST_F(Suite, AHungBackupServiceIsRestartedForItsStaleHeartbeat) {
  ASSERT_TRUE(ChangeServiceCommand(kBackup, L"\"" + kBackupExe + L"\" /heartbeat-seconds=86400"));
  const std::wstring heartbeat = kLogs + L"QuarnSQLServiceExecuting.ini";
  DWORD before = 0;
  FastMonitor fast;
  ASSERT_TRUE(fast.PutInPlace([&] {
    // With no monitor running: started on the hung command line, it writes its one heartbeat.
    ControlService(kBackup, SERVICE_CONTROL_STOP);
    WaitFor([] { return ServiceState(kBackup) == SERVICE_STOPPED; }, 10000);
    DeleteFileW(heartbeat.c_str());
    StartServiceByName(kBackup);
    WaitFor([&] { return Exists(heartbeat); }, 10000);
    before = ServicePid(kBackup);
    WriteTimeFile(heartbeat, 51);
  }));
  ASSERT_NE(before, 0u);
  EXPECT_TRUE(WaitFor(
      [&] {
        const DWORD now = ServicePid(kBackup);
        return now != 0 && now != before;
      },
      60000));
  ExpectInvariant("after a stale heartbeat");
}

// A clean-up tool takes the whole Logs folder from under a running monitor:
// the heartbeat that fails on it makes it again, the next one finds the backup
// service's heartbeat gone with it and restarts the service, and after that
// the watchdog still brings the backup service back.
TEST_F(Suite, ALogsFolderTakenFromUnderTheMonitorIsMadeAgainAndTheWatchdogGoesOn) {
  FastMonitor fast;
  ASSERT_TRUE(fast.PutInPlace());
  const DWORD monitor = ServicePid(kMonitor), backup = ServicePid(kBackup);
  const std::string service = ReadFileBytes(kLogs + L"VersaoQuarnSQLService.ini");
  const std::string gui = ReadFileBytes(kLogs + L"VersaoQuarnSqlMonitor.ini");
  RemoveTree(kSuite + L"\\Logs");
  // The heartbeat is over once the monitor's in-use marker, written before its
  // own heartbeat file and removed after any restart, is gone: a stop asked
  // for during that restart would be refused as pending.
  EXPECT_TRUE(WaitFor(
      [] {
        return Exists(kLogs + L"QuarnSQLServiceMonitorExecuting.ini") &&
               !Exists(kLogs + L"QuarnSQLServiceMonitorEmUso.ti") && ServicePid(kBackup) != 0;
      },
      60000));
  std::printf("Logs folder made again; the heartbeat %s the backup service\n",
              ServicePid(kBackup) != backup ? "restarted" : "did not restart");
  EXPECT_EQ(ServicePid(kMonitor), monitor) << "the monitor ended";
  EXPECT_NE(StopAndTimeRestart(), 0u) << "the watchdog is off";
  // What the tool took of the suite's own records is put back for the cases after this one.
  win::Win32FileSystem fs;
  fs.WriteAll(win::Narrow(kLogs + L"VersaoQuarnSQLService.ini"), service);
  fs.WriteAll(win::Narrow(kLogs + L"VersaoQuarnSqlMonitor.ini"), gui);
}

TEST_F(Suite, AnInUseMarkerLeftByAKilledBackupServiceHoldsUpdatesOnlyUntilItIsStale) {
  const std::wstring marker = kLogs + L"QuarnSQLServiceEmUso.ti";
  struct Cleanup {
    std::wstring path;
    ~Cleanup() { DeleteFileW(path.c_str()); }  // the cases after this one need a free start-up
  } cleanup{marker};
  const std::string recorded = Record(L"VersaoQuarnSQLService.ini");
  // Killed in the middle of a backup run: the marker stays behind.
  WriteTimeFile(marker, 0);
  const DWORD before = ServicePid(kBackup);
  ASSERT_TRUE(KillService(kBackup));
  ASSERT_TRUE(WaitFor(
      [&] {
        const DWORD now = ServicePid(kBackup);
        return now != 0 && now != before;
      },
      10000));

  PublishService("2.1");
  ASSERT_TRUE(StopMonitor());
  ASSERT_EQ(StartServiceByName(kMonitor), 0u);
  Sleep(4000);
  EXPECT_FALSE(CheckDone());  // start-up waits on the marker...
  EXPECT_EQ(Record(L"VersaoQuarnSQLService.ini"), recorded);
  EXPECT_NE(StopAndTimeRestart(), 0u);  // ...with the watchdog on

  // An hour old when a monitor first looks: it removes it and goes on. (A
  // running monitor ages it by the time it has seen it unchanged.)
  ASSERT_TRUE(StopMonitor());
  WriteTimeFile(marker, 61);
  ASSERT_EQ(StartServiceByName(kMonitor), 0u);
  ASSERT_TRUE(WaitFor(CheckDone, 60000));
  EXPECT_FALSE(Exists(marker));
  EXPECT_EQ(BuildOnDisk(kBackupExe), "2.1");
  ExpectInvariant("after a leftover in-use marker");
}

// ---- the update server misbehaving ------------------------------------------------

struct ServerFault {
  const char* name;
  std::string build;  // what the server offers
  std::string fault;  // on the build's archive, as update_server.py knows them
  testzip::ZipWriter archive;
  bool useArchive = false;
};

std::vector<ServerFault> ServerFaults() {
  std::vector<ServerFault> cases;
  auto add = [&](const char* name, const char* fault) {
    cases.push_back({name, "", fault, {}, false});
    return &cases.back();
  };
  add("404", "404");
  add("500", "500");
  add("a body shorter than its length", "short");
  add("no length", "nolength");
  add("an HTML page as the archive", "html");
  add("no answer at all", "hang");
  ServerFault* c = add("a build without the program", "");
  c->archive.Deflated("leiame.txt", "sem programa\r\n");
  c->useArchive = true;
  c = add("a corrupt archive", "");
  c->archive.Deflated("QuarnSQLService.exe", Tagged(ServiceProgram(), "x")).crc ^= 1;
  c->useArchive = true;
  for (size_t i = 0; i < cases.size(); ++i) cases[i].build = "3." + std::to_string(i);
  return cases;
}

TEST_F(Suite, EveryServerFaultLeavesTheRunningBuildInPlace) {
  const std::string running = BuildOnDisk(kBackupExe);
  for (auto& c : ServerFaults()) {
    SCOPED_TRACE(c.name);
    PublishService(c.build, c.useArchive ? &c.archive : nullptr);
    Fault("QuarnSQLService.zip", c.fault);
    const ULONGLONG t0 = GetTickCount64();
    ASSERT_TRUE(RestartMonitorAndCheck());
    std::printf("%-32s -> build %s kept, check took %.1f s\n", c.name, BuildOnDisk(kBackupExe).c_str(),
                (GetTickCount64() - t0) / 1000.0);
    EXPECT_EQ(BuildOnDisk(kBackupExe), running);
    bool failed = false;
    for (const auto& r : Reports()) failed |= r.rfind("Update Sistema QuarnSQLService ", 0) == 0;
    EXPECT_TRUE(failed) << "no failure reported";
    ExpectInvariant(c.name);
  }
  Fault();
}

TEST_F(Suite, NobodyAtTheServersAddressChangesNothing) {
  const std::string running = BuildOnDisk(kBackupExe);
  PublishService("3.9");
  SetUpdateServer("http://127.0.0.1:9");
  const bool checked = RestartMonitorAndCheck();
  SetUpdateServer(Env("QUARN_UPDATE_URL"));
  ASSERT_TRUE(checked);
  bool failed = false;
  for (const auto& r : Reports()) failed |= r.rfind("VersaoQuarnSQLService.Net: erro", 0) == 0;
  EXPECT_TRUE(failed);
  EXPECT_EQ(BuildOnDisk(kBackupExe), running);
  ExpectInvariant("nobody listening");
}

TEST_F(Suite, HostileEntryNamesAreSkippedAndTheBuildStillArrives) {
  testzip::ZipWriter z;
  z.Deflated("pacote/QuarnSQLService.exe", Tagged(ServiceProgram(), "4.0"));
  // None of these may write anything, least of all over the program.
  z.Deflated("../QuarnSQLService.exe", "x");
  z.Deflated("../../../../fora.txt", "x");
  z.Deflated("C:\\Windows\\fora2.txt", "x");
  z.Deflated("C:fora3.txt", "x");
  z.Deflated("NUL", "x");
  z.Deflated("QuarnSQLService.exe:fluxo", "x");
  PublishService("4.0", &z);
  ASSERT_TRUE(RestartMonitorAndCheck());
  for (auto* f : {L"C:\\fora.txt", L"C:\\Solvane\\fora.txt", L"C:\\Windows\\fora2.txt", L"C:\\fora3.txt",
                  L"C:\\Solvane\\Quarn SQL\\fora.txt", L"C:\\Solvane\\Quarn SQL\\fora2.txt",
                  L"C:\\Solvane\\Quarn SQL\\fora3.txt"})
    EXPECT_FALSE(Exists(f)) << Narrow(f);
  EXPECT_EQ(BuildOnDisk(kBackupExe), "4.0");
  ExpectInvariant("hostile entry names");
}

// ---- the monitor killed in the middle of an update -----------------------------------

// Watches the formatted log without sleeping, to kill the monitor as close as
// possible to the report: its steps follow one another within milliseconds.
bool WatchFor(const std::string& report, DWORD ms) {
  const ULONGLONG end = GetTickCount64() + ms;
  ULONGLONG size = ~0ull;
  while (GetTickCount64() < end) {
    WIN32_FILE_ATTRIBUTE_DATA a{};
    const ULONGLONG now = GetFileAttributesExW(kFormatted.c_str(), GetFileExInfoStandard, &a)
                              ? (static_cast<ULONGLONG>(a.nFileSizeHigh) << 32) | a.nFileSizeLow
                              : 0;
    if (now != size) {
      size = now;
      if (Reported(report)) return true;
    }
    Sleep(0);
  }
  return false;
}

TEST_F(Suite, AMonitorKilledAtAnyStepOfAnUpdateFinishesItWhenStartedAgain) {
  // Every report from the download to the restart of the service.
  const auto reports = ServiceUpdateReports("", "");
  const std::vector<std::string> steps(reports.begin() + 3, reports.begin() + 12);
  int n = 0;
  for (const std::string& step : steps) {
    SCOPED_TRACE(step);
    const std::string build = "5." + std::to_string(n++);
    PublishService(build);
    // A slow download leaves time to kill the monitor during it.
    Fault("QuarnSQLService.zip", n == 1 ? "slow" : "");
    ASSERT_TRUE(StopMonitor());
    ASSERT_EQ(StartServiceByName(kMonitor), 0u);
    ASSERT_TRUE(WatchFor(step, 60000));
    ASSERT_TRUE(KillService(kMonitor));
    const std::string lastReport = Reports().empty() ? "" : Reports().back();
    const std::string afterKill = BuildOnDisk(kBackupExe);
    Fault();
    ASSERT_TRUE(StartMonitorAndCheck());
    std::printf("killed at \"%s\": build %s on disk, %s after the restart\n", lastReport.c_str(), afterKill.c_str(),
                BuildOnDisk(kBackupExe).c_str());
    EXPECT_EQ(BuildOnDisk(kBackupExe), build);
    ExpectInvariant(step);
  }
}

// Between moving the old program aside and recording the new build the update
// takes milliseconds, too short to kill the monitor in from outside: the state
// such a kill leaves is laid out by hand, both halves of it.
TEST_F(Suite, AnUpdateCutInTheMiddleOfTheSwapIsRolledBackAtTheNextStart) {
  const std::wstring temp = kSuite + L"\\temp\\";
  const std::wstring aside = temp + L"QuarnSQLService.anterior";
  const std::string recorded = Record(L"VersaoQuarnSQLService.ini");
  ASSERT_EQ(BuildOnDisk(kBackupExe), recorded);
  for (const bool newInPlace : {false, true}) {
    SCOPED_TRACE(newInPlace ? "new build in place" : "no program file at all");
    ASSERT_TRUE(StopMonitor());
    ControlService(kBackup, SERVICE_CONTROL_STOP);
    ASSERT_TRUE(WaitFor([] { return ServiceState(kBackup) == SERVICE_STOPPED; }, 15000));
    CreateDirectoryW(aside.c_str(), nullptr);
    ASSERT_TRUE(MoveFileExW(kBackupExe.c_str(), (aside + L"\\QuarnSQLService.EXE").c_str(), MOVEFILE_REPLACE_EXISTING));
    win::Win32FileSystem().WriteAll(Narrow(temp + L"QuarnSQLService.pendente"), "9.9\r\n");
    if (newInPlace) win::Win32FileSystem().WriteAll(Narrow(kBackupExe), Tagged(ServiceProgram(), "9.9"));

    ASSERT_TRUE(StartMonitorAndCheck());
    EXPECT_EQ(BuildOnDisk(kBackupExe), recorded);
    EXPECT_FALSE(Exists(aside + L"\\QuarnSQLService.EXE"));
    ExpectInvariant("after a cut swap");
  }
}

TEST_F(Suite, ASecondInstallerRunRepairsTheSuiteAndTheMonitorFetchesThePublishedBuildAgain) {
  PublishService("6.0");
  PublishGuiMonitor("6.0");
  ASSERT_TRUE(RestartMonitorAndCheck());
  ASSERT_EQ(BuildOnDisk(kBackupExe), "6.0");
  ASSERT_EQ(BuildOnDisk(kGuiExe), "6.0");

  ULONGLONG took = 0;
  ASSERT_TRUE(RunInstaller(&took));
  std::printf("repair: %.1f s to the success panel\n", took / 1000.0);
  for (auto* name : {kBackup, kMonitor})
    EXPECT_TRUE(WaitFor([&] { return ServiceState(name) == SERVICE_RUNNING; }, 10000)) << Narrow(name);
  // The installer's own builds went back on disk; the monitor's start-up check
  // brings the published ones back.
  EXPECT_TRUE(WaitFor([] { return BuildOnDisk(kBackupExe) == "6.0" && BuildOnDisk(kGuiExe) == "6.0"; }, 90000));
  EXPECT_TRUE(WaitFor(CheckDone, 30000));
  ExpectInvariant("after the repair");
}

}  // namespace e2e
}  // namespace quarn
