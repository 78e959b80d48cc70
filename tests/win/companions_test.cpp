// The companions the installer carries, as real programs and libraries under
// Wine: the GUI monitor (its record parsing is tested natively), the loading
// animation adopted into another process's window, the controls' registration,
// the plain compression library and the MySQL tool stand-ins.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <string>
#include <vector>

#include "common/win32/handles.h"
#include "common/win32/win_platform.h"
#include "fakes/log_samples.h"
#include "monitor/logs.h"
#include "win_test_util.h"

namespace quarn {
namespace {

using namespace quarn::wintest;

using testlog::Record;

// ---------------------------------------------------------------------------
// Helpers for the programs

// Ends a process this test started, whatever happens to the test.
struct Started {
  win::UniqueKernel process;
  explicit Started(win::UniqueKernel p) : process(std::move(p)) {}
  ~Started() {
    if (process) {
      TerminateProcess(process.get(), 1);
      WaitForSingleObject(process.get(), 5000);
    }
  }
  DWORD Id() const { return GetProcessId(process.get()); }
  bool Running() const { return WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT; }
};

win::UniqueKernel LaunchWithShow(const std::wstring& exe, WORD show) {
  std::wstring cmd = L"\"" + exe + L"\"";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESHOWWINDOW;
  si.wShowWindow = show;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
    return win::UniqueKernel();
  CloseHandle(pi.hThread);
  return win::UniqueKernel(pi.hProcess);
}

// Lets this thread's windows handle their messages for a while.
void Pump(DWORD ms) {
  const ULONGLONG end = GetTickCount64() + ms;
  MSG msg;
  while (GetTickCount64() < end) {
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
  }
}

bool PumpUntil(const std::function<bool()>& condition, DWORD ms) {
  const ULONGLONG end = GetTickCount64() + ms;
  for (;;) {
    if (condition()) return true;
    if (GetTickCount64() >= end) return false;
    Pump(50);
  }
}

void WriteBytes(const std::wstring& path, const std::string& bytes, DWORD disposition = CREATE_ALWAYS) {
  win::UniqueFile f(CreateFileW(path.c_str(), FILE_APPEND_DATA | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                nullptr, disposition, 0, nullptr));
  ASSERT_TRUE(f) << GetLastError();
  if (disposition == OPEN_ALWAYS) SetFilePointer(f.get(), 0, nullptr, FILE_END);
  DWORD put = 0;
  ASSERT_TRUE(WriteFile(f.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr));
}

// The DLLs a program or library file names in its import table.
std::vector<std::string> ImportedDlls(const std::wstring& path) {
  const std::string b = ReadFileBytes(path);
  std::vector<std::string> names;
  if (b.size() < sizeof(IMAGE_DOS_HEADER)) return names;
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(b.data());
  if (dos->e_magic != IMAGE_DOS_SIGNATURE || static_cast<size_t>(dos->e_lfanew) + sizeof(IMAGE_NT_HEADERS64) > b.size())
    return names;
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(b.data() + dos->e_lfanew);
  if (nt->Signature != IMAGE_NT_SIGNATURE || nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) return names;
  const IMAGE_SECTION_HEADER* sections = IMAGE_FIRST_SECTION(nt);
  auto offset = [&](DWORD rva) -> size_t {
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
      const IMAGE_SECTION_HEADER& s = sections[i];
      const DWORD size = std::max(s.SizeOfRawData, s.Misc.VirtualSize);
      if (rva >= s.VirtualAddress && rva < s.VirtualAddress + size) return rva - s.VirtualAddress + s.PointerToRawData;
    }
    return b.size();
  };
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  for (size_t at = offset(dir.VirtualAddress); at + sizeof(IMAGE_IMPORT_DESCRIPTOR) <= b.size();
       at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
    const auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(b.data() + at);
    if (d->Name == 0) break;
    const size_t name = offset(d->Name);
    if (name >= b.size()) break;
    names.emplace_back(b.c_str() + name);
  }
  return names;
}

// ---------------------------------------------------------------------------
// Controls and libraries

constexpr const auto& kControlesKey = quarn::kControlesKeyW;
const wchar_t* const kControls[] = {L"NTsvc.ocx", L"MSCOMCTL.ocx", L"Comdlg32.ocx", L"MSINET.ocx", L"richtx32.ocx"};

std::set<std::wstring> RecordedControls() {
  std::set<std::wstring> names;
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kControlesKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return names;
  wchar_t name[256];
  for (DWORD i = 0;; ++i) {
    DWORD len = 256;
    if (RegEnumValueW(key, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.insert(name);
  }
  RegCloseKey(key);
  return names;
}

std::wstring RecordedPath(const wchar_t* control) {
  wchar_t data[1024];
  DWORD size = sizeof data;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kControlesKey, control, RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS)
    return L"<none>";
  return data;
}

std::wstring Lower(std::wstring s) {
  CharLowerBuffW(s.data(), static_cast<DWORD>(s.size()));
  return s;
}

using EntryPoint = HRESULT(STDAPICALLTYPE*)();

// Through void*: GetProcAddress's type says nothing of the entry's.
template <typename F>
F Proc(HMODULE module, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

TEST(CompanionControls, EachRecordsItsOwnFileWhenRegisteredAndDropsItWhenUnregistered) {
  const std::wstring folder = FreshFolder(L"controles");
  std::set<std::wstring> others = RecordedControls();
  for (const wchar_t* control : kControls) {
    SCOPED_TRACE(testing::Message() << "control " << std::string(control, control + wcslen(control)));
    CopyProgram(control, folder);
    // Loaded under another spelling, as a caller may: the record keeps the
    // name the file has on disk.
    const std::wstring loadedAs = Lower(folder + L"\\" + control);
    win::UniqueModule lib(LoadLibraryW(loadedAs.c_str()));
    ASSERT_TRUE(lib) << GetLastError();
    auto reg = Proc<EntryPoint>(lib.get(), "DllRegisterServer");
    auto unreg = Proc<EntryPoint>(lib.get(), "DllUnregisterServer");
    auto canUnload = Proc<EntryPoint>(lib.get(), "DllCanUnloadNow");
    auto getClass = Proc<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(lib.get(), "DllGetClassObject");
    ASSERT_TRUE(reg && unreg && canUnload && getClass);

    others.erase(control);
    ASSERT_EQ(reg(), S_OK);
    std::set<std::wstring> expected = others;
    expected.insert(control);
    EXPECT_EQ(RecordedControls(), expected);  // its own value, under its own name, and nothing else
    EXPECT_EQ(Lower(RecordedPath(control)), Lower(folder + L"\\" + control));
    EXPECT_EQ(reg(), S_OK);  // registering again changes nothing
    EXPECT_EQ(RecordedControls(), expected);

    ASSERT_EQ(unreg(), S_OK);
    EXPECT_EQ(RecordedControls(), others);
    EXPECT_EQ(unreg(), S_OK);  // nothing left to take away is no failure

    void* object = reinterpret_cast<void*>(1);
    const GUID none{};
    EXPECT_EQ(getClass(none, none, &object), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(canUnload(), S_OK);
  }
}

TEST(CompanionControls, EachCarriesItsOwnVersionInformation) {
  // Bound at run time: the tests link no version library.
  HMODULE version = LoadLibraryW(L"version.dll");
  ASSERT_NE(version, nullptr);
  auto sizeOf = Proc<DWORD(WINAPI*)(LPCWSTR, LPDWORD)>(version, "GetFileVersionInfoSizeW");
  auto infoOf = Proc<BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID)>(version, "GetFileVersionInfoW");
  auto query = Proc<BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT)>(version, "VerQueryValueW");
  ASSERT_TRUE(sizeOf && infoOf && query);
  std::set<std::wstring> descriptions;
  for (const wchar_t* control : kControls) {
    const std::wstring path = BinFolder() + L"\\" + control;
    DWORD handle = 0;
    const DWORD size = sizeOf(path.c_str(), &handle);
    ASSERT_GT(size, 0u);
    std::vector<char> data(size);
    ASSERT_TRUE(infoOf(path.c_str(), 0, size, data.data()));
    auto value = [&](const wchar_t* name) {
      void* p = nullptr;
      UINT len = 0;
      const std::wstring key = std::wstring(L"\\StringFileInfo\\041604B0\\") + name;
      return query(data.data(), key.c_str(), &p, &len) && p ? std::wstring(static_cast<wchar_t*>(p)) : L"";
    };
    EXPECT_EQ(value(L"OriginalFilename"), control);
    descriptions.insert(value(L"FileDescription"));
  }
  EXPECT_EQ(descriptions.size(), 5u);
  EXPECT_EQ(descriptions.count(L""), 0u);
}

TEST(CompanionControls, TheCompressionLibraryLoadsAndHasNothingToRegister) {
  win::UniqueModule lib(LoadLibraryW((BinFolder() + L"\\AZIP32.DLL").c_str()));
  ASSERT_TRUE(lib) << GetLastError();
  EXPECT_EQ(GetProcAddress(lib.get(), "DllRegisterServer"), nullptr);
  EXPECT_EQ(GetProcAddress(lib.get(), "DllUnregisterServer"), nullptr);
  auto version = Proc<short(WINAPI*)()>(lib.get(), "addZIP_Version");
  ASSERT_NE(version, nullptr);
  EXPECT_GT(version(), 0);
}

TEST(CompanionControls, EveryCompanionNeedsOnlySystemLibraries) {
  // Copied alone onto a bare Windows, each must start: no compiler runtime beside it.
  for (const wchar_t* file :
       {L"QuarnSQLMonitor.exe", L"LoadWinSolvane.exe", L"NTsvc.ocx", L"MSCOMCTL.ocx", L"Comdlg32.ocx", L"MSINET.ocx",
        L"richtx32.ocx", L"AZIP32.DLL", L"MYSQL.EXE", L"MYSQLDUMP.EXE"}) {
    const std::vector<std::string> dlls = ImportedDlls(BinFolder() + L"\\" + file);
    EXPECT_FALSE(dlls.empty()) << std::string(file, file + wcslen(file));
    for (std::string dll : dlls) {
      std::transform(dll.begin(), dll.end(), dll.begin(), [](char c) { return static_cast<char>(tolower(c)); });
      EXPECT_NE(dll.rfind("lib", 0), 0u) << std::string(file, file + wcslen(file)) << " needs " << dll;
    }
  }
}

// ---------------------------------------------------------------------------
// The MySQL tool stand-ins

TEST(MySqlTools, RunSayWhatTheyAreAndSucceed) {
  const std::wstring folder = FreshFolder(L"mysql tools");
  for (const wchar_t* tool : {L"MYSQL.EXE", L"MYSQLDUMP.EXE"}) {
    const std::string name(tool, tool + wcslen(tool));
    CopyProgram(tool, folder);
    const std::wstring outPath = folder + L"\\" + tool + L".txt";
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    win::UniqueFile out(CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(out) << GetLastError();
    const std::wstring exe = folder + L"\\" + tool;
    std::wstring cmd = L"\"" + exe + L"\" --version";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = out.get();
    si.hStdError = out.get();
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(
        CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi));
    CloseHandle(pi.hThread);
    Started run{win::UniqueKernel(pi.hProcess)};
    EXPECT_EQ(WaitExit(run.process.get(), 10000), 0u) << name;
    out = win::UniqueFile();
    const std::string said = ReadFileBytes(outPath);
    EXPECT_EQ(said.rfind(name + ": ", 0), 0u) << said;
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
  }
}

// ---------------------------------------------------------------------------
// LoadWinSolvane.exe

class LoadWinSolvane : public testing::Test {
 protected:
  void SetUp() override {
    // The title is how the installer finds it: no other copy may be around.
    KillProgram(L"LoadWinSolvane.exe");
    exe_ = BinFolder() + L"\\LoadWinSolvane.exe";
  }
  void TearDown() override { EXPECT_EQ(CountProcesses(L"LoadWinSolvane.exe"), 0); }

  static HWND Find() { return FindWindowW(nullptr, L"LoadWinSolvane"); }

  std::wstring exe_;
};

// What the screen shows of a rectangle, every other pixel, and how many of
// those are not white: a drawn frame against a blank one, one frame against
// the next.
struct Frame {
  int coloured = 0;
  std::vector<COLORREF> pixels;
};
Frame Grab(const RECT& r) {
  Frame f;
  HDC screen = GetDC(nullptr);
  for (LONG y = r.top; y < r.bottom; y += 2)
    for (LONG x = r.left; x < r.right; x += 2) {
      const COLORREF c = GetPixel(screen, x, y);
      f.pixels.push_back(c);
      if (c != RGB(255, 255, 255)) ++f.coloured;
    }
  ReleaseDC(nullptr, screen);
  return f;
}

// The animation is drawn: dots on white, and it moves.
void ExpectAnimated(HWND w) {
  RECT r{};
  GetWindowRect(w, &r);
  const Frame a = Grab(r);
  Sleep(250);
  const Frame b = Grab(r);
  EXPECT_GT(a.coloured, 0);
  EXPECT_LT(a.coloured, static_cast<int>(a.pixels.size()) / 2);
  EXPECT_NE(a.pixels, b.pixels);
}

TEST_F(LoadWinSolvane, ShowsASmallAnimatedTopLevelWindowAtOnce) {
  Started loader(LaunchWithShow(exe_, SW_SHOWNORMAL));
  ASSERT_TRUE(loader.process);
  ASSERT_TRUE(WaitFor([] { return Find() != nullptr; }, 3000));
  HWND w = Find();
  DWORD owner = 0;
  GetWindowThreadProcessId(w, &owner);
  EXPECT_EQ(owner, loader.Id());
  EXPECT_EQ(GetAncestor(w, GA_PARENT), GetDesktopWindow());
  RECT rc{};
  GetClientRect(w, &rc);
  EXPECT_NEAR(rc.right, 49, 8);
  EXPECT_NEAR(rc.bottom, 49, 8);
  RECT shown{};
  GetWindowRect(w, &shown);
  EXPECT_TRUE(WaitFor([&] { return Grab(shown).coloured > 0; }, 3000)) << "nothing drawn";
  ExpectAnimated(w);

  // Sized from outside, it draws to the new size: the ring reaches the far corner.
  ASSERT_TRUE(SetWindowPos(w, nullptr, 0, 0, 96, 96, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE));
  RECT r{};
  GetWindowRect(w, &r);
  ASSERT_EQ(r.right - r.left, 96);
  EXPECT_TRUE(WaitFor([&] { return Grab(RECT{r.left + 60, r.top + 60, r.right, r.bottom}).coloured > 0; }, 3000));

  Sleep(1000);  // it runs until ended
  EXPECT_TRUE(loader.Running());
}

TEST_F(LoadWinSolvane, AdoptedByAnotherProcessItKeepsRunningAndMovesWithItsParent) {
  Started loader(LaunchWithShow(exe_, SW_HIDE));  // as the installer starts it
  ASSERT_TRUE(WaitFor([] { return Find() != nullptr; }, 3000));
  HWND anim = Find();

  // A picture box of our own, as the installer has.
  WNDCLASSW wc{};
  wc.lpfnWndProc = DefWindowProcW;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(LTGRAY_BRUSH));
  wc.lpszClassName = L"QuarnTests.Picture";
  RegisterClassW(&wc);
  win::UniqueWindow host(CreateWindowExW(0, wc.lpszClassName, L"host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 100, 100, 320,
                                         240, nullptr, nullptr, wc.hInstance, nullptr));
  ASSERT_TRUE(host);
  Pump(200);

  ASSERT_NE(SetParent(anim, host.get()), nullptr) << GetLastError();
  ASSERT_TRUE(SetWindowPos(anim, nullptr, 12, 8, 49, 49, SWP_NOZORDER | SWP_SHOWWINDOW));
  Pump(500);
  EXPECT_TRUE(loader.Running());
  EXPECT_EQ(GetAncestor(anim, GA_PARENT), host.get());
  EXPECT_EQ(Find(), nullptr);  // no longer a top-level window
  // A proper child now, so it clips and moves with the picture box.
  EXPECT_TRUE(
      PumpUntil([&] { return (GetWindowLongPtrW(anim, GWL_STYLE) & (WS_CHILD | WS_POPUP)) == WS_CHILD; }, 2000));

  auto placedAt = [&](int x, int y) {
    POINT origin{x, y};
    ClientToScreen(host.get(), &origin);
    RECT r{};
    GetWindowRect(anim, &r);
    return r.left == origin.x && r.top == origin.y && r.right - r.left == 49 && r.bottom - r.top == 49;
  };
  EXPECT_TRUE(PumpUntil([&] { return placedAt(12, 8); }, 2000));

  // The parent moves: the animation goes with it.
  ASSERT_TRUE(SetWindowPos(host.get(), nullptr, 260, 210, 0, 0, SWP_NOSIZE | SWP_NOZORDER));
  EXPECT_TRUE(PumpUntil([&] { return placedAt(12, 8); }, 2000));
  ASSERT_TRUE(SetWindowPos(anim, nullptr, 40, 30, 0, 0, SWP_NOSIZE | SWP_NOZORDER));
  EXPECT_TRUE(PumpUntil([&] { return placedAt(40, 30); }, 2000));
  Pump(1000);
  EXPECT_TRUE(loader.Running());

  // Let go again, it is a top-level window that still draws. (Under Wine what a
  // child of another process draws never reaches the screen, so this is where
  // its drawing after adoption can be seen.)
  ASSERT_NE(SetParent(anim, nullptr), nullptr);
  ASSERT_TRUE(SetWindowPos(anim, HWND_TOP, 500, 400, 49, 49, SWP_SHOWWINDOW));
  EXPECT_TRUE(PumpUntil([&] { return Find() == anim; }, 2000));
  EXPECT_TRUE(
      PumpUntil([&] { return (GetWindowLongPtrW(anim, GWL_STYLE) & (WS_CHILD | WS_POPUP)) == WS_POPUP; }, 2000));
  Pump(300);
  ExpectAnimated(anim);
  EXPECT_TRUE(loader.Running());
}

TEST_F(LoadWinSolvane, WithoutAWindowItStillRuns) {
  Started loader(Launch(exe_, L"/no-window"));
  ASSERT_TRUE(loader.process);
  Sleep(1500);
  EXPECT_EQ(Find(), nullptr);
  EXPECT_TRUE(loader.Running());
}

TEST_F(LoadWinSolvane, ALateWindowAppearsLate) {
  Started loader(Launch(exe_, L"/delay-ms=1500"));
  ASSERT_TRUE(loader.process);
  Sleep(300);
  EXPECT_EQ(Find(), nullptr);
  EXPECT_TRUE(WaitFor([] { return Find() != nullptr; }, 3700));
  EXPECT_TRUE(loader.Running());
}

// ---------------------------------------------------------------------------
// QuarnSQLMonitor.exe

// Text of a status bar part of another process: the message needs a buffer in
// that process.
std::wstring StatusPart(HWND bar, int part) {
  DWORD pid = 0;
  GetWindowThreadProcessId(bar, &pid);
  win::UniqueKernel proc(OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid));
  if (!proc) return L"<no access>";
  const size_t bytes = 1024 * sizeof(wchar_t);
  void* remote = VirtualAllocEx(proc.get(), nullptr, bytes, MEM_COMMIT, PAGE_READWRITE);
  if (!remote) return L"<no memory>";
  const LRESULT len = SendMessageW(bar, SB_GETTEXTLENGTHW, static_cast<WPARAM>(part), 0);
  std::wstring text(1024, L'\0');
  if (LOWORD(len) < 1024) {
    SendMessageW(bar, SB_GETTEXTW, static_cast<WPARAM>(part), reinterpret_cast<LPARAM>(remote));
    ReadProcessMemory(proc.get(), remote, text.data(), bytes, nullptr);
  }
  VirtualFreeEx(proc.get(), remote, 0, MEM_RELEASE);
  text.resize(wcsnlen(text.c_str(), text.size()));
  return text;
}

