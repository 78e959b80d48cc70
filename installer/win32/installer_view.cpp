// The installer's window: its panels, captions and fonts as the design lays
// them out, and the windowless views of an uninstall.
#include "installer/win32/installer_view.h"

#include <cmath>
#include <map>

#include "common/win32/handles.h"
#include "common/win32/win_platform.h"

namespace quarn::win {

namespace {

constexpr wchar_t kPanelClass[] = L"InstaladorQuarnSQL.Panel";
constexpr COLORREF kPanelColour = 0x00530118;
constexpr COLORREF kWhite = 0x00FFFFFF;
constexpr COLORREF kLightGrey = 0x00E0E0E0;
constexpr COLORREF kLightCyan = 0x00FFFF80;
constexpr COLORREF kDarkGrey = 0x00404040;
constexpr COLORREF kRed = 0x000000FF;
constexpr COLORREF kBlue = 0x00FF0000;

// Panels: picture boxes that paint their own colour and pass their children's
// notifications and clicks up to the window.
struct PanelData {
  COLORREF background;
  UniqueBrush brush;
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
        FillRect(reinterpret_cast<HDC>(wp), &r, d->brush.get());
        return 1;
      }
      break;
    case WM_CTLCOLORSTATIC:
      if (d) {
        HDC dc = reinterpret_cast<HDC>(wp);
        auto it = d->textColours.find(reinterpret_cast<HWND>(lp));
        SetTextColor(dc, it == d->textColours.end() ? kWhite : it->second);
        SetBkColor(dc, d->background);
        return reinterpret_cast<LRESULT>(d->brush.get());
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
        delete d;  // and its brush
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
      dc, &lf,
      [](const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM p) -> int {
        *reinterpret_cast<bool*>(p) = true;
        return 0;
      },
      reinterpret_cast<LPARAM>(&found), 0);
  return found;
}

// The designed face, or one with the same metrics where it is not installed,
// so that the captions fit the places the layout gives them.
const wchar_t* Face(const wchar_t* designed, const wchar_t* sameMetrics) {
  const WindowDc screen(nullptr);
  return FontExists(screen.get(), designed) || !FontExists(screen.get(), sameMetrics) ? designed : sameMetrics;
}

HFONT MakeFont(const wchar_t* face, double points, bool bold, bool strike, bool underline, int dpi) {
  return CreateFontW(-static_cast<int>(std::lround(points * dpi / 72.0)), 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE,
                     underline, strike, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                     DEFAULT_PITCH | FF_SWISS, face);
}

class Win32InstallerView final : public InstallerView {
 public:
  Win32InstallerView(HINSTANCE inst, HWND window, Win32EventLoop& loop) : window_(window), loop_(loop) {
    {
      const WindowDc dc(window);
      dpi_ = GetDeviceCaps(dc.get(), LOGPIXELSX);
    }
    const wchar_t* calibri = Face(L"Calibri", L"Carlito");
    titleFont_.reset(MakeFont(calibri, 20.25, true, false, false, dpi_));
    stepFont_.reset(MakeFont(calibri, 14.25, false, false, false, dpi_));
    doneFont_.reset(MakeFont(calibri, 14.25, false, true, false, dpi_));
    versionFont_.reset(MakeFont(L"Segoe UI", 6.75, false, false, false, dpi_));
    HFONT titleFont = titleFont_.get(), stepFont = stepFont_.get(), versionFont = versionFont_.get();

    RECT frame{0, 0, 0, 0};
    AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrW(window, GWL_STYLE)), FALSE, 0);
    const InstallerLayout l = LayoutFor(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), dpi_,
                                        frame.right - frame.left, frame.bottom - frame.top);
    SetWindowPos(window, nullptr, l.windowX, l.windowY, l.windowW, l.windowH, SWP_NOZORDER | SWP_NOACTIVATE);
    RECT client;
    GetClientRect(window, &client);

    pctFora_ = Panel(inst, window, 0, 0, client.right, client.bottom, kPanelColour, true);
    pctDentro_ = Panel(inst, pctFora_, l.panelX, l.panelY, l.panelW, l.panelH, kPanelColour, true);
    Label(inst, pctDentro_, L"Aguarde enquanto instalamos o Quarn SQL Server...", 960, 480, 8685, 495, titleFont,
          kWhite);
    for (int i = 0; i < 6; ++i)
      lblStatus_[i] = Label(inst, pctDentro_, L"", 1200, 1080 + 360 * i, 9000, 345, stepFont, kLightGrey);
    gifLoadWin_ = CreateWindowExW(0, kPanelClass, L"", WS_CHILD | WS_CLIPCHILDREN, T(120), T(240), T(735), T(735),
                                  pctDentro_, nullptr, inst, nullptr);
    SetWindowLongPtrW(gifLoadWin_, GWLP_USERDATA,
                      reinterpret_cast<LONG_PTR>(new PanelData{kWhite, UniqueBrush(CreateSolidBrush(kWhite)), {}, 0}));
    EnableWindow(gifLoadWin_, FALSE);  // takes no mouse or keyboard input
    lblVersao1_ = Label(inst, pctDentro_, L"", 960, 3600, 6000, 240, versionFont, kWhite);

    pctDentroSuces_ = Panel(inst, pctFora_, l.panelX, l.panelY, l.panelW, l.panelH, kPanelColour, false);
    Label(inst, pctDentroSuces_, L"Quarn SQL Server instalado com sucesso.", 960, 480, 6885, 495, titleFont, kWhite);
    lblVersao2_ = Label(inst, pctDentroSuces_, L"", 960, 3600, 6000, 240, versionFont, kWhite);
    pctFechar_ = Panel(inst, pctDentroSuces_, T(9360), T(3240), T(1245), T(555), kBlue, true, kIdFechar);
    HWND fechar = Label(inst, pctFechar_, L"Finalizar", 120, 120, 960, 345, stepFont, kLightGrey);
    SetWindowLongPtrW(fechar, GWL_STYLE, GetWindowLongPtrW(fechar, GWL_STYLE) | SS_NOTIFY);
    SetClassLongPtrW(pctFechar_, GCLP_HCURSOR, reinterpret_cast<LONG_PTR>(LoadCursorW(nullptr, IDC_HAND)));

    // The failure panel: the success panel's place, look and button, with what failed.
    pctDentroFalha_ = Panel(inst, pctFora_, l.panelX, l.panelY, l.panelW, l.panelH, kPanelColour, false);
    Label(inst, pctDentroFalha_, Widen(kFailureTitle).c_str(), 960, 480, 9600, 495, titleFont, kWhite);
    for (int i = 0; i < 5; ++i)
      lblFalha_[i] = Label(inst, pctDentroFalha_, L"", 1200, 1080 + 360 * i, 9000, 345, stepFont, kLightGrey);
    lblVersao3_ = Label(inst, pctDentroFalha_, L"", 960, 3600, 6000, 240, versionFont, kWhite);
    HWND fecharFalha = Panel(inst, pctDentroFalha_, T(9360), T(3240), T(1245), T(555), kBlue, true, kIdFechar);
    HWND lbl = Label(inst, fecharFalha, L"Finalizar", 120, 120, 960, 345, stepFont, kLightGrey);
    SetWindowLongPtrW(lbl, GWL_STYLE, GetWindowLongPtrW(lbl, GWL_STYLE) | SS_NOTIFY);
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
    SendMessageW(l, WM_SETFONT, reinterpret_cast<WPARAM>(struck ? doneFont_.get() : stepFont_.get()), FALSE);
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
    loop_.EndProgram();
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
    SetWindowLongPtrW(
        p, GWLP_USERDATA,
        reinterpret_cast<LONG_PTR>(new PanelData{colour, UniqueBrush(CreateSolidBrush(colour)), {}, clickId}));
    return p;
  }
  HWND Label(HINSTANCE inst, HWND parent, const wchar_t* text, int x, int y, int w, int h, HFONT font,
             COLORREF colour) {
    HWND l = CreateWindowExW(0, L"STATIC", text, WS_CHILD | WS_VISIBLE | SS_LEFTNOWORDWRAP | SS_NOPREFIX, T(x), T(y),
                             T(w), T(h), parent, nullptr, inst, nullptr);
    SendMessageW(l, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    auto* d = reinterpret_cast<PanelData*>(GetWindowLongPtrW(parent, GWLP_USERDATA));
    if (d) d->textColours[l] = colour;
    return l;
  }

  HWND window_;
  Win32EventLoop& loop_;
  int dpi_ = 96;
  UniqueFont titleFont_, stepFont_, doneFont_, versionFont_;
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

}  // namespace

void RegisterPanelClass(HINSTANCE instance) {
  WNDCLASSEXW pc{};
  pc.cbSize = sizeof pc;
  pc.lpfnWndProc = PanelProc;
  pc.hInstance = instance;
  pc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  pc.lpszClassName = kPanelClass;
  RegisterClassExW(&pc);
}

std::unique_ptr<InstallerView> MakeInstallerWindowView(HINSTANCE instance, HWND window, Win32EventLoop& loop) {
  return std::make_unique<Win32InstallerView>(instance, window, loop);
}

std::unique_ptr<InstallerView> MakeUninstallView() { return std::make_unique<UninstallView>(); }

}  // namespace quarn::win
