// Service control and process termination against Wine's real service manager
// and real processes.
#include <gtest/gtest.h>
#include <windows.h>

#include "common/win32/handles.h"
#include "common/win32/service_manager_win32.h"
#include "common/win32/win_platform.h"
#include "win_test_util.h"

namespace quarn {
namespace {

using namespace quarn::wintest;
using quarn::win::Narrow;
using quarn::win::UniqueKernel;

struct ServiceControlUnderWine : ::testing::Test {
  win::Win32ServiceManager scm;
  InstallerServiceControl ctl{scm};
  std::wstring folder;

  void SetUp() override {
    RemoveService(L"QuarnSQLService");
    RemoveService(L"QuarnSQLServiceMonitor");
    KillProgram(L"QuarnSQLService.exe");
    folder = FreshFolder(L"control svc");
    CopyProgram(L"QuarnSQLService.exe", folder);
    ctl.PastaService = Narrow(folder) + "\\";
    ctl.ContaService = "LocalSystem";
  }
  void TearDown() override {
    RemoveService(L"QuarnSQLService");
    RemoveService(L"QuarnSQLServiceMonitor");
  }
};

TEST_F(ServiceControlUnderWine, AMissingServiceGivesTheManagersCode) {
  ctl.SelecionarService(0);
  EXPECT_EQ(ctl.StatusService(), 0);
  EXPECT_EQ(ctl.LerContaService(), ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(ctl.ContaService, "LocalSystem");
  EXPECT_EQ(ctl.IniciarService(0), ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(ctl.PararService(0), ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(ctl.RemoverService(0), ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST_F(ServiceControlUnderWine, AServiceWhoseProcessWasKilledIsStoppedAndStartsAgain) {
  ASSERT_EQ(ctl.InstalarService(0), 0);
  ASSERT_EQ(ctl.IniciarService(0), 0);
  ASSERT_TRUE(WaitFor([] { return ServicePid(L"QuarnSQLService") != 0; }, 10000));
  const DWORD before = ServicePid(L"QuarnSQLService");
  UniqueKernel p(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, before));
  ASSERT_TRUE(p && TerminateProcess(p.get(), 1));
  ASSERT_EQ(WaitForSingleObject(p.get(), 10000), WAIT_OBJECT_0);
  // Whatever the manager still says about it, the service does not run.
  EXPECT_TRUE(WaitFor([&] { return ctl.StatusService() == kServiceStopped; }, 5000));
  EXPECT_EQ(ctl.IniciarService(0), 0);
  EXPECT_TRUE(WaitFor(
      [&] {
        const DWORD now = ServicePid(L"QuarnSQLService");
        return now != 0 && now != before;
      },
      10000));
  EXPECT_EQ(ctl.StatusService(), kServiceRunning);
}

TEST_F(ServiceControlUnderWine, InstallStartStopAndRemoveTheBackupService) {
  ASSERT_EQ(ctl.InstalarService(0), 0);
  const ServiceConfig c = QueryConfig(L"QuarnSQLService");
  EXPECT_EQ(c.path, L"\"" + folder + L"\\QuarnSQLService.exe\"");
  EXPECT_EQ(c.startType, static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_EQ(c.type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(c.account, L"LocalSystem");
  EXPECT_EQ(ctl.InstalarService(0), ERROR_SERVICE_EXISTS);
  // Disabled by an administrator, and enabled again.
  EXPECT_FALSE(scm.Disabled("QuarnSQLService"));
  for (const DWORD start : {static_cast<DWORD>(SERVICE_DISABLED), static_cast<DWORD>(SERVICE_AUTO_START)}) {
    win::UniqueServiceHandle m(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    win::UniqueServiceHandle s(OpenServiceW(m.get(), L"QuarnSQLService", SERVICE_CHANGE_CONFIG));
    ASSERT_TRUE(ChangeServiceConfigW(s.get(), SERVICE_NO_CHANGE, start, SERVICE_NO_CHANGE, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(scm.Disabled("QuarnSQLService"), start == SERVICE_DISABLED);
  }

  ctl.ContaService = "someone else";
  EXPECT_EQ(ctl.LerContaService(), 0);  // a 36-byte first query, then the retry
  EXPECT_EQ(ctl.ContaService, "LocalSystem");

  EXPECT_EQ(ctl.StatusService(), kServiceStopped);
  EXPECT_EQ(ctl.IniciarService(0), 0);
  EXPECT_TRUE(WaitFor([&] { return ctl.StatusService() == kServiceRunning; }, 15000));
  EXPECT_NE(ctl.IniciarService(0), 0);
  EXPECT_EQ(ctl.PararService(0), 0);
  EXPECT_TRUE(WaitFor([&] { return ctl.StatusService() == kServiceStopped; }, 15000));
  EXPECT_NE(ctl.PararService(0), 0);

  // Removing a stopped service: the stop fails unnoticed and the deletion goes ahead.
  EXPECT_EQ(ctl.RemoverService(0), 0);
  EXPECT_TRUE(WaitFor([] { return !ServiceExists(L"QuarnSQLService"); }, 5000));
}

TEST_F(ServiceControlUnderWine, RemovingARunningServiceStopsItFirst) {
  ASSERT_EQ(ctl.InstalarService(0), 0);
  ASSERT_EQ(ctl.IniciarService(0), 0);
  ASSERT_TRUE(WaitFor([&] { return ctl.StatusService() == kServiceRunning; }, 15000));
  EXPECT_EQ(ctl.RemoverService(0), 0);
  EXPECT_TRUE(WaitFor([] { return CountProcesses(L"QuarnSQLService.exe") == 0; }, 15000));
  EXPECT_TRUE(WaitFor([] { return !ServiceExists(L"QuarnSQLService"); }, 15000));
}

TEST_F(ServiceControlUnderWine, AccountsFollowTheRuleAndLongNamesAreBounded) {
  const std::string domain = ctl.DominioUsuario();
  ctl.ContaService = "backup";
  ASSERT_EQ(ctl.InstalarService(1), 0);
  const std::string expected = (domain.empty() ? "." : domain) + "\\backup";
  EXPECT_EQ(ctl.ContaService, expected);
  ctl.ContaService.clear();
  EXPECT_EQ(ctl.LerContaService(), 0);
  EXPECT_EQ(ctl.ContaService, expected);
  EXPECT_EQ(QueryConfig(L"QuarnSQLServiceMonitor").path, L"\"" + folder + L"\\QuarnSQLServiceMonitor.exe\"");

  EXPECT_EQ(ctl.RemoverService(1), 0);
  ASSERT_TRUE(WaitFor([] { return !ServiceExists(L"QuarnSQLServiceMonitor"); }, 5000));
  ctl.ContaService = "DOMINIO\\" + std::string(300, 'u');
  ASSERT_EQ(ctl.InstalarService(1), 0);
  ctl.ContaService.clear();
  EXPECT_EQ(ctl.LerContaService(), 0);
  EXPECT_EQ(ctl.ContaService.size(), 255u);
  EXPECT_EQ(ctl.ContaService.substr(0, 9), "DOMINIO\\u");
}

TEST_F(ServiceControlUnderWine, TheMonitorVariantInstallsBesideTheMonitor) {
  std::string account = "LocalSystem", password;
  MonitorServiceControl mon(scm, account, password, Narrow(folder));
  ASSERT_EQ(mon.InstalarService(), 0);
  EXPECT_EQ(QueryConfig(L"QuarnSQLService").path, L"\"" + folder + L"\\QuarnSQLService.exe\"");
  EXPECT_EQ(account, "LocalSystem");
  EXPECT_EQ(mon.IniciarService(), 0);
  EXPECT_TRUE(WaitFor([&] { return mon.StatusService() == kServiceRunning; }, 15000));
  EXPECT_EQ(mon.PararService(), 0);
  EXPECT_TRUE(WaitFor([&] { return mon.StatusService() == kServiceStopped; }, 15000));
  EXPECT_EQ(mon.RemoverService(), 0);
}

struct DummyServices : ::testing::Test {
  win::Win32ServiceManager scm;
  std::wstring exe;
  void SetUp() override {
    RemoveService(L"QuarnDummy");
    exe = FreshFolder(L"dummy svc") + L"\\QuarnDummyService.exe";
    CopyHelper(L"QuarnDummyService.exe", exe);
  }
  void TearDown() override { RemoveService(L"QuarnDummy"); }
};

TEST_F(DummyServices, AServiceThatRefusesToStartEndsStopped) {
  ASSERT_EQ(CreateOwnService(L"QuarnDummy", L"\"" + exe + L"\" refuse"), 0u);
  (void)scm.Start("QuarnDummy");  // the service refuses: what the start returns under Wine is not the point
  EXPECT_TRUE(WaitFor([&] { return scm.Status("QuarnDummy") == kServiceStopped; }, 15000));
  Sleep(300);
  EXPECT_EQ(scm.Status("QuarnDummy"), kServiceStopped);
}

TEST_F(DummyServices, AStopReturnsAtOnceWhileTheServiceIsStillStopping) {
  ASSERT_EQ(CreateOwnService(L"QuarnDummy", L"\"" + exe + L"\" slowstop"), 0u);
  ASSERT_EQ(scm.Start("QuarnDummy"), 0);
  ASSERT_TRUE(WaitFor([&] { return scm.Status("QuarnDummy") == kServiceRunning; }, 15000));
  EXPECT_EQ(scm.Stop("QuarnDummy"), 0);
  // Still stopping (it takes 3 s): the call did not wait for the stop.
  EXPECT_EQ(scm.Status("QuarnDummy"), kServiceStopPending);
  EXPECT_TRUE(WaitFor([&] { return scm.Status("QuarnDummy") == kServiceStopped; }, 15000));
}

struct ProcessesUnderWine : ::testing::Test {
  win::Win32Processes port;
  FechaExe fecha{port};
  std::wstring folder;
  std::vector<UniqueKernel> started;

  void SetUp() override {
    for (auto* n :
         {L"QuarnSQLService.exe", L"QUARNSQLSERVICE.EXE", L"QuarnSQLServiceMonitor.exe", L"QuarnSQLMonitor.exe"})
      KillProgram(n);
    folder = FreshFolder(L"processes");
  }
  void TearDown() override {
    for (auto& p : started) TerminateProcess(p.get(), 0);
  }
  HANDLE Run(const std::wstring& fileName, const std::wstring& title = L"") {
    const std::wstring exe = folder + L"\\" + fileName;
    CopyHelper(L"QuarnDummyProgram.exe", exe);
    started.push_back(Launch(exe, title));
    EXPECT_TRUE(started.back());
    const DWORD pid = GetProcessId(started.back().get());
    EXPECT_TRUE(WaitFor(
        [&] {
          std::vector<ProcessEntry> list;
          port.Snapshot(list);
          for (auto& e : list)
            if (e.id == pid) return true;
          return false;
        },
        10000));
    return started.back().get();
  }
};

TEST_F(ProcessesUnderWine, TheWantedNameMustBeginTheFileNameInAnyCase) {
  HANDLE monitor = Run(L"QuarnSQLServiceMonitor.exe");
  EXPECT_EQ(fecha.PegaIdProcesso("QuarnSQLService.exe"), 0u);
  EXPECT_EQ(fecha.PegaIdProcesso("quarnsqlservicemonitor.EXE"), GetProcessId(monitor));
  HANDLE upper = Run(L"QUARNSQLSERVICE.EXE");
  EXPECT_EQ(fecha.PegaIdProcesso("QuarnSQLService.exe"), GetProcessId(upper));
}

TEST_F(ProcessesUnderWine, TwoCopiesAreEndedOneAfterTheOther) {
  HANDLE a = Run(L"QuarnSQLMonitor.exe");
  HANDLE b = Run(L"QuarnSQLMonitor.exe");
  uintptr_t noWindow = 0;
  for (int i = 0; i < 2; ++i) {
    uint32_t id = fecha.PegaIdProcesso("QuarnSQLMonitor.exe");
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(fecha.FechaProcesso(id, noWindow));
    EXPECT_TRUE(WaitFor([&] { return fecha.PegaIdProcesso("QuarnSQLMonitor.exe") != id; }, 10000));
  }
  EXPECT_EQ(WaitExit(a, 5000), 0u);
  EXPECT_EQ(WaitExit(b, 5000), 0u);
  EXPECT_EQ(fecha.PegaIdProcesso("QuarnSQLMonitor.exe"), 0u);
}

TEST_F(ProcessesUnderWine, AGoneIdAndNothingAtAllGiveFalse) {
  HANDLE a = Run(L"QuarnSQLService.exe");
  uint32_t id = GetProcessId(a);
  uintptr_t noWindow = 0;
  ASSERT_TRUE(fecha.FechaProcesso(id, noWindow));
  WaitForSingleObject(a, 5000);
  started.clear();  // our handle was the last one: the id no longer names a process
  const bool gone = WaitFor(
      [&] {
        UniqueKernel h(OpenProcess(PROCESS_TERMINATE, FALSE, id));
        return !h;
      },
      5000);
  if (gone) {
    EXPECT_FALSE(fecha.FechaProcesso(id, noWindow));
  }
  uint32_t neverUsed = 0x7FFFFFF0;
  EXPECT_FALSE(fecha.FechaProcesso(neverUsed, noWindow));
  uint32_t none = 0;
  EXPECT_FALSE(fecha.FechaProcesso(none, noWindow));
}

TEST_F(ProcessesUnderWine, AWindowOfAnotherProcessNamesTheProcessToEnd) {
  HANDLE p = Run(L"QuarnSQLMonitor.exe", L"QuarnJanelaDeTeste");
  HWND window = nullptr;
  ASSERT_TRUE(WaitFor([&] { return (window = FindWindowW(nullptr, L"QuarnJanelaDeTeste")) != nullptr; }, 10000));
  uint32_t id = 12345;
  uintptr_t handle = reinterpret_cast<uintptr_t>(window);
  EXPECT_TRUE(fecha.FechaProcesso(id, handle));
  EXPECT_EQ(id, GetProcessId(p));
  EXPECT_EQ(WaitExit(p, 5000), 0u);
}

}  // namespace
}  // namespace quarn
