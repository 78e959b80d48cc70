// The monitor and the backup service as real services of Wine's service manager.
#include <gtest/gtest.h>
#include <windows.h>

#include <regex>

#include "common/win32/handles.h"
#include "common/win32/win_platform.h"
#include "monitor/health_events.h"
#include "win_test_util.h"

namespace quarn {
namespace {

using namespace quarn::wintest;
using quarn::win::UniqueKernel;

constexpr wchar_t kMonitorExe[] = L"QuarnSQLServiceMonitor.exe";

struct MonitorService : ::testing::Test {
  std::wstring folder;
  std::wstring exe;

  void SetUp() override {
    RemoveService(kMonitorService);
    KillProgram(kMonitorExe);
    folder = FreshFolder(L"monitor svc");
    CopyProgram(kMonitorExe, folder);
    exe = folder + L"\\" + kMonitorExe;
  }
  void TearDown() override {
    RemoveService(kMonitorService);
    KillProgram(kMonitorExe);
  }
  std::string Log(const wchar_t* name) { return ReadFileBytes(folder + L"\\Logs\\" + name); }

  // "-install" registers the service and then runs on as a plain program: the
  // copy is ended once the service exists, so that the manager's copy is the only one.
  void Install() {
    UniqueKernel p = Launch(exe, L"-install");
    ASSERT_TRUE(p);
    ASSERT_TRUE(WaitFor([] { return ServiceExists(kMonitorService); }, 15000));
    ASSERT_TRUE(
        WaitFor([&] { return Log(L"VersaoCompletaServiceMonitor.ini").find("\r\n") != std::string::npos; }, 15000));
    TerminateProcess(p.get(), 0);
    WaitForSingleObject(p.get(), 5000);
  }
  void StartAndWaitRunning() {
    ASSERT_EQ(StartServiceByName(kMonitorService), 0u);
    ASSERT_TRUE(WaitFor([] { return ServiceState(kMonitorService) == SERVICE_RUNNING; }, 20000))
        << "state " << ServiceState(kMonitorService);
  }
};

TEST_F(MonitorService, InstallRegistersAnAutomaticServiceWithAQuotedPath) {
  Install();
  const std::string errors = ReadFileBytes(folder + L"\\ErrorQuarn.ini");
  EXPECT_NE(errors.find(" | LoadService | 1063 - "), std::string::npos) << errors;  // not started by the manager

  win::UniqueServiceHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  win::UniqueServiceHandle svc(OpenServiceW(scm.get(), kMonitorService, SERVICE_QUERY_CONFIG));
  ASSERT_TRUE(svc);
  std::vector<BYTE> buf(8192);
  DWORD needed = 0;
  ASSERT_TRUE(QueryServiceConfigW(svc.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf.data()), 8192, &needed));
  auto* cfg = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf.data());
  EXPECT_STREQ(cfg->lpDisplayName, L"Simple Service");
  EXPECT_EQ(cfg->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_EQ(cfg->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(std::wstring(cfg->lpBinaryPathName), L"\"" + exe + L"\"");
  EXPECT_EQ(std::wstring(cfg->lpServiceStartName), L"LocalSystem");

  // Event Viewer finds every documented entry's text in the file the source names.
  std::wstring lower = exe;
  CharLowerW(lower.data());
  EXPECT_EQ(EventMessageFile(), lower);
  HMODULE messages = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_TRUE(messages);
  for (int32_t id : kDocumentedEventIds) {
    wchar_t* text = nullptr;
    const DWORD n =
        FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                       messages, static_cast<DWORD>(id), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    const std::wstring got = n ? std::wstring(text, n) : L"";
    if (text) LocalFree(text);
    EXPECT_NE(got.find(L"%1"), std::wstring::npos) << id << ": " << win::Narrow(got);
    if (id >= kEventMonitorStarted) {
      EXPECT_GT(got.size(), 20u) << id << ": " << win::Narrow(got);
    }
  }
  FreeLibrary(messages);
}

TEST_F(MonitorService, TheManagersStartWritesTheStartUpFilesAndItsStopEndsTheProgram) {
  Install();
  DeleteFileW((folder + L"\\Logs\\VersaoQuarnSQLServiceMonitor.ini").c_str());
  DeleteFileW((folder + L"\\Logs\\VersaoCompletaServiceMonitor.ini").c_str());
  DeleteFileW((folder + L"\\ErrorQuarn.ini").c_str());
  StartAndWaitRunning();

  EXPECT_EQ(Log(L"VersaoQuarnSQLServiceMonitor.ini"), "134\r\n");
  const std::string stamp = "\\d\\d/\\d\\d/\\d{4}( \\d\\d:\\d\\d:\\d\\d)?";
  EXPECT_TRUE(std::regex_match(Log(L"QuarnSQLServiceMonitorExecuting.ini"), std::regex(stamp + "\r\n")))
      << Log(L"QuarnSQLServiceMonitorExecuting.ini");
  EXPECT_TRUE(std::regex_match(
      Log(L"VersaoCompletaServiceMonitor.ini"),
      std::regex("Sistema Quarn SQL Service Monitor - vers\xE3o revisada: 1\\.0\\.134 de " + stamp +
                 ", iniciando em c:\\\\quarn tests\\\\monitor svc\\\\quarnsqlservicemonitor\\.exe\r\n")))
      << Log(L"VersaoCompletaServiceMonitor.ini");
  EXPECT_TRUE(Exists(folder + L"\\temp"));
  EXPECT_FALSE(Exists(folder + L"\\ErrorQuarn.ini")) << ReadFileBytes(folder + L"\\ErrorQuarn.ini");
  // The metrics file: the text format's LF lines, whole, renamed into place.
  const std::string metrics = Log(L"quarn_sql.prom");
  EXPECT_EQ(metrics.rfind("# HELP quarn_monitor_start_time_seconds ", 0), 0u) << metrics;
  EXPECT_EQ(metrics.find('\r'), std::string::npos);
  EXPECT_EQ(metrics.back(), '\n');
  EXPECT_NE(metrics.find("quarn_build_info{program=\"QuarnSQLServiceMonitor\",version=\"1.0.0.134\"} 1\n"),
            std::string::npos)
      << metrics;
  // None left beside it: one may be on its way in while the monitor writes the next.
  EXPECT_TRUE(WaitFor([&] { return !Exists(folder + L"\\Logs\\quarn_sql.prom.tmp"); }, 5000));

  // Pause and continue are accepted and change nothing else.
  ASSERT_EQ(ControlService(kMonitorService, SERVICE_CONTROL_PAUSE), 0u);
  EXPECT_TRUE(WaitFor([] { return ServiceState(kMonitorService) == SERVICE_PAUSED; }, 10000));
  ASSERT_EQ(ControlService(kMonitorService, SERVICE_CONTROL_CONTINUE), 0u);
  EXPECT_TRUE(WaitFor([] { return ServiceState(kMonitorService) == SERVICE_RUNNING; }, 10000));
  // The event log's lines come through Wine's debug stream, some time after the call.
  std::string events;
  EXPECT_TRUE(WaitFor(
      [&] {
        events = EventLogText();
        return events.find("err:eventlog:ReportEventW L\"Service paused\"") != std::string::npos &&
               events.find("ReportEventW L\"Service continued\"") != std::string::npos &&
               // This tree trusts its own test key, and says so.
               events.find("Chave de teste: este build aceita publica") != std::string::npos;
      },
      10000))
      << events;

  // A stop deletes the formatted log and ends the process.
  const std::wstring formatted = folder + L"\\Logs\\FormataRichTextBoxServiceMonitor.INI";
  { win::Win32FileSystem().WriteAll(win::Narrow(formatted), "\r\nx\r\n"); }
  ASSERT_EQ(ControlService(kMonitorService, SERVICE_CONTROL_STOP), 0u);
  EXPECT_TRUE(WaitFor([] { return ServiceState(kMonitorService) == SERVICE_STOPPED; }, 15000));
  EXPECT_FALSE(Exists(formatted));
  EXPECT_TRUE(WaitFor([] { return CountProcesses(kMonitorExe) == 0; }, 10000));
}

TEST_F(MonitorService, ASecondCopyEndsAtOnceAndRemovesNothing) {
  Install();
  StartAndWaitRunning();
  DeleteFileW((folder + L"\\Logs\\VersaoQuarnSQLServiceMonitor.ini").c_str());
  UniqueKernel second = Launch(exe, L"-uninstall");
  ASSERT_TRUE(second);
  EXPECT_EQ(WaitExit(second.get(), 15000), 0u);
  EXPECT_TRUE(ServiceExists(kMonitorService));
  EXPECT_EQ(ServiceState(kMonitorService), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_FALSE(Exists(folder + L"\\Logs\\VersaoQuarnSQLServiceMonitor.ini"));
}

TEST_F(MonitorService, UninstallRemovesTheServiceAndWritesNothing) {
  Install();
  FreshFolder(L"monitor svc");  // no Logs folder, no error log
  CopyProgram(kMonitorExe, folder);
  UniqueKernel p = Launch(exe, L"-uninstall");
  ASSERT_TRUE(p);
  EXPECT_EQ(WaitExit(p.get(), 15000), 0u);
  EXPECT_TRUE(WaitFor([] { return !ServiceExists(kMonitorService); }, 5000));
  EXPECT_FALSE(Exists(folder + L"\\Logs"));
  EXPECT_FALSE(Exists(folder + L"\\ErrorQuarn.ini"));
}

TEST_F(MonitorService, UninstallingAMissingServiceIsLoggedThenStartsAsUsual) {
  UniqueKernel p = Launch(exe, L"-uninstall");
  ASSERT_TRUE(p);
  EXPECT_TRUE(WaitFor([&] { return Exists(folder + L"\\Logs\\VersaoCompletaServiceMonitor.ini"); }, 15000));
  EXPECT_EQ(WaitExit(p.get(), 500), static_cast<DWORD>(STILL_ACTIVE));
  const std::string errors = ReadFileBytes(folder + L"\\ErrorQuarn.ini");
  const size_t missing = errors.find(" | LoadService | 1060 - ");
  const size_t notService = errors.find(" | LoadService | 1063 - ");
  EXPECT_NE(missing, std::string::npos) << errors;
  EXPECT_NE(notService, std::string::npos) << errors;
  EXPECT_LT(missing, notService);
  EXPECT_EQ(errors.substr(0, 2), "\r\n");
  TerminateProcess(p.get(), 0);
}

TEST_F(MonitorService, InstallingOverAnExistingServiceLeavesItAsItWas) {
  Install();
  UniqueKernel again = Launch(exe, L"-install");
  ASSERT_TRUE(again);
  EXPECT_TRUE(WaitFor([&] { return Exists(folder + L"\\Logs\\VersaoCompletaServiceMonitor.ini"); }, 15000));
  Sleep(500);
  EXPECT_EQ(WaitExit(again.get(), 100), static_cast<DWORD>(STILL_ACTIVE));  // runs on as a plain program
  EXPECT_TRUE(ServiceExists(kMonitorService));
  TerminateProcess(again.get(), 0);
}

TEST_F(MonitorService, AnUnexpectedExceptionInTheWindowStopsTheServiceWithOurNumber) {
  CopyHelper(L"QuarnSQLServiceMonitorFastTimer.exe", exe);  // the test build knows "-fail-on-tick"
  ASSERT_EQ(CreateOwnService(kMonitorService, L"\"" + exe + L"\" -fail-on-tick"), 0u);
  ASSERT_EQ(StartServiceByName(kMonitorService), 0u);
  ASSERT_TRUE(WaitFor([] { return ServiceState(kMonitorService) == SERVICE_STOPPED; }, 30000))
      << "state " << ServiceState(kMonitorService);
  win::UniqueServiceHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  win::UniqueServiceHandle svc(OpenServiceW(scm.get(), kMonitorService, SERVICE_QUERY_STATUS));
  SERVICE_STATUS status{};
  ASSERT_TRUE(svc && QueryServiceStatus(svc.get(), &status));
  EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
  EXPECT_EQ(status.dwServiceSpecificExitCode, 51u);
  const std::string errors = ReadFileBytes(folder + L"\\ErrorQuarn.ini");
  EXPECT_NE(errors.find(" | Fatal | 51 - Erro interno: falha de teste no timer"), std::string::npos) << errors;
  EXPECT_TRUE(WaitFor([] { return CountProcesses(kMonitorExe) == 0; }, 10000));
}

// Started by the service manager with a start-up file held open by another
// program: the monitor runs on, says so once, and writes the file once it is
// let go.
TEST_F(MonitorService, AStartUpFileThatCannotBeWrittenIsReportedAndWrittenOnceLetGo) {
  CreateDirectoryW((folder + L"\\Logs").c_str(), nullptr);
  const std::wstring held = folder + L"\\Logs\\VersaoCompletaServiceMonitor.ini";
  win::UniqueFile lock(CreateFileW(held.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  ASSERT_TRUE(lock);
  ASSERT_EQ(CreateOwnService(kMonitorService, L"\"" + exe + L"\""), 0u);
  StartAndWaitRunning();
  ASSERT_TRUE(WaitFor([&] { return ReadFileBytes(folder + L"\\ErrorQuarn.ini").find(" | Form_Load | ") !=
                                   std::string::npos; },
                      15000));
  EXPECT_EQ(Log(L"VersaoQuarnSQLServiceMonitor.ini"), "134\r\n");
  lock.h_.reset();
  EXPECT_TRUE(WaitFor([&] { return Log(L"VersaoCompletaServiceMonitor.ini").find("1.0.134 de ") != std::string::npos; },
                      70000));
  EXPECT_EQ(ServiceState(kMonitorService), static_cast<DWORD>(SERVICE_RUNNING));
  const std::string errors = ReadFileBytes(folder + L"\\ErrorQuarn.ini");
  EXPECT_EQ(errors.find(" | Form_Load | "), errors.rfind(" | Form_Load | "));  // once
}

TEST(BackupService, RunsAsAServiceWritesItsHeartbeatAndStops) {
  RemoveService(kBackupService);
  KillProgram(L"QuarnSQLService.exe");
  const std::wstring folder = FreshFolder(L"backup svc");
  CopyProgram(L"QuarnSQLService.exe", folder);
  ASSERT_EQ(CreateOwnService(kBackupService, L"\"" + folder + L"\\QuarnSQLService.exe\""), 0u);
  ASSERT_EQ(StartServiceByName(kBackupService), 0u);
  ASSERT_TRUE(WaitFor([] { return ServiceState(kBackupService) == SERVICE_RUNNING; }, 15000));
  const std::wstring heartbeat = folder + L"\\Logs\\QuarnSQLServiceExecuting.ini";
  ASSERT_TRUE(WaitFor([&] { return Exists(heartbeat); }, 10000));
  EXPECT_TRUE(
      std::regex_match(ReadFileBytes(heartbeat), std::regex("\\d\\d/\\d\\d/\\d{4}( \\d\\d:\\d\\d:\\d\\d)?\r\n")));
  ASSERT_EQ(ControlService(kBackupService, SERVICE_CONTROL_STOP), 0u);
  EXPECT_TRUE(WaitFor([] { return ServiceState(kBackupService) == SERVICE_STOPPED; }, 10000));
  // It can be started again at once.
  ASSERT_EQ(StartServiceByName(kBackupService), 0u);
  EXPECT_TRUE(WaitFor([] { return ServiceState(kBackupService) == SERVICE_RUNNING; }, 15000));
  RemoveService(kBackupService);
}

}  // namespace
}  // namespace quarn