class GuiMonitor : public testing::Test {
 protected:
  void SetUp() override {
    KillProgram(L"QuarnSQLMonitor.exe");
    folder_ = FreshFolder(L"gui monitor");
    DeleteFileW((folder_ + L"\\Logs\\" + kLog).c_str());
    CopyProgram(L"QuarnSQLMonitor.exe", folder_);
    CreateDirectoryW((folder_ + L"\\Logs").c_str(), nullptr);
  }
  void TearDown() override { EXPECT_EQ(CountProcesses(L"QuarnSQLMonitor.exe"), 0); }

  std::wstring LogPath() const { return folder_ + L"\\Logs\\" + kLog; }
  void Write(const wchar_t* name, const std::string& bytes) { WriteBytes(folder_ + L"\\Logs\\" + name, bytes); }

  // Starts the program and finds its window and list.
  void Start(Started& monitor) {
    ASSERT_TRUE(monitor.process);
    // The window exists a moment before its controls do.
    ASSERT_TRUE(WaitFor(
        [&] {
          window_ = FindProcessWindow(monitor.Id(), L"Quarn SQL Monitor");
          list_ = window_ ? FindWindowExW(window_, nullptr, L"ListBox", nullptr) : nullptr;
          bar_ = window_ ? FindWindowExW(window_, nullptr, STATUSCLASSNAMEW, nullptr) : nullptr;
          return list_ && bar_;
        },
        5000));
  }
  int Rows() const { return static_cast<int>(SendMessageW(list_, LB_GETCOUNT, 0, 0)); }
  bool ShowsRows(int n) const {
    return WaitFor([&] { return Rows() == n; }, 4000);
  }
  // The last row is in view.
  bool AtTheEnd() const {
    RECT rc{};
    GetClientRect(list_, &rc);
    const int height = static_cast<int>(SendMessageW(list_, LB_GETITEMHEIGHT, 0, 0));
    const int top = static_cast<int>(SendMessageW(list_, LB_GETTOPINDEX, 0, 0));
    return height > 0 && top + rc.bottom / height >= Rows();
  }

