// The monitor, running as a service, updates the backup service and the GUI
// monitor from the session's local update server.
#include <gtest/gtest.h>
#include <windows.h>

#include "common/win32/handles.h"
#include "common/win32/win_platform.h"
#include "fakes/update_reports.h"
#include "fakes/zip_writer.h"
#include "win_test_util.h"

namespace quarn {
namespace {

using namespace quarn::wintest;
using quarn::win::Narrow;
using quarn::win::Widen;

void Publish(const std::string& name, const testzip::ZipWriter& zip) {
  win::Win32FileSystem().WriteAll(UpdateServerFile(name), zip.Build());
}

struct UpdateFlow : ::testing::Test {
  std::wstring folder;
  std::string logs;
  win::UniqueKernel gui;

  void SetUp() override {
    ASSERT_FALSE(Env("QUARN_UPDATE_URL").empty());
    RemoveService(kMonitorService);
    RemoveService(kBackupService);
    KillProgram(L"QuarnSQLMonitor.exe");
    folder = FreshFolder(L"update suite");
    logs = Narrow(folder) + "\\Logs\\";
    CopyProgram(L"QuarnSQLService.exe", folder);
    CopyProgram(L"QuarnSQLServiceMonitor.exe", folder);
    CopyProgram(L"AUNZIP32.DLL", folder);
    CopyHelper(L"QuarnDummyProgram.exe", folder + L"\\QuarnSQLMonitor.exe");
    CreateDirectoryW((folder + L"\\Logs").c_str(), nullptr);
    win::Win32FileSystem().WriteAll(logs + "VersaoQuarnSQLService.ini", "1.0\r\n");
    SetUpdateServer(Env("QUARN_UPDATE_URL"));
    SetAllowUnsigned(true);  // the scripted server's builds are unsigned
    SetProbationSeconds(2);

    const std::string service = ReadFileBytes(BinFolder() + L"\\QuarnSQLService.exe");
    const std::string dummy = ReadFileBytes(TestsFolder() + L"\\QuarnDummyProgram.exe");
    testzip::ZipWriter v1, b1, v2, b2;
    v1.Deflated("VersaoQuarnSQLService.ini", "  2.0  \r\nnotas da versão\r\n");
    b1.Deflated("QuarnSQLService.exe", service);
    b1.Deflated("pacote/QuarnSQLService.build", "2.0");
    v2.Stored("VersaoQuarnSqlMonitor.ini", "7.1\r\n");
    b2.Deflated("QuarnSQLMonitor.exe", dummy);
    b2.Stored("QuarnSQLMonitor.build", "7.1");
    Publish("VersaoQuarnSQLService.zip", v1);
    Publish("QuarnSQLService.zip", b1);
    Publish("VersaoQuarnSqlMonitor.zip", v2);
    Publish("QuarnSQLMonitor.zip", b2);

    gui = Launch(folder + L"\\QuarnSQLMonitor.exe", L"");
    ASSERT_EQ(CreateOwnService(kBackupService, L"\"" + folder + L"\\QuarnSQLService.exe\""), 0u);
    ASSERT_EQ(CreateOwnService(kMonitorService, L"\"" + folder + L"\\QuarnSQLServiceMonitor.exe\""), 0u);
  }
  void TearDown() override {
    RemoveService(kMonitorService);
    RemoveService(kBackupService);
    KillProgram(L"QuarnSQLMonitor.exe");
  }
  std::string Record(const char* name) { return ReadFileBytes(Widen(logs + name)); }
};

TEST_F(UpdateFlow, TheStartUpCheckReplacesBothProgramsAndTheNextFindsNothingNew) {
  ASSERT_EQ(StartServiceByName(kBackupService), 0u);
  ASSERT_EQ(StartServiceByName(kMonitorService), 0u);
  ASSERT_TRUE(WaitFor([&] { return Record("VersaoQuarnSqlMonitor.ini") == "7.1\r\n"; }, 60000))
      << Record("VersaoQuarnSqlMonitor.ini") << ReadFileBytes(folder + L"\\ErrorQuarn.ini");
  EXPECT_EQ(Record("VersaoQuarnSQLService.ini"), "2.0\r\n");
  EXPECT_EQ(ReadFileBytes(folder + L"\\QuarnSQLService.build"), "2.0");
  EXPECT_EQ(ReadFileBytes(folder + L"\\QuarnSQLMonitor.build"), "7.1");
  EXPECT_TRUE(WaitFor([] { return ServiceState(kBackupService) == SERVICE_RUNNING; }, 15000));
  EXPECT_EQ(WaitExit(gui.get(), 5000), 0u);  // ended, and not started again
  EXPECT_EQ(CountProcesses(L"QuarnSQLMonitor.exe"), 0);

  // The record is written a moment before the reports that follow it.
  std::vector<int> colors;
  std::vector<std::string> lines;
  WaitFor(
      [&] {
        colors.clear();
        lines = LogMessages(folder + L"\\Logs\\FormataRichTextBoxServiceMonitor.INI", &colors);
        return lines.size() >= 17 && lines.back() == "Monitorando...";
      },
      15000);
  std::vector<fakes::ReportLine> expected = fakes::ServiceUpdateReports("2.0", "1.0");
  expected.push_back({0, "Verificando atualizações disponíveis para o QuarnSqlMonitor."});
  ASSERT_GE(lines.size(), expected.size()) << ReadFileBytes(folder + L"\\ErrorQuarn.ini");
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(lines[i], expected[i].text) << i;
    EXPECT_EQ(colors[i], expected[i].color) << i;
  }
  EXPECT_EQ(lines.back(), "Monitorando...");
  // The general log holds the same reports.
  const auto general = ReadFileBytes(folder + L"\\Logs\\LogGeralMonitor.INI");
  EXPECT_NE(general.find(" - QuarnSQLServiceMonitor - False 0           Startando Service...\r\n"), std::string::npos);

