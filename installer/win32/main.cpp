// InstaladorQuarnSQL.exe: the installer's window and its ports.
#include <windows.h>
#include <shellapi.h>

#include <cmath>
#include <cstdio>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/single_instance.h"
#include "common/win32/event_source.h"
#include "common/win32/instance_object.h"
#include "common/win32/handles.h"
#include "common/win32/library_search.h"
#include "common/win32/service_manager_win32.h"
#include "common/win32/win_event_loop.h"
#include "common/win32/win_platform.h"
#include "installer/frm_instal.h"
#include "installer/log_view.h"
#include "installer/win32/folder_security.h"
#include "installer/win32/reg_server.h"

using namespace quarn;
using namespace quarn::win;

namespace {

constexpr wchar_t kWindowClass[] = L"InstaladorQuarnSQL.frmInstal";
constexpr wchar_t kPanelClass[] = L"InstaladorQuarnSQL.Panel";
constexpr COLORREF kPanelColour = 0x00530118;
constexpr COLORREF kWhite = 0x00FFFFFF;
constexpr COLORREF kLightGrey = 0x00E0E0E0;
constexpr COLORREF kLightCyan = 0x00FFFF80;
constexpr COLORREF kDarkGrey = 0x00404040;
constexpr COLORREF kRed = 0x000000FF;
constexpr COLORREF kBlue = 0x00FF0000;
constexpr int kIdFechar = 200;

Win32EventLoop* g_loop = nullptr;
FrmInstal* g_form = nullptr;

// Panels: picture boxes that paint their own colour and pass their children's
// notifications and clicks up to the window.
struct PanelData {
  COLORREF background;
  HBRUSH brush;
  std::map<HWND, COLORREF> textColours;
  int clickId = 0;
};

LRESULT CALLBACK PanelProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* d = reinterpret_cast<PanelData*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  switch (msg) {
    case WM_ERASEBKGND:
      if (d) {
        RECT r;
        GetClientRect(hwnd, &r);
        FillRect(reinterpret_cast<HDC>(wp), &r, d->brush);
        return 1;
      }
      break;
    case WM_CTLCOLORSTATIC:
      if (d) {
        HDC dc = reinterpret_cast<HDC>(wp);
        auto it = d->textColours.find(reinterpret_cast<HWND>(lp));
        SetTextColor(dc, it == d->textColours.end() ? kWhite : it->second);
        SetBkColor(dc, d->background);
        return reinterpret_cast<LRESULT>(d->brush);
      }
      break;
    case WM_COMMAND:
      if (d && d->clickId && HIWORD(wp) == STN_CLICKED) {
        return SendMessageW(GetAncestor(hwnd, GA_ROOT), WM_COMMAND, MAKEWPARAM(d->clickId, 0), 0);
      }
      return SendMessageW(GetParent(hwnd), msg, wp, lp);
    case WM_LBUTTONUP:
      if (d && d->clickId) return SendMessageW(GetAncestor(hwnd, GA_ROOT), WM_COMMAND, MAKEWPARAM(d->clickId, 0), 0);
      break;
    case WM_NCDESTROY:
      if (d) {
        DeleteObject(d->brush);
        delete d;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
      }
      break;
    default:
      break;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

bool FontExists(HDC dc, const wchar_t* face) {
  LOGFONTW lf{};
  lf.lfCharSet = DEFAULT_CHARSET;
  lstrcpynW(lf.lfFaceName, face, LF_FACESIZE);
  bool found = false;
  EnumFontFamiliesExW(
      dc, &lf, [](const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM p) -> int {
        *reinterpret_cast<bool*>(p) = true;
        return 0;
      },
      reinterpret_cast<LPARAM>(&found), 0);
  return found;
}

// The designed face, or one with the same metrics where it is not installed,
// so that the captions fit the places the layout gives them.
const wchar_t* Face(const wchar_t* designed, const wchar_t* sameMetrics) {
  HDC dc = GetDC(nullptr);
  const wchar_t* face = FontExists(dc, designed) || !FontExists(dc, sameMetrics) ? designed : sameMetrics;
  ReleaseDC(nullptr, dc);
  return face;
}

HFONT MakeFont(const wchar_t* face, double points, bool bold, bool strike, bool underline, int dpi) {
  return CreateFontW(-static_cast<int>(std::lround(points * dpi / 72.0)), 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE,
                     underline, strike, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                     DEFAULT_PITCH | FF_SWISS, face);
}

class Win32InstallerView final : public InstallerView {
 public:
  Win32InstallerView(HINSTANCE inst, HWND window) : window_(window) {
    HDC dc = GetDC(window);
    dpi_ = GetDeviceCaps(dc, LOGPIXELSX);
    ReleaseDC(window, dc);
    const wchar_t* calibri = Face(L"Calibri", L"Carlito");
    titleFont_ = MakeFont(calibri, 20.25, true, false, false, dpi_);
    stepFont_ = MakeFont(calibri, 14.25, false, false, false, dpi_);
    doneFont_ = MakeFont(calibri, 14.25, false, true, false, dpi_);
    versionFont_ = MakeFont(L"Segoe UI", 6.75, false, false, false, dpi_);

    RECT frame{0, 0, 0, 0};
    AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrW(window, GWL_STYLE)), FALSE, 0);
    const InstallerLayout l = LayoutFor(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), dpi_,
                                        frame.right - frame.left, frame.bottom - frame.top);
    SetWindowPos(window, nullptr, l.windowX, l.windowY, l.windowW, l.windowH, SWP_NOZORDER | SWP_NOACTIVATE);
    RECT client;
    GetClientRect(window, &client);