  static constexpr wchar_t kLog[] = L"FormataRichTextBoxServiceMonitor.INI";
  std::wstring folder_;
  HWND window_ = nullptr;
  HWND list_ = nullptr;
  HWND bar_ = nullptr;
};

// Four records as the monitor writes them into a new file: an empty first
// line, then a blue one with Portuguese letters, a red one, a bold black one
// and one whose message goes on for a second line.
const std::string kFourRecords = "\r\n" +
                                 Record(
                                     "Servi\xE7o iniciado: a\xE7\xE3o conclu\xED"
                                     "da",
                                     kCorAzul, false) +
                                 "\r\n" + Record("Erro 1053 - servi\xE7o sem resposta", kCorVermelha, false) + "\r\n" +
                                 Record("Atualiza\xE7\xE3o do QuarnSQLService", kCorPreta, true) + "\r\n" +
                                 Record("Falha ao baixar:", kCorVermelha, true) + "\r\n" +
                                 "Erro 12029 - a conex\xE3o foi recusada\r\n";

TEST_F(GuiMonitor, ShowsTheLogAndFollowsTheFileAsItComesAndGoes) {
  Started monitor(LaunchWithShow(folder_ + L"\\QuarnSQLMonitor.exe", SW_SHOWNORMAL));
  ASSERT_NO_FATAL_FAILURE(Start(monitor));
  EXPECT_TRUE(WaitFor([&] { return IsWindowVisible(window_) != FALSE; }, 3000));
  EXPECT_EQ(FindWindowW(nullptr, L"Quarn SQL Monitor"), window_);
  EXPECT_EQ(Rows(), 0);  // no log yet: an empty list

  Write(kLog, kFourRecords);
  EXPECT_TRUE(ShowsRows(5));

  // Deleted under it: the program does not hold the file, and shows nothing.
  ASSERT_TRUE(DeleteFileW(LogPath().c_str())) << GetLastError();
  EXPECT_TRUE(ShowsRows(0));
  EXPECT_TRUE(monitor.Running());

  // Written anew, then appended to.
  Write(kLog, "\r\n" + Record("um", kCorAzul, false) + "\r\n" + Record("dois", kCorPreta, false) + "\r\n");
  EXPECT_TRUE(ShowsRows(2));
  WriteBytes(LogPath(), Record("tr\xEAs", kCorVermelha, true) + "\r\n", OPEN_ALWAYS);
  EXPECT_TRUE(ShowsRows(3));

  // The program answers its window at once between refreshes.
  DWORD_PTR ignored = 0;
  EXPECT_NE(SendMessageTimeoutW(window_, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, &ignored), 0);
  EXPECT_TRUE(monitor.Running());
}

