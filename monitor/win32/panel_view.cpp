#include "monitor/win32/panel_view.h"

#include "common/win32/handles.h"
#include "common/win32/win_platform.h"

namespace quarn::win {

namespace {

enum ControlId : int {
  kTxtAccount = 101,
  kTxtPassword,
  kChkSystem,
  kLblInstall,
  kLblStart,
  kTxtZip,
  kLabel3,
  kLabel2,
};

// Picture1 holds the panel; its children's notifications go on to the window.
LRESULT CALLBACK PictureProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_COMMAND) return SendMessageW(GetParent(hwnd), msg, wp, lp);
  return DefWindowProcW(hwnd, msg, wp, lp);
}

int Scale(int px, HWND hwnd) {
  const WindowDc dc(hwnd);
  return MulDiv(px, dc ? GetDeviceCaps(dc.get(), LOGPIXELSX) : 96, 96);
}

std::string Text(HWND control) {
  const int n = GetWindowTextLengthW(control);
  std::wstring w(static_cast<size_t>(n) + 1, L'\0');
  GetWindowTextW(control, w.data(), n + 1);
  w.resize(static_cast<size_t>(n));
  return Narrow(w);
}

void SetText(HWND control, const std::string& text) {
  if (Text(control) != text) SetWindowTextW(control, Widen(text).c_str());
}

}  // namespace

Win32PanelView::Win32PanelView(HWND window, ServicePanel& panel, FrmBackup& form)
    : window_(window), panel_(panel), form_(form) {
  HINSTANCE inst = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(window, GWLP_HINSTANCE));
  WNDCLASSW wc{};
  wc.lpfnWndProc = PictureProc;
  wc.hInstance = inst;
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = L"QuarnSQLServiceMonitor.Picture1";
  RegisterClassW(&wc);

  auto s = [&](int v) { return Scale(v, window); };
  picture1_ = CreateWindowExW(WS_EX_CLIENTEDGE, wc.lpszClassName, L"", WS_CHILD | WS_VISIBLE, s(8), s(8), s(388),
                              s(150), window, nullptr, inst, nullptr);
  auto child = [&](const wchar_t* cls, const wchar_t* text, DWORD style, int x, int y, int w, int h, int id,
                   DWORD ex = 0) {
    HWND c = CreateWindowExW(ex, cls, text, WS_CHILD | style, s(x), s(y), s(w), s(h), picture1_,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), inst, nullptr);
    SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), TRUE);
    return c;
  };
  label3_ = child(L"STATIC", L"Conta", WS_VISIBLE, 10, 14, 60, 18, kLabel3);
  txtAccount_ =
      child(L"EDIT", L"", WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL, 80, 10, 290, 22, kTxtAccount, WS_EX_CLIENTEDGE);
  label2_ = child(L"STATIC", L"Senha", WS_VISIBLE, 10, 44, 60, 18, kLabel2);
  txtPassword_ = child(L"EDIT", L"", WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL | ES_PASSWORD, 80, 40, 290, 22,
                       kTxtPassword, WS_EX_CLIENTEDGE);
  chkSystem_ =
      child(L"BUTTON", L"System Account", WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX, 80, 70, 200, 20, kChkSystem);
  lblInstall_ = child(L"STATIC", Widen(kInstallService).c_str(), WS_VISIBLE | SS_NOTIFY | SS_CENTER | SS_SUNKEN, 10,
                      108, 170, 24, kLblInstall);
  lblStart_ = child(L"STATIC", Widen(kStartService).c_str(), WS_VISIBLE | SS_NOTIFY | SS_CENTER | SS_SUNKEN, 200, 108,
                    170, 24, kLblStart);
  // Kept for the zip library; nobody reads or writes it, nobody sees it.
  txtZip_ = child(L"EDIT", L"Esta TextBox é usado internamente pelo AddZip, podendo fica escondida do usuário.", 0, 0,
                  0, 10, 10, kTxtZip);
  Render();
}

void Win32PanelView::BeginUpdate() {
  if (depth_++ == 0) SendMessageW(picture1_, WM_SETREDRAW, FALSE, 0);
}

void Win32PanelView::EndUpdate() {
  if (depth_ > 0 && --depth_ > 0) return;
  Render();
  SendMessageW(picture1_, WM_SETREDRAW, TRUE, 0);
  RedrawWindow(picture1_, nullptr, nullptr, RDW_ERASE | RDW_FRAME | RDW_INVALIDATE | RDW_ALLCHILDREN);
}

void Win32PanelView::Show() { ShowWindow(window_, SW_SHOW); }

void Win32PanelView::Render() {
  rendering_ = true;
  SetText(lblInstall_, panel_.lblInstallCaption);
  SetText(lblStart_, panel_.lblStartCaption);
  SetText(txtAccount_, panel_.txtAccount);
  SetText(txtPassword_, panel_.txtPassword);
  SendMessageW(chkSystem_, BM_SETCHECK, panel_.chkSystem ? BST_CHECKED : BST_UNCHECKED, 0);
  EnableWindow(lblInstall_, panel_.lblInstallEnabled);
  EnableWindow(lblStart_, panel_.lblStartEnabled);
  EnableWindow(txtAccount_, panel_.txtAccountEnabled);
  EnableWindow(txtPassword_, panel_.txtPasswordEnabled);
  EnableWindow(chkSystem_, panel_.chkSystemEnabled);
  rendering_ = false;
}

bool Win32PanelView::OnCommand(WPARAM wp, LPARAM) {
  if (rendering_) return false;
  const int id = LOWORD(wp), code = HIWORD(wp);
  switch (id) {
    case kTxtAccount:
      if (code == EN_CHANGE) panel_.txtAccount = Text(txtAccount_);
      return true;
    case kTxtPassword:
      if (code == EN_CHANGE) panel_.txtPassword = Text(txtPassword_);
      return true;
    case kChkSystem:
      if (code == BN_CLICKED) {
        panel_.chkSystem = SendMessageW(chkSystem_, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0;
        form_.chkSystem_Click();
      }
      return true;
    case kLblInstall:
      if (code == STN_CLICKED) form_.lblInstall_Click();
      return true;
    case kLblStart:
      if (code == STN_CLICKED) form_.lblStart_Click();
      return true;
    default:
      return false;
  }
}

}  // namespace quarn::win
