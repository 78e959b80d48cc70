// The installation's last day: after its updates by the monitor, a deployment
// tool removes it with the quiet command the list of installed programs holds.
// Last of its suite's cases: the ones after it install again.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "common/win32/handles.h"
#include "common/win32/win_platform.h"
#include "e2e/suite_helpers.h"
#include "win/win_test_util.h"

namespace quarn {
namespace e2e {
namespace {

using namespace quarn::wintest;
using win::Narrow;
using win::UniqueKernel;

}  // namespace

TEST_F(Suite, AtTheEndASilentUninstallFromTheListOfInstalledProgramsLeavesOnlyTheLogs) {
  const wchar_t* entry = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QuarnSQL";
  wchar_t command[1024] = {};
  DWORD size = sizeof command - sizeof(wchar_t);
  ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, entry, L"QuietUninstallString", RRF_RT_REG_SZ, nullptr, command, &size),
            ERROR_SUCCESS);
  const std::wstring quiet = command;
  ASSERT_EQ(quiet.rfind(L"\"" + kSuite + L"\\InstaladorQuarnSQL.exe\" ", 0), 0u) << Narrow(quiet);
  const size_t end = quiet.find(L'"', 1);
  const std::string recorded = Record(L"VersaoQuarnSQLService.ini");
  const ULONGLONG t0 = GetTickCount64();
  UniqueKernel u = Launch(quiet.substr(1, end - 1), quiet.substr(end + 2));
  ASSERT_TRUE(u);
  EXPECT_EQ(WaitExit(u.get(), 90000), 0u);
  std::printf("silent uninstall: %.1f s\n", (GetTickCount64() - t0) / 1000.0);
  EXPECT_FALSE(ServiceExists(kBackup));
  EXPECT_FALSE(ServiceExists(kMonitor));
  EXPECT_FALSE(Exists(kBackupExe));
  EXPECT_FALSE(Exists(kGuiExe));
  EXPECT_FALSE(Exists(kSuite + L"\\InstaladorQuarnSQL.exe"));
  EXPECT_FALSE(Exists(kSuite + L"\\temp"));  // downloads and staged builds
  HKEY key;
  EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, entry, 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Solvane\\Quarn SQL\\Controles", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  EXPECT_TRUE(Exists(kLogs + L"LogGeralMonitor.INI"));
  EXPECT_EQ(Record(L"VersaoQuarnSQLService.ini"), recorded);
}

}  // namespace e2e
}  // namespace quarn