TEST_F(GuiMonitor, ALargeLogStaysResponsiveAndNewRecordsScrollIntoView) {
  std::string big = "\r\n";
  const int kRecords = 40000;  // about 3 MB
  for (int i = 0; i < kRecords; ++i)
    big += Record("Verifica\xE7\xE3o de rotina n\xBA " + std::to_string(i) +
                      " conclu\xED"
                      "da sem erros",
                  i % 3 == 0 ? kCorAzul : kCorPreta, i % 7 == 0) +
           "\r\n";
  Write(kLog, big);
  Started monitor(LaunchWithShow(folder_ + L"\\QuarnSQLMonitor.exe", SW_SHOWNORMAL));
  ASSERT_NO_FATAL_FAILURE(Start(monitor));
  ASSERT_TRUE(ShowsRows(kRecords));
  EXPECT_TRUE(AtTheEnd());

  // Appends keep the end in view, and the window keeps answering meanwhile.
  for (int n = 1; n <= 3; ++n) {
    WriteBytes(LogPath(), Record("novo " + std::to_string(n), kCorVermelha, true) + "\r\n", OPEN_ALWAYS);
    const ULONGLONG start = GetTickCount64();
    DWORD slowest = 0;
    ASSERT_TRUE(WaitFor(
        [&] {
          const ULONGLONG before = GetTickCount64();
          DWORD_PTR ignored = 0;
          SendMessageTimeoutW(window_, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored);
          slowest = std::max(slowest, static_cast<DWORD>(GetTickCount64() - before));
          return Rows() == kRecords + n;
        },
        5000))
        << GetTickCount64() - start;
    EXPECT_LT(slowest, 1000u);
    EXPECT_TRUE(AtTheEnd());
  }

  // Someone reading further up keeps their place when more arrives.
  SendMessageW(list_, LB_SETTOPINDEX, 100, 0);
  WriteBytes(LogPath(), Record("mais um", kCorPreta, false) + "\r\n", OPEN_ALWAYS);
  ASSERT_TRUE(ShowsRows(kRecords + 4));
  EXPECT_EQ(SendMessageW(list_, LB_GETTOPINDEX, 0, 0), 100);
}