    pctFora_ = Panel(inst, window, 0, 0, client.right, client.bottom, kPanelColour, true);
    pctDentro_ = Panel(inst, pctFora_, l.panelX, l.panelY, l.panelW, l.panelH, kPanelColour, true);
    Label(inst, pctDentro_, L"Aguarde enquanto instalamos o Quarn SQL Server...", 960, 480, 8685, 495, titleFont_,
          kWhite);
    for (int i = 0; i < 6; ++i)
      lblStatus_[i] = Label(inst, pctDentro_, L"", 1200, 1080 + 360 * i, 9000, 345, stepFont_, kLightGrey);
    gifLoadWin_ = CreateWindowExW(0, kPanelClass, L"", WS_CHILD | WS_CLIPCHILDREN, T(120), T(240), T(735), T(735),
                                  pctDentro_, nullptr, inst, nullptr);
    SetWindowLongPtrW(gifLoadWin_, GWLP_USERDATA,
                      reinterpret_cast<LONG_PTR>(new PanelData{kWhite, CreateSolidBrush(kWhite), {}, 0}));
    EnableWindow(gifLoadWin_, FALSE);  // takes no mouse or keyboard input
    lblVersao1_ = Label(inst, pctDentro_, L"", 960, 3600, 6000, 240, versionFont_, kWhite);

    pctDentroSuces_ = Panel(inst, pctFora_, l.panelX, l.panelY, l.panelW, l.panelH, kPanelColour, false);
    Label(inst, pctDentroSuces_, L"Quarn SQL Server instalado com sucesso.", 960, 480, 6885, 495, titleFont_, kWhite);
    lblVersao2_ = Label(inst, pctDentroSuces_, L"", 960, 3600, 6000, 240, versionFont_, kWhite);
    pctFechar_ = Panel(inst, pctDentroSuces_, T(9360), T(3240), T(1245), T(555), kBlue, true, kIdFechar);
    HWND fechar = Label(inst, pctFechar_, L"Finalizar", 120, 120, 960, 345, stepFont_, kLightGrey);
    SetWindowLongPtrW(fechar, GWL_STYLE, GetWindowLongPtrW(fechar, GWL_STYLE) | SS_NOTIFY);
    SetClassLongPtrW(pctFechar_, GCLP_HCURSOR, reinterpret_cast<LONG_PTR>(LoadCursorW(nullptr, IDC_HAND)));

