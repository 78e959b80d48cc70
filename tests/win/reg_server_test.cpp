// clssRegServer against real libraries: our controls, a plain library, a
// missing file and a control whose entry point outlives the wait.
#include <gtest/gtest.h>
#include <windows.h>

#include "common/errors.h"
#include "common/win32/win_platform.h"
#include "installer/win32/reg_server.h"
#include "win_test_util.h"

namespace quarn {
namespace {

using namespace quarn::wintest;
using quarn::win::ClssRegServer;
using quarn::win::Narrow;

TEST(ClssRegServer, RegistersAndUnregistersAControl) {
  const std::wstring folder = FreshFolder(L"registro");
  CopyProgram(L"NTsvc.ocx", folder);
  const std::string path = Narrow(folder) + "\\NTsvc.ocx";
  ClssRegServer reg;
  EXPECT_TRUE(reg.fVBRegServer(path, true));
  EXPECT_TRUE(ControlRegistered(L"NTsvc.ocx"));
  EXPECT_TRUE(reg.IsDLLActiveX(path, true));
  EXPECT_TRUE(reg.fVBRegServer(path, false));
  EXPECT_FALSE(ControlRegistered(L"NTsvc.ocx"));
}

TEST(ClssRegServer, PlainLibrariesAndMissingFilesAreNotRegistered) {
  const std::wstring folder = FreshFolder(L"registro simples");
  CopyProgram(L"AZIP32.DLL", folder);
  ClssRegServer reg;
  EXPECT_FALSE(reg.fVBRegServer(Narrow(folder) + "\\AZIP32.DLL", true));
  EXPECT_FALSE(reg.IsDLLActiveX(Narrow(folder) + "\\AZIP32.DLL", true));
  EXPECT_FALSE(reg.fVBRegServer(Narrow(folder) + "\\nao-existe.ocx", true));
  EXPECT_FALSE(reg.IsDLLActiveX(Narrow(folder) + "\\nao-existe.ocx", false));
  try {
    reg.IsDLLActiveX(Narrow(folder) + "\\nao-existe.ocx", true);
    FAIL() << "no error raised";
  } catch (const VbError& e) {
    EXPECT_EQ(e.Number(), 10126);
    EXPECT_EQ(e.Description(), "LoadLibrary-Error: 126");
  }
}

TEST(ClssRegServer, AnEntryPointThatOutlivesTheWaitKeepsItsLibrary) {
  const std::wstring folder = FreshFolder(L"registro lento");
  const std::wstring file = folder + L"\\QuarnSlowControl.ocx";
  CopyHelper(L"QuarnSlowControl.dll", file);
  ClssRegServer reg;
  const ULONGLONG t0 = GetTickCount64();
  EXPECT_FALSE(reg.fVBRegServer(Narrow(file), true));
  const ULONGLONG waited = GetTickCount64() - t0;
  EXPECT_GE(waited, 9500u);
  EXPECT_LT(waited, 14000u);
  // Still loaded under its running thread, which finishes its work later.
  EXPECT_NE(GetModuleHandleW(file.c_str()), nullptr);
  EXPECT_TRUE(WaitFor([] { return ControlRegistered(L"QuarnSlowControl.ocx"); }, 10000));
  // An unregistration that fails quickly still counts as run.
  EXPECT_TRUE(reg.fVBRegServer(Narrow(file), false));
}

}  // namespace
}  // namespace quarn