TEST_F(GuiMonitor, TheStatusLineShowsTheVersionAndBothHeartbeats) {
  Write(L"VersaoCompletaServiceMonitor.ini",
        "Sistema Quarn SQL Service Monitor - vers\xE3o revisada: 1.0.134 de 30/11/2026 14:02:07\r\n");
  Write(L"QuarnSQLServiceMonitorExecuting.ini", "07/12/2026 05:58:36\r\n");
  Write(L"QuarnSQLServiceExecuting.ini", "07/12/2026 05:57:10\r\n");
  Started monitor(LaunchWithShow(folder_ + L"\\QuarnSQLMonitor.exe", SW_SHOWNORMAL));
  ASSERT_NO_FATAL_FAILURE(Start(monitor));

  const std::wstring version =
      L"Sistema Quarn SQL Service Monitor - vers\u00E3o revisada: 1.0.134 de 30/11/2026 14:02:07";
  // Too long for a narrow window: cut with an ellipsis, never mid-character.
  ASSERT_TRUE(SetWindowPos(window_, nullptr, 0, 0, 560, 400, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE));
  std::wstring cut;
  EXPECT_TRUE(WaitFor(
      [&] {
        cut = StatusPart(bar_, 0);
        return cut.size() > 10 && cut.back() == L'\u2026';
      },
      3000));
  EXPECT_EQ(version.compare(0, cut.size() - 1, cut, 0, cut.size() - 1), 0);
  // Wide enough, the whole line.
  ASSERT_TRUE(SetWindowPos(window_, nullptr, 0, 0, 1250, 500, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE));
  EXPECT_TRUE(WaitFor([&] { return StatusPart(bar_, 0) == version; }, 3000));
  std::wstring all;
  for (int part = 0; part < 4; ++part) all += StatusPart(bar_, part) + L"|";
  EXPECT_NE(all.find(L"07/12/2026 05:58:36"), std::wstring::npos);
  EXPECT_NE(all.find(L"07/12/2026 05:57:10"), std::wstring::npos);
  EXPECT_EQ(all.find(L"7.1"), std::wstring::npos);

  // Heartbeats move on and the GUI's own version appears once it is recorded.
  Write(L"QuarnSQLServiceExecuting.ini", "07/12/2026 06:27:10\r\n");
  Write(L"VersaoQuarnSqlMonitor.ini", "7.1\r\n");
  EXPECT_TRUE(WaitFor(
      [&] {
        all.clear();
        for (int part = 0; part < 4; ++part) all += StatusPart(bar_, part) + L"|";
        return all.find(L"06:27:10") != std::wstring::npos && all.find(L"7.1") != std::wstring::npos;
      },
      4000));
  EXPECT_EQ(all.find(L"05:57:10"), std::wstring::npos);

  // The status files are read, never held.
  for (const wchar_t* name : {L"VersaoCompletaServiceMonitor.ini", L"QuarnSQLServiceMonitorExecuting.ini",
                              L"QuarnSQLServiceExecuting.ini", L"VersaoQuarnSqlMonitor.ini"})
    EXPECT_TRUE(DeleteFileW((folder_ + L"\\Logs\\" + name).c_str())) << GetLastError();
  EXPECT_TRUE(monitor.Running());
}