    // The failure panel: the success panel's place, look and button, with what failed.
    pctDentroFalha_ = Panel(inst, pctFora_, l.panelX, l.panelY, l.panelW, l.panelH, kPanelColour, false);
    Label(inst, pctDentroFalha_, Widen(kFailureTitle).c_str(), 960, 480, 9600, 495, titleFont_, kWhite);
    for (int i = 0; i < 5; ++i)
      lblFalha_[i] = Label(inst, pctDentroFalha_, L"", 1200, 1080 + 360 * i, 9000, 345, stepFont_, kLightGrey);
    lblVersao3_ = Label(inst, pctDentroFalha_, L"", 960, 3600, 6000, 240, versionFont_, kWhite);
    HWND fecharFalha = Panel(inst, pctDentroFalha_, T(9360), T(3240), T(1245), T(555), kBlue, true, kIdFechar);
    HWND lbl = Label(inst, fecharFalha, L"Finalizar", 120, 120, 960, 345, stepFont_, kLightGrey);
    SetWindowLongPtrW(lbl, GWL_STYLE, GetWindowLongPtrW(lbl, GWL_STYLE) | SS_NOTIFY);
  }
  ~Win32InstallerView() override {
    for (HFONT f : {titleFont_, stepFont_, doneFont_, versionFont_}) DeleteObject(f);
  }

  void SetVersionLine(const std::string& text) override {
    SetWindowTextW(lblVersao1_, Widen(text).c_str());
    SetWindowTextW(lblVersao2_, Widen(text).c_str());
    SetWindowTextW(lblVersao3_, Widen(text).c_str());
  }
  void SetStep(int index, const std::string& caption, StepLook look) override {
    HWND l = lblStatus_[index];
    auto* d = reinterpret_cast<PanelData*>(GetWindowLongPtrW(pctDentro_, GWLP_USERDATA));
    COLORREF c = kLightGrey;
    if (look == StepLook::Current) c = kLightCyan;
    if (look == StepLook::Done) c = kDarkGrey;
    if (look == StepLook::Failed) c = kRed;
    d->textColours[l] = c;
    const bool struck = look == StepLook::Done || look == StepLook::Failed;
    SendMessageW(l, WM_SETFONT, reinterpret_cast<WPARAM>(struck ? doneFont_ : stepFont_), FALSE);
    SetWindowTextW(l, Widen(caption).c_str());
    InvalidateRect(l, nullptr, TRUE);
  }
  void ShowWindow() override {
    ::ShowWindow(window_, SW_SHOW);
    UpdateWindow(window_);
  }
  void ShowSuccessPanel() override {
    ::ShowWindow(pctDentro_, SW_HIDE);
    ::ShowWindow(pctDentroSuces_, SW_SHOW);
    SetWindowPos(pctDentroSuces_, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  }
  void ShowFailurePanel(const std::vector<std::string>& failures) override {
    for (size_t i = 0; i < 5; ++i) SetWindowTextW(lblFalha_[i], i < failures.size() ? Widen(failures[i]).c_str() : L"");
    ::ShowWindow(pctDentro_, SW_HIDE);
    ::ShowWindow(pctDentroFalha_, SW_SHOW);
    SetWindowPos(pctDentroFalha_, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  }
  void CloseWindow() override {
    DestroyWindow(window_);
    if (g_loop) g_loop->EndProgram();
  }
  void ShowLoadHost(bool visible) override { ::ShowWindow(gifLoadWin_, visible ? SW_SHOW : SW_HIDE); }
  bool AdoptWindow(const std::string& title) override {
    HWND found = FindWindowW(nullptr, Widen(title).c_str());
    if (!found) return false;
    RECT r;
    GetClientRect(gifLoadWin_, &r);
    // A child now: no caption or frame of its own inside the picture box.
    LONG_PTR style = GetWindowLongPtrW(found, GWL_STYLE);
    style = (style & ~(WS_POPUP | WS_CAPTION | WS_THICKFRAME)) | WS_CHILD;
    SetWindowLongPtrW(found, GWL_STYLE, style);
    SetParent(found, gifLoadWin_);
    SetWindowPos(found, HWND_TOP, r.left, r.top, r.right, r.bottom, 0);
    ::ShowWindow(found, SW_SHOWNA);  // it was started hidden
    return true;
  }
  void MessageBoxOk(const std::string& text) override {
    MessageBoxW(window_, Widen(text).c_str(), Widen(kInstallerTitle).c_str(), MB_OK);
  }

 private:
  int T(int twips) const { return Twips(twips, dpi_); }
  HWND Panel(HINSTANCE inst, HWND parent, int x, int y, int w, int h, COLORREF colour, bool visible, int clickId = 0) {
    HWND p = CreateWindowExW(0, kPanelClass, L"", WS_CHILD | WS_CLIPCHILDREN | (visible ? WS_VISIBLE : 0), x, y, w, h,
                             parent, nullptr, inst, nullptr);
    SetWindowLongPtrW(p, GWLP_USERDATA,
                      reinterpret_cast<LONG_PTR>(new PanelData{colour, CreateSolidBrush(colour), {}, clickId}));
    return p;
  }
  HWND Label(HINSTANCE inst, HWND parent, const wchar_t* text, int x, int y, int w, int h, HFONT font,
             COLORREF colour) {
    HWND l = CreateWindowExW(0, L"STATIC", text, WS_CHILD | WS_VISIBLE | SS_LEFTNOWORDWRAP | SS_NOPREFIX, T(x), T(y), T(w), T(h),
                             parent, nullptr, inst, nullptr);
    SendMessageW(l, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    auto* d = reinterpret_cast<PanelData*>(GetWindowLongPtrW(parent, GWLP_USERDATA));
    if (d) d->textColours[l] = colour;
    return l;
  }

  HWND window_;
  int dpi_ = 96;
  HFONT titleFont_, stepFont_, doneFont_, versionFont_;
  HWND pctFora_ = nullptr, pctDentro_ = nullptr, pctDentroSuces_ = nullptr, pctFechar_ = nullptr;
  HWND lblStatus_[6] = {};
  HWND gifLoadWin_ = nullptr, lblVersao1_ = nullptr, lblVersao2_ = nullptr;
  HWND pctDentroFalha_ = nullptr, lblFalha_[5] = {}, lblVersao3_ = nullptr;
};

// An uninstall run from the list of installed programs: no window, only the
// closing message.
class UninstallView final : public InstallerView {
 public:
  void SetVersionLine(const std::string&) override {}
  void SetStep(int, const std::string&, StepLook) override {}
  void ShowWindow() override {}
  void ShowSuccessPanel() override {}
  void ShowFailurePanel(const std::vector<std::string>&) override {}
  void CloseWindow() override {}
  void ShowLoadHost(bool) override {}
  bool AdoptWindow(const std::string&) override { return false; }
  void MessageBoxOk(const std::string& text) override {
    MessageBoxW(nullptr, Widen(text).c_str(), Widen(kInstallerTitle).c_str(), MB_OK);
  }
};

class Win32PayloadResources final : public PayloadResources {
 public:
  std::string Read(const std::string& name) override {
    HRSRC r = FindResourceExW(nullptr, L"CUSTOM", Widen(name).c_str(),
                              MAKELANGID(LANG_PORTUGUESE, SUBLANG_PORTUGUESE_BRAZILIAN));
    if (!r) throw Win32Error(GetLastError());
    HGLOBAL g = LoadResource(nullptr, r);
    const void* p = g ? LockResource(g) : nullptr;
    if (!p) throw Win32Error(GetLastError());
    return std::string(static_cast<const char*>(p), SizeofResource(nullptr, r));
  }
};

// Links (junctions, symbolic links) are removed themselves, never entered.
void RemoveTreeW(const std::wstring& folder) {
  const DWORD attrs = GetFileAttributesW(folder.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES) return;
  if (!(attrs & FILE_ATTRIBUTE_REPARSE_POINT)) {
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((folder + L"\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = folder + L"\\" + name;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          RemoveTreeW(path);
        } else {
          SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
          DeleteFileW(path.c_str());
        }
      } while (FindNextFileW(h, &fd));
      FindClose(h);
    }
  }
  RemoveDirectoryW(folder.c_str());
}

struct Win32FileHold final : FileHold {
  UniqueFile file;
};

class Win32InstallerPlatform final : public InstallerPlatform {
 public:
  bool PrevInstance() override {
    return instance_.AnotherCopyRuns(L"Global\\InstaladorQuarnSQL.Instance");
  }
  void EndProgram() override {
    if (g_loop) g_loop->EndProgram();
  }
  void StartHidden(const std::string& path) override {
    std::wstring cmd = L"\"" + Widen(path) + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(Widen(path).c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
      throw Win32Error(GetLastError());
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  bool StartWritten(const std::string& path, const std::string& bytes) override {
    // From this comparison until the program has started, nobody can write,
    // replace or delete the file.
    const auto held = HoldUnchanged(path, bytes);
    if (!held) return false;
    StartHidden(path);
    return true;
  }
  std::unique_ptr<FileHold> HoldUnchanged(const std::string& path, const std::string& bytes) override {
    // Read access, read sharing only: the program can still be started from it.
    auto held = std::make_unique<Win32FileHold>();
    held->file = UniqueFile(CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!held->file) return nullptr;
    std::string onDisk;
    char buf[64 * 1024];
    DWORD got = 0;
    while (onDisk.size() <= bytes.size() && ReadFile(held->file.get(), buf, sizeof buf, &got, nullptr) && got)
      onDisk.append(buf, got);
    if (onDisk != bytes) return nullptr;
    return held;
  }
  bool KeepsPermissions(const std::string& folder) override { return VolumeKeepsPermissions(Widen(folder)); }
  std::vector<std::string> ProtectFolder(const std::string& folder, bool tree) override {
    std::vector<std::wstring> links;
    if (const DWORD e = win::ProtectFolder(Widen(folder), tree, &links)) throw Win32Error(e);
    std::vector<std::string> out;
    for (const auto& l : links) out.push_back(Narrow(l));
    return out;
  }
  FolderFacts InspectFolder(const std::string& path) override { return win::InspectFolder(Widen(path)); }
  void MoveAside(const std::string& path, const std::string& aside) override {
    if (const DWORD e = win::MoveAside(Widen(path), Widen(aside))) throw Win32Error(e);
  }
  std::string InstallingAccount() override {
    static const std::string account = win::InstallingAccount();
    return account;
  }
  bool ProtectedAsLeft(const std::string& path) override {
    return win::ProtectedAsLeft(Widen(path), InstallingAccount());
  }
  void GrantModify(const std::string& folder, const std::string& account) override {
    if (const DWORD e = win::GrantModify(Widen(folder), Widen(account))) throw Win32Error(e);
  }
  void ProtectKey(const std::string& key) override {
    if (const DWORD e = win::ProtectSuiteKey(Widen(key))) throw Win32Error(e);
  }
  std::string RegisteredLocation() override {
    wchar_t buf[MAX_PATH + 1] = {};
    DWORD size = sizeof buf - sizeof(wchar_t);
    const std::wstring key = Widen(kUninstallKey);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"InstallLocation", RRF_RT_REG_SZ,
                     nullptr, buf, &size) != ERROR_SUCCESS)
      return {};
    return Narrow(buf);
  }
  bool VerificaSeWindowsNT() override {
    OSVERSIONINFOA v{};
    v.dwOSVersionInfoSize = sizeof v;  // 148 bytes
    return GetVersionExA(&v) && v.dwPlatformId == VER_PLATFORM_WIN32_NT;
  }
  bool fVBRegServer(const std::string& path, bool blnRegister) override {
    return reg_.fVBRegServer(path, blnRegister);
  }
  bool RegistraDesinstalacao(const UninstallEntry& e) override {
    HKEY key = nullptr;
    const std::wstring path = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + Widen(e.key);
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr) != ERROR_SUCCESS)
      return false;
    bool ok = true;
    auto text = [&](const wchar_t* name, const std::string& value) {
      const std::wstring v = Widen(value);
      ok &= RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()),
                           static_cast<DWORD>((v.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    };
    auto number = [&](const wchar_t* name, DWORD value) {
      ok &= RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value) ==
            ERROR_SUCCESS;
    };
    text(L"DisplayName", e.displayName);
    text(L"DisplayVersion", e.displayVersion);
    text(L"Publisher", e.publisher);
    text(L"InstallLocation", e.installLocation);
    text(L"DisplayIcon", e.displayIcon);
    text(L"UninstallString", e.uninstallString);
    text(L"QuietUninstallString", e.quietUninstallString);
    number(L"EstimatedSize", e.estimatedSizeKb);
    number(L"NoModify", 1);
    number(L"NoRepair", 1);
    RegCloseKey(key);
    return ok;
  }
  bool RegistraFonteEventos(const std::string& monitorFile) override {
    return RegisterMonitorEventSource(Widen(monitorFile)) == ERROR_SUCCESS;
  }
  bool RemoveChave(const std::string& key) override {
    const std::wstring k = Widen(key);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, k.c_str());
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, k.c_str(), KEY_WOW64_64KEY, 0);
    HKEY open = nullptr;
    const LSTATUS rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, k.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &open);
    if (rc == ERROR_SUCCESS) RegCloseKey(open);
    return rc == ERROR_FILE_NOT_FOUND;
  }
  bool RemoveTree(const std::string& folder) override {
    RemoveTreeW(Widen(folder));
    return GetFileAttributesW(Widen(folder).c_str()) == INVALID_FILE_ATTRIBUTES;
  }
  bool RemoveSelf(const std::string& path) override {
    // A running program's file can be moved on its volume, not deleted: out of
    // the suite folder into Temp, deleted there at the next restart.
    const std::wstring self = Widen(path);
    wchar_t temp[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
    const std::wstring moved = std::wstring(temp, n) + L"InstaladorQuarnSQL-" + std::to_wstring(GetCurrentProcessId()) +
                               L"-" + std::to_wstring(GetTickCount64()) + L".exe";
    if (n && MoveFileExW(self.c_str(), moved.c_str(), MOVEFILE_REPLACE_EXISTING)) {
      MoveFileExW(moved.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
      return true;
    }
    // Temp on another volume: the file stays where it is until the restart deletes it.
    MoveFileExW(self.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    return GetFileAttributesW(self.c_str()) == INVALID_FILE_ATTRIBUTES;
  }

 private:
  InstanceObject instance_;
  ClssRegServer reg_;
};

// A failure the window procedure caught; the program's entry reports it.
std::string g_fatal;

void EndWithFailure(std::string text) {
  if (g_fatal.empty()) g_fatal = std::move(text);
  if (g_loop) g_loop->EndProgram();
}

LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  try {
    switch (msg) {
      case WM_TIMER:
        if (g_loop && g_loop->OnTimerMessage(wp)) return 0;
        break;
      case WM_KEYDOWN:
        if (g_form) g_form->Form_KeyDown(static_cast<int>(wp));
        return 0;
      case WM_COMMAND:
        if (LOWORD(wp) == kIdFechar && g_form) {
          g_form->pctFechar_Click();
          return 0;
        }
        break;
      case WM_CLOSE:
        if (g_loop) g_loop->EndProgram();
        return 0;
      default:
        break;
    }
  } catch (const ProgramEnd&) {
    return 0;
  } catch (const VbError& e) {
    // Nothing may cross DispatchMessageW: it would end the process unreported.
    EndWithFailure(e.Description());
    return 0;
  } catch (const std::exception& e) {
    EndWithFailure(std::string("Erro interno: ") + e.what());
    return 0;
  } catch (...) {
    EndWithFailure("Erro interno");
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
  LimitLibrarySearchToSystemFolder();
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wc.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
  wc.lpszClassName = kWindowClass;
  RegisterClassExW(&wc);
  WNDCLASSEXW pc{};
  pc.cbSize = sizeof pc;
  pc.lpfnWndProc = PanelProc;
  pc.hInstance = instance;
  pc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  pc.lpszClassName = kPanelClass;
  RegisterClassExW(&pc);

  // The switches; the log's default place is the Temp folder of whoever runs it.
  std::vector<std::string> args;
  int argc = 0;
  if (LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc)) {
    for (int i = 1; i < argc; ++i) args.push_back(Narrow(argv[i]));
    LocalFree(argv);
  }
  wchar_t temp[MAX_PATH + 1];
  const DWORD tempLen = GetTempPathW(MAX_PATH + 1, temp);
  const CommandLine cl = ParseCommandLine(args, JoinPath(Narrow(std::wstring(temp, tempLen)), kDefaultLogName));

  Win32FileSystem fs;
  Win32Clock clock;
  Win32DateFormat dates;
  AcpCodec codec;
  if (!cl.ok) {
    if (cl.quiet) LogView(fs, clock, dates, codec, cl.logPath).MessageBoxOk(cl.error);
    else MessageBoxW(nullptr, Widen(cl.error).c_str(), Widen(kInstallerTitle).c_str(), MB_OK | MB_ICONERROR);
    return kExitBadCommandLine;
  }

  // Only an installation with a person watching has a window on the screen; the
  // others keep a message-only one for their timers.
  const bool windowed = !cl.quiet && !cl.uninstall;
  HWND hwnd = windowed ? CreateWindowExW(0, kWindowClass, Widen(kInstallerTitle).c_str(),
                                         WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 0, 0, 800, 300, nullptr, nullptr,
                                         instance, nullptr)
                       : CreateWindowExW(0, kWindowClass, Widen(kInstallerTitle).c_str(), 0, 0, 0, 0, 0, HWND_MESSAGE,
                                         nullptr, instance, nullptr);
  if (!hwnd) return kExitUnexpected;

  Win32EventLoop loop(hwnd);
  std::unique_ptr<InstallerView> view;
  if (cl.quiet) view = std::make_unique<LogView>(fs, clock, dates, codec, cl.logPath);
  else if (cl.uninstall) view = std::make_unique<UninstallView>();
  else view = std::make_unique<Win32InstallerView>(instance, hwnd);
  Win32PayloadResources resources;
  Win32InstallerPlatform platform;
  Win32ServiceManager scm;
  InstallerServiceControl control(scm);
  Win32Processes processes;
  FechaExe fecha(processes);
  InstallerInfo info;
  ModulePath(info.exeFolder, info.exeName);
  info.quiet = cl.quiet;
  FrmInstal form(InstallerPorts{fs, clock, dates, loop, *view, resources, platform, control, fecha}, info);
  g_loop = &loop;
  g_form = windowed ? &form : nullptr;

  const ULONGLONG started = GetTickCount64();
  int code = kExitOk;
  try {
    if (cl.uninstall) {
      form.Desinstalar(cl.purge);
    } else if (form.Form_Load() && windowed) {
      loop.Run();
    }
    code = form.ExitCode();
  } catch (const ProgramEnd&) {
    // Esc, or the window closed: the installer ends at once.
    code = form.ExitCode();
  } catch (const VbError& e) {
    g_fatal = e.Description();
  } catch (const std::exception& e) {
    g_fatal = std::string("Erro interno: ") + e.what();
  } catch (...) {
    g_fatal = "Erro interno";
  }
  if (!g_fatal.empty()) {
    if (windowed) MessageBoxW(hwnd, Widen(g_fatal).c_str(), Widen(kInstallerTitle).c_str(), MB_OK | MB_ICONERROR);
    else view->MessageBoxOk(g_fatal);
    code = kExitUnexpected;
  }
  char took[32];
  snprintf(took, sizeof took, "%.1f", (GetTickCount64() - started) / 1000.0);
  view->Note("Código de saída: " + std::to_string(code) + " (" + took + " s)");
  g_form = nullptr;
  g_loop = nullptr;
  return code;
}
