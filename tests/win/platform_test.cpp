// The Win32 adapters of the core's ports, on real files and a real message queue.
#include <gtest/gtest.h>
#include <windows.h>

#include "common/win32/file_time.h"
#include "common/win32/handles.h"
#include "common/win32/win_event_loop.h"
#include "common/win32/win_platform.h"
#include "fakes/date_samples.h"
#include "monitor/logs.h"
#include "monitor/win32/health_win32.h"
#include "win_test_util.h"

namespace quarn {
namespace {

using namespace quarn::win;

std::string Folder(const char* name) {
  const std::wstring f = wintest::FreshFolder(Widen(name));
  return Narrow(f);
}

TEST(Win32FileSystem, WritesReadsAppendsAndReplaces) {
  Win32FileSystem fs;
  const std::string dir = Folder("fs files");
  const std::string a = dir + "\\a.ini", b = dir + "\\b.ini";
  fs.WriteAll(a, "one\r\n");
  fs.WriteAll(a, "two\r\n");  // emptied first
  fs.Append(a, std::string("x\0y", 3));
  EXPECT_EQ(fs.ReadAll(a), std::string("two\r\nx\0y", 8));
  EXPECT_TRUE(fs.FileExists(a));
  EXPECT_FALSE(fs.DirExists(a));
  EXPECT_TRUE(fs.DirExists(dir));
  EXPECT_FALSE(fs.FileExists(dir));
  const FileStamp before = fs.Stamp(a);
  EXPECT_EQ(before.size, 8u);
  fs.Append(a, "z");
  EXPECT_EQ(fs.Stamp(a).size, 9u);
  fs.WriteAll(b, "old");
  fs.Rename(a, b);
  EXPECT_FALSE(fs.FileExists(a));
  EXPECT_EQ(fs.ReadAll(b).size(), 9u);
  fs.Delete(b);
  EXPECT_FALSE(fs.FileExists(b));

  // Nothing is renamed over a file another program holds open, whatever it
  // shares: the replace then writes in place; strict, it fails. No temporary stays.
  ReplaceFile(fs, a, "whole\r\n");
  UniqueFile reader(CreateFileW(Widen(a).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(reader);
  EXPECT_THROW(ReplaceFile(fs, a, "strict\r\n", true), VbError);
  ReplaceFile(fs, a, "in place\r\n");
  EXPECT_EQ(fs.ReadAll(a), "in place\r\n");
  EXPECT_FALSE(fs.FileExists(a + ".tmp"));
}

// The metrics folder's check reads back the owner and list Windows keeps
// (under Wine, the running account's and those of the Unix permissions).
TEST(Win32FolderTrust, AFolderIsAskedOfItsOwnerAndListAndNothingElseIsAFolder) {
  const std::string dir = Folder("trust");
  EXPECT_TRUE(AdministratorsOnly(dir));
  EXPECT_FALSE(AdministratorsOnly(dir + "\\missing"));
  ASSERT_TRUE(CreateDirectoryW(Widen(dir + "\\target").c_str(), nullptr));
  if (CreateSymbolicLinkW(Widen(dir + "\\link").c_str(), Widen(dir + "\\target").c_str(),
                          SYMBOLIC_LINK_FLAG_DIRECTORY)) {
    EXPECT_FALSE(AdministratorsOnly(dir + "\\link"));
  }
}

TEST(Win32FileSystem, FailuresCarryTheRuntimeFileErrors) {
  Win32FileSystem fs;
  const std::string dir = Folder("fs errors");
  auto number = [](auto&& op) {
    try {
      op();
    } catch (const VbError& e) {
      return e.Number();
    }
    return 0L;
  };
  EXPECT_EQ(number([&] { fs.WriteAll(dir + "\\missing\\x.ini", "x"); }), 76);
  EXPECT_EQ(number([&] { fs.ReadAll(dir + "\\nothing.ini"); }), 53);
  EXPECT_EQ(number([&] { fs.Delete(dir + "\\nothing.ini"); }), 53);
  EXPECT_EQ(number([&] { fs.CreateDir(dir + "\\a\\b"); }), 76);

  // Held open without sharing by another program: the write is refused.
  const std::string held = dir + "\\held.ini";
  fs.WriteAll(held, "x");
  UniqueFile lock(CreateFileW(Widen(held).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(lock);
  EXPECT_EQ(number([&] { fs.WriteAll(held, "y"); }), 70);
}

TEST(Win32FileSystem, LastModifiedIsLocalTime) {
  Win32FileSystem fs;
  Win32Clock clock;
  const std::string f = Folder("fs time") + "\\t.ini";
  const LocalTime before = clock.Now();
  fs.WriteAll(f, "x");
  const int64_t diff = ToEpochSeconds(fs.LastModified(f)) - ToEpochSeconds(before);
  EXPECT_GE(diff, -2);
  EXPECT_LE(diff, 2);
}

TEST(Win32Text, TheAnsiCodePageIsWindows1252) {
  AcpCodec codec;
  EXPECT_EQ(GetACP(), 1252u);
  EXPECT_EQ(codec.ToAnsi("Sem conexão com a internet."), "Sem conex\xE3o com a internet.");
  EXPECT_EQ(codec.FromAnsi("\xE7\x80"), "ç€");
  EXPECT_EQ(codec.ToAnsi("日"), "?");
}

TEST(Win32Text, DatesFollowTheBrazilianPortugueseSystem) {
  Win32DateFormat dates;
  for (const auto& d : fakes::kGeneralDates) EXPECT_EQ(dates.GeneralDate(d.time), d.text);
  EXPECT_EQ(dates.LogStamp(LocalTime{2026, 1, 2, 3, 4, 5}), "02/01/2026 03:04:05");
}

TEST(Win32Text, DatesAreReadBackByTheSystemsConversion) {
  Win32DateFormat dates;
  LocalTime t;
  ASSERT_TRUE(dates.ParseDate("07/12/2026 05:58:36", t));
  EXPECT_EQ(t, (LocalTime{2026, 12, 7, 5, 58, 36}));
  ASSERT_TRUE(dates.ParseDate(dates.GeneralDate(LocalTime{2026, 1, 2, 0, 0, 0}), t));
  EXPECT_EQ(t, (LocalTime{2026, 1, 2, 0, 0, 0}));
  EXPECT_FALSE(dates.ParseDate("lixo", t));
  EXPECT_FALSE(dates.ParseDate("", t));
}

TEST(Win32Logs, TheExampleRecordOnDisk) {
  Win32FileSystem fs;
  AcpCodec codec;
  struct Fixed : Clock {
    LocalTime Now() override { return LocalTime{2026, 12, 6, 5, 55, 4}; }
  } clock;
  Win32DateFormat dates;
  const std::string app = Folder("logs example");
  fs.CreateDir(app + "\\Logs");
  MonitorLogs logs(LogContext{fs, codec, clock, dates, app});
  logs.FormataRichTextBox("Sem conexão com a internet.", kCorAzul, false);
  logs.FormataRichTextBox("segunda", kCorVermelha, true);
  EXPECT_EQ(fs.ReadAll(app + "\\Logs\\FormataRichTextBoxServiceMonitor.ini"),
            "06/12/2026 05:55:04 False 16711680    Sem conex\xE3o com a internet.\r\n"
            "06/12/2026 05:55:04 True  255         segunda\r\n");
  EXPECT_EQ(fs.ReadAll(app + "\\Logs\\LogGeralMonitor.INI"),
            "06/12/2026 05:55:04 - QuarnSQLServiceMonitor - False 16711680    Sem conex\xE3o com a internet.\r\n"
            "06/12/2026 05:55:04 - QuarnSQLServiceMonitor - True  255         segunda\r\n");
  logs.SalvaLogErro("falhou");
  EXPECT_EQ(fs.ReadAll(app + "\\ErrorQuarn.ini"), "\r\n06/12/2026 05:55:04 - falhou\r\n");
}

// A window for the loop's timers and posted messages.
HWND TestWindow() {
  static HWND hwnd = [] {
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"QuarnLoopTest";
    RegisterClassW(&wc);
    return CreateWindowW(L"QuarnLoopTest", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  }();
  return hwnd;
}

Win32EventLoop* g_loop = nullptr;
LRESULT CALLBACK LoopProc(HWND h, UINT m, WPARAM w, LPARAM l) {
  if (m == WM_TIMER && g_loop && g_loop->OnTimerMessage(w)) return 0;
  return DefWindowProcW(h, m, w, l);
}

TEST(Win32EventLoop, TimersTickAndWaitsBlockInsteadOfSpinning) {
  HWND hwnd = TestWindow();
  SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&LoopProc));
  Win32EventLoop loop(hwnd);
  g_loop = &loop;
  int ticks = 0;
  auto timer = loop.CreateTimer(50, [&] { ++ticks; });
  timer->SetEnabled(true);

  FILETIME c, e, k0, u0, k1, u1;
  GetThreadTimes(GetCurrentThread(), &c, &e, &k0, &u0);
  const ULONGLONG start = GetTickCount64();
  while (GetTickCount64() - start < 1000) loop.Idle(50);
  GetThreadTimes(GetCurrentThread(), &c, &e, &k1, &u1);
  auto ms = [](FILETIME a, FILETIME b) {
    const auto v = [](FILETIME f) { return win::FileTimeTicks(f); };
    return static_cast<double>(v(b) - v(a)) / 10000.0;
  };
  EXPECT_GE(ticks, 5);
  // A spinning wait would burn close to the whole second.
  EXPECT_LT(ms(k0, k1) + ms(u0, u1), 300.0);

  timer->SetEnabled(false);
  const int stopped = ticks;
  const ULONGLONG s2 = GetTickCount64();
  while (GetTickCount64() - s2 < 200) loop.Idle(50);
  EXPECT_EQ(ticks, stopped);

  loop.EndProgram();
  EXPECT_THROW(loop.DoEvents(), ProgramEnd);
  EXPECT_THROW(loop.Idle(10), ProgramEnd);
  g_loop = nullptr;
  MSG quit;
  PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
}

}  // namespace
}  // namespace quarn