TEST_F(GuiMonitor, StartedHiddenItRunsWithoutShowingItsWindow) {
  Write(kLog, kFourRecords);
  Started monitor(LaunchWithShow(folder_ + L"\\QuarnSQLMonitor.exe", SW_HIDE));
  ASSERT_NO_FATAL_FAILURE(Start(monitor));
  EXPECT_TRUE(ShowsRows(5));  // it reads the log all the same
  Sleep(1500);
  EXPECT_TRUE(monitor.Running());
  EXPECT_FALSE(IsWindowVisible(window_));
}

// ---------------------------------------------------------------------------
// What every shipped file asks of the loader

// Libraries Windows always takes from the system folder (its known DLLs, and
// the API sets). Any other name in an import table is looked for in the
// program's own folder first, before the program can say otherwise.
bool KnownSystemLibrary(std::string name) {
  for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  static const std::set<std::string> known = {
      "advapi32.dll", "clbcatq.dll",  "combase.dll", "comdlg32.dll", "coml2.dll",  "difxapi.dll", "gdi32.dll",
      "gdiplus.dll",  "imagehlp.dll", "imm32.dll",   "kernel32.dll", "msctf.dll",  "msvcrt.dll",  "normaliz.dll",
      "nsi.dll",      "ntdll.dll",    "ole32.dll",   "oleaut32.dll", "psapi.dll",  "rpcrt4.dll",  "sechost.dll",
      "setupapi.dll", "shcore.dll",   "shell32.dll", "shlwapi.dll",  "user32.dll", "wldap32.dll", "ws2_32.dll"};
  return known.count(name) != 0 || name.rfind("api-ms-win-", 0) == 0;
}