  // Kept once its probation passed: the old build's copy and the journal go, the list of the new one is written.
  ASSERT_TRUE(WaitFor([&] { return !Exists(folder + L"\\temp\\QuarnSQLService.pendente"); }, 30000))
      << ReadFileBytes(folder + L"\\ErrorQuarn.ini");
  EXPECT_FALSE(Exists(folder + L"\\temp\\QuarnSQLService.anterior\\QuarnSQLService.exe"));
  EXPECT_NE(ReadFileBytes(folder + L"\\Logs\\InstaladoQuarnSQLService.ini").find(" QuarnSQLService.exe\r\n"),
            std::string::npos);

  // Started again, the monitor finds both records equal.
  ASSERT_EQ(ControlService(kMonitorService, SERVICE_CONTROL_STOP), 0u);
  ASSERT_TRUE(WaitFor([] { return ServiceState(kMonitorService) == SERVICE_STOPPED; }, 15000));
  ASSERT_EQ(StartServiceByName(kMonitorService), 0u);
  const std::wstring formatted = folder + L"\\Logs\\FormataRichTextBoxServiceMonitor.INI";
  ASSERT_TRUE(WaitFor([&] { return LogMessages(formatted).size() >= 10; }, 30000));
  const auto again = LogMessages(formatted);
  const std::string none = "Nenhuma atualização disponível no momento para o Quarn Monitor SQL Service.";
  EXPECT_EQ(std::count(again.begin(), again.end(), none), 2);
  EXPECT_EQ(again[3], none);
  EXPECT_EQ(again[4], "Monitorando...");
}

// The update server's name resolves nowhere: the build arrives only through
// the machine's WinHTTP proxy, which the general log names.
TEST_F(UpdateFlow, TheMachinesProxyReachesAServerNoResolverKnows) {
  const std::string url = Env("QUARN_UPDATE_URL");
  const std::string server = "http://atualizacao.quarn.invalid" + url.substr(url.rfind(':'));
  SetUpdateServer(server);
  ASSERT_TRUE(SetMachineProxy(Widen(Env("QUARN_PROXY"))));
  struct NoProxyAfter {
    ~NoProxyAfter() { SetMachineProxy(L""); }
  } noProxyAfter;
  ASSERT_EQ(StartServiceByName(kBackupService), 0u);
  ASSERT_EQ(StartServiceByName(kMonitorService), 0u);
  ASSERT_TRUE(WaitFor([&] { return Record("VersaoQuarnSQLService.ini") == "2.0\r\n"; }, 60000))
      << ReadFileBytes(folder + L"\\ErrorQuarn.ini");
  EXPECT_NE(ReadFileBytes(Widen(HostPath(Env("QUARN_PROXY_LOG")))).find(
                "GET " + server + "/CentralUpdate/QuarnSqlSolvane/QuarnSQLService.zip HTTP/1.1"),
            std::string::npos);
  EXPECT_NE(Record("LogGeralMonitor.INI").find(" " + Env("QUARN_PROXY") + " (proxy WinHTTP da m"), std::string::npos);
}

TEST_F(UpdateFlow, ABrokenBuildLeavesTheOldProgramRunning) {
  testzip::ZipWriter broken;
  broken.Deflated("QuarnSQLService.exe", std::string(100000, 'x')).crc ^= 1;  // damaged in transit
  Publish("QuarnSQLService.zip", broken);
  const std::string before = ReadFileBytes(folder + L"\\QuarnSQLService.exe");
  ASSERT_EQ(StartServiceByName(kBackupService), 0u);
  ASSERT_EQ(StartServiceByName(kMonitorService), 0u);
  ASSERT_TRUE(WaitFor([&] { return Record("VersaoQuarnSqlMonitor.ini") == "7.1\r\n"; }, 60000));
  EXPECT_EQ(ReadFileBytes(folder + L"\\QuarnSQLService.exe"), before);
  EXPECT_EQ(Record("VersaoQuarnSQLService.ini"), "1.0\r\n");
  EXPECT_EQ(ServiceState(kBackupService), static_cast<DWORD>(SERVICE_RUNNING));
  const std::string errors = ReadFileBytes(folder + L"\\ErrorQuarn.ini");
  EXPECT_NE(errors.find(" - Update Sistema QuarnSQLService 53-"), std::string::npos) << errors;
}

TEST_F(UpdateFlow, AnExtractionLibraryAnywhereButBesideTheProgramIsNeverLoaded) {
  // The monitor started by hand from a folder that holds libraries of the names
  // it loads, with that folder on PATH, and none beside the program itself.
  const std::wstring planted = FreshFolder(L"planted libraries");
  for (const wchar_t* name : {L"AUNZIP32.DLL", L"NETAPI32.dll", L"WININET.dll"})
    CopyHelper(L"QuarnPlantedLibrary.dll", planted + L"\\" + name);
  ASSERT_TRUE(DeleteFileW((folder + L"\\AUNZIP32.DLL").c_str()));
  wchar_t cwd[MAX_PATH], path[8192];
  GetCurrentDirectoryW(MAX_PATH, cwd);
  GetEnvironmentVariableW(L"PATH", path, 8192);
  SetCurrentDirectoryW(planted.c_str());
  SetEnvironmentVariableW(L"PATH", (planted + L";" + path).c_str());
  win::UniqueKernel monitor = Launch(folder + L"\\QuarnSQLServiceMonitor.exe", L"");
  SetCurrentDirectoryW(cwd);
  SetEnvironmentVariableW(L"PATH", path);
  ASSERT_TRUE(monitor);
  // Its first update check needs the library, and finds none.
  EXPECT_TRUE(WaitFor(
      [&] { return ReadFileBytes(folder + L"\\ErrorQuarn.ini").find("aunzip32.dll") != std::string::npos; }, 30000))
      << ReadFileBytes(folder + L"\\ErrorQuarn.ini");
  for (const wchar_t* name : {L"AUNZIP32.DLL", L"NETAPI32.dll", L"WININET.dll"})
    EXPECT_FALSE(Exists(planted + L"\\" + name + L".loaded")) << Narrow(name);
  TerminateProcess(monitor.get(), 0);
  WaitExit(monitor.get(), 5000);
}

}  // namespace
}  // namespace quarn