// The libraries named in a 64-bit program file's import table.
std::vector<std::string> ImportedLibraries(const std::string& pe) {
  std::vector<std::string> names;
  if (pe.size() < sizeof(IMAGE_DOS_HEADER)) return {"<not a program file>"};
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(pe.data());
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(pe.data() + dos->e_lfanew);
  const IMAGE_SECTION_HEADER* sections = IMAGE_FIRST_SECTION(nt);
  auto at = [&](DWORD rva) -> const char* {
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
      const IMAGE_SECTION_HEADER& s = sections[i];
      if (rva >= s.VirtualAddress && rva < s.VirtualAddress + std::max(s.SizeOfRawData, s.Misc.VirtualSize))
        return pe.data() + (rva - s.VirtualAddress + s.PointerToRawData);
    }
    return nullptr;
  };
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (dir.VirtualAddress == 0) return names;
  for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(at(dir.VirtualAddress)); d && d->Name; ++d)
    names.push_back(at(d->Name) ? at(d->Name) : "<bad name>");
  return names;
}

std::string Manifest(const std::wstring& file) {
  win::UniqueModule m(LoadLibraryExW(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
  HRSRC r = m ? FindResourceW(m.get(), MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24)) : nullptr;  // RT_MANIFEST
  HGLOBAL g = r ? LoadResource(m.get(), r) : nullptr;
  const char* p = g ? static_cast<const char*>(LockResource(g)) : nullptr;
  return p ? std::string(p, SizeofResource(m.get(), r)) : std::string();
}

TEST(ShippedFiles, ImportOnlyKnownSystemLibrariesAndProgramsCarryTheirManifest) {
  struct Shipped {
    const wchar_t* file;
    const char* level;  // requested execution level; null: a library or a stand-in
    bool windowed;
  };
  const Shipped shipped[] = {
      {L"InstaladorQuarnSQL.exe", "requireAdministrator", true},
      {L"QuarnSQLServiceMonitor.exe", "asInvoker", true},
      {L"QuarnSQLService.exe", "asInvoker", false},
      {L"QuarnSQLMonitor.exe", "asInvoker", true},
      {L"LoadWinSolvane.exe", "asInvoker", true},
      {L"AUNZIP32.DLL", nullptr, false},
      {L"AZIP32.DLL", nullptr, false},
      {L"NTsvc.ocx", nullptr, false},
      {L"MSCOMCTL.ocx", nullptr, false},
      {L"Comdlg32.ocx", nullptr, false},
      {L"MSINET.ocx", nullptr, false},
      {L"richtx32.ocx", nullptr, false},
      {L"MYSQL.EXE", nullptr, false},
      {L"MYSQLDUMP.EXE", nullptr, false},
  };
  for (const Shipped& s : shipped) {
    const std::wstring path = BinFolder() + L"\\" + s.file;
    SCOPED_TRACE(win::Narrow(s.file));
    const auto imports = ImportedLibraries(ReadFileBytes(path));
    EXPECT_FALSE(imports.empty());
    for (const std::string& lib : imports) EXPECT_TRUE(KnownSystemLibrary(lib)) << lib;
    if (!s.level) continue;
    const std::string m = Manifest(path);
    EXPECT_NE(m.find(std::string("requestedExecutionLevel level=\"") + s.level + "\""), std::string::npos) << m;
    for (const char* os : {"35138b9a-5d96-4fbd-8e2d-a2440225f93a", "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",
                           "1f676c76-80e1-4239-95bb-83d0f6d0da78", "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"})
      EXPECT_NE(m.find(os), std::string::npos) << os;
    EXPECT_NE(m.find(">true</dpiAware>"), std::string::npos);
    EXPECT_EQ(m.find("Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"") != std::string::npos, s.windowed);
  }
}

}  // namespace
}  // namespace quarn
