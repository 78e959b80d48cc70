#include "gui_monitor/frm_monitor.h"

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstring>

#include "common/suite_files.h"
#include "common/win32/file_time.h"

namespace quarn::gui {

bool FrmMonitor::Create(HINSTANCE inst, int show) {
  inst_ = inst;
  logs_ = AppFolder() + L"\\" + Wide(quarn::kLogsFolder) + L"\\";

  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_BAR_CLASSES};
  InitCommonControlsEx(&icc);

  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = &FrmMonitor::WndProc;
  wc.hInstance = inst;
  wc.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kClassName;
  if (!RegisterClassExW(&wc)) return false;

  {
    const quarn::win::WindowDc screen(nullptr);
    dpi_ = screen ? GetDeviceCaps(screen.get(), LOGPIXELSY) : 96;
  }

  hwnd_ = CreateWindowExW(0, kClassName, kCaption, WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, CW_USEDEFAULT, CW_USEDEFAULT,
                          Scale(900), Scale(540), nullptr, nullptr, inst, this);
  if (!hwnd_) return false;
  ShowWindow(hwnd_, show);
  UpdateWindow(hwnd_);
  return true;
}

LRESULT CALLBACK FrmMonitor::WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* self = static_cast<FrmMonitor*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
    self->hwnd_ = hwnd;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<FrmMonitor*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  try {
    return self ? self->Handle(msg, wp, lp) : DefWindowProcW(hwnd, msg, wp, lp);
  } catch (...) {
    // Nothing may cross DispatchMessageW; a viewer that failed just ends.
    PostQuitMessage(1);
    return 0;
  }
}

LRESULT FrmMonitor::Handle(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_CREATE:
      Form_Load();
      return 0;
    case WM_SIZE:
      Form_Resize();
      return 0;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd_, &ps);
      PintaCabecalho(dc);
      EndPaint(hwnd_, &ps);
      return 0;
    }
    case WM_SETFOCUS:
      SetFocus(lstLog_);
      return 0;
    case WM_TIMER:
      if (wp == kTmrAtualiza) tmrAtualiza_Timer();
      return 0;
    case WM_MEASUREITEM: {
      auto* mis = reinterpret_cast<MEASUREITEMSTRUCT*>(lp);
      mis->itemHeight = static_cast<UINT>(rowHeight_);
      return TRUE;
    }
    case WM_DRAWITEM:
      DrawRow(*reinterpret_cast<const DRAWITEMSTRUCT*>(lp));
      return TRUE;
    case WM_VKEYTOITEM:
      if (LOWORD(wp) == 'C' && (GetKeyState(VK_CONTROL) & 0x8000)) {
        CopiaRegistro();
        return -2;
      }
      return -1;
    case WM_GETMINMAXINFO: {
      auto* mmi = reinterpret_cast<MINMAXINFO*>(lp);
      mmi->ptMinTrackSize = {Scale(420), Scale(220)};
      return 0;
    }
    case WM_DESTROY:
      KillTimer(hwnd_, kTmrAtualiza);
      font_.reset();
      bold_.reset();
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(hwnd_, msg, wp, lp);
  }
}

void FrmMonitor::Form_Load() {
  NONCLIENTMETRICSW ncm{};
  ncm.cbSize = sizeof ncm;
  LOGFONTW lf{};
  if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof ncm, &ncm, 0)) {
    lf = ncm.lfMessageFont;
  } else {
    GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof lf, &lf);
  }
  // A touch larger than the dialog font: this window is read for long stretches.
  lf.lfHeight = lf.lfHeight < 0 ? -MulDiv(-lf.lfHeight, 9, 8) : MulDiv(lf.lfHeight, 9, 8);
  lf.lfWeight = FW_NORMAL;
  font_.reset(CreateFontIndirectW(&lf));
  lf.lfWeight = FW_BOLD;
  bold_.reset(CreateFontIndirectW(&lf));

  const quarn::win::WindowDc windowDc(hwnd_);
  HDC dc = windowDc.get();
  HGDIOBJ old = SelectObject(dc, bold_.get());
  TEXTMETRICW tm{};
  GetTextMetricsW(dc, &tm);
  rowHeight_ = tm.tmHeight + Scale(3);
  headerHeight_ = 2 * tm.tmHeight + Scale(14);
  SelectObject(dc, font_.get());
  SIZE stamp{};
  GetTextExtentPoint32W(dc, L"00/00/0000 00:00:00", 19, &stamp);
  SelectObject(dc, old);
  margin_ = Scale(6);
  messageX_ = margin_ + stamp.cx + Scale(14);

  // A virtual list: the rows live in log_, the list box only knows how many.
  lstLog_ = CreateWindowExW(WS_EX_CLIENTEDGE, L"LISTBOX", L"",
                            WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | WS_TABSTOP | LBS_NODATA |
                                LBS_OWNERDRAWFIXED | LBS_NOINTEGRALHEIGHT | LBS_NOTIFY | LBS_WANTKEYBOARDINPUT,
                            0, 0, 0, 0, hwnd_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kLstLog)), inst_, nullptr);
  SendMessageW(lstLog_, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
  SendMessageW(lstLog_, LB_SETITEMHEIGHT, 0, rowHeight_);

  stbStatus_ = CreateWindowExW(0, STATUSCLASSNAMEW, L"", WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP | SBARS_TOOLTIPS, 0, 0,
                               0, 0, hwnd_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kStbStatus)), inst_, nullptr);

  // The status parts must exist before their texts are set.
  Form_Resize();
  AtualizaLog();
  AtualizaStatus();
  AtualizaSaude();
  SetTimer(hwnd_, kTmrAtualiza, kAtualizaMs, nullptr);
}

void FrmMonitor::Form_Resize() {
  if (!lstLog_ || !stbStatus_) return;
  SendMessageW(stbStatus_, WM_SIZE, 0, 0);
  RECT client{}, bar{};
  GetClientRect(hwnd_, &client);
  GetWindowRect(stbStatus_, &bar);
  const int barHeight = bar.bottom - bar.top;
  const int width = client.right;
  // Heartbeats and the GUI version keep their width; the version line takes the rest.
  const int gui = Scale(100), beat = Scale(180);
  int edges[kPartCount] = {width - gui - 2 * beat, width - gui - beat, width - gui, -1};
  for (int i = 0; i < kPartCount - 1; ++i)
    if (edges[i] < Scale(60) * (i + 1)) edges[i] = Scale(60) * (i + 1);
  SendMessageW(stbStatus_, SB_SETPARTS, kPartCount, reinterpret_cast<LPARAM>(edges));
  MoveWindow(lstLog_, 0, headerHeight_, width, client.bottom - barHeight - headerHeight_, TRUE);
  RECT header{0, 0, width, headerHeight_};
  InvalidateRect(hwnd_, &header, FALSE);
  MostraStatus();
}

void FrmMonitor::tmrAtualiza_Timer() {
  AtualizaLog();
  AtualizaStatus();
  if (++healthTicks_ >= kTicksPerHealth) {
    healthTicks_ = 0;
    AtualizaSaude();
  }
}

// Read from the files the suite writes, each opened and closed at once.
void FrmMonitor::AtualizaSaude() {
  HealthInputs in;
  in.nowUtc = quarn::win::UtcNowSeconds();
  std::string bytes;
  if (ReadShared(logs_ + L"quarn_sql.prom", bytes, 256 * 1024)) in.metrics = bytes;
  const FileState beat = StateOf(logs_ + Wide(quarn::kServiceExecutingFile));
  if (beat.exists) in.heartbeatAgeSeconds = in.nowUtc - quarn::win::FileTimeUnixSeconds(beat.written);
  if (ReadShared(logs_ + Wide(quarn::kServiceUltimoBackupFile), bytes, 4096)) {
    const std::wstring last = FromAnsi(FirstLine(bytes));
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, last.c_str(), static_cast<int>(last.size()), nullptr, 0, nullptr, nullptr);
    in.lastBackupText.assign(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, last.c_str(), static_cast<int>(last.size()), in.lastBackupText.data(), n, nullptr,
                        nullptr);
  }
  const HealthHeader h = HeaderFor(in);
  const std::wstring text = FromUtf8(h.text);
  if (h.level == health_.level && text == healthText_) return;
  health_ = h;
  healthText_ = text;
  RECT header{};
  GetClientRect(hwnd_, &header);
  header.bottom = headerHeight_;
  InvalidateRect(hwnd_, &header, FALSE);
}

void FrmMonitor::AtualizaLog() {
  const std::wstring path = logs_ + Wide(quarn::kFormattedLogName);
  const FileState state = StateOf(path);
  if (logKnown_ && state == logState_) return;

  std::string bytes;
  if (state.exists && !ReadShared(path, bytes, kMaxLogBytes)) return;  // try again at the next tick
  logState_ = state;
  logKnown_ = true;

  const int oldCount = static_cast<int>(log_.rows.size());
  const int oldTop = static_cast<int>(SendMessageW(lstLog_, LB_GETTOPINDEX, 0, 0));
  const int oldSel = static_cast<int>(SendMessageW(lstLog_, LB_GETCURSEL, 0, 0));
  RECT rc{};
  GetClientRect(lstLog_, &rc);
  const int page = rowHeight_ > 0 ? rc.bottom / rowHeight_ : 1;
  // Follow new records while the end is in view; someone reading further up
  // keeps their place.
  const bool following = oldCount == 0 || oldTop + page >= oldCount;

  log_ = ParseFormattedLog(bytes);
  const int count = static_cast<int>(log_.rows.size());

  SendMessageW(lstLog_, WM_SETREDRAW, FALSE, 0);
  SendMessageW(lstLog_, LB_SETCOUNT, static_cast<WPARAM>(count), 0);
  SendMessageW(lstLog_, LB_SETCURSEL, oldSel >= 0 && oldSel < count ? oldSel : -1, 0);
  SendMessageW(lstLog_, LB_SETTOPINDEX, following ? (count > 0 ? count - 1 : 0) : (oldTop < count ? oldTop : 0), 0);

  int extent = 0;
  if (log_.widestRow > 0) {
    // Measure the longest row in bold: close enough for the scroll range.
    for (const LogRow& row : log_.rows) {
      if (row.length != log_.widestRow) continue;
      const std::wstring text = FromAnsi(RowText(log_, row));
      const quarn::win::WindowDc dc(lstLog_);
      HGDIOBJ old = SelectObject(dc.get(), bold_.get());
      SIZE sz{};
      GetTextExtentPoint32W(dc.get(), text.c_str(), static_cast<int>(text.size()), &sz);
      SelectObject(dc.get(), old);
      extent = messageX_ + sz.cx + sz.cx / 10 + margin_;
      break;
    }
  }
  extent_ = extent;
  SendMessageW(lstLog_, LB_SETHORIZONTALEXTENT, static_cast<WPARAM>(extent), 0);
  SendMessageW(lstLog_, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(lstLog_, nullptr, TRUE);
}

void FrmMonitor::AtualizaStatus() {
  auto line = [&](std::string_view name) {
    std::string bytes;
    if (!ReadShared(logs_ + Wide(name), bytes, 4096)) return std::wstring();
    return FromAnsi(FirstLine(bytes));
  };
  std::wstring text[kPartCount];
  text[kPartVersao] = line(quarn::kVersaoCompletaFile);
  if (text[kPartVersao].empty()) text[kPartVersao] = L"Quarn SQL Service Monitor: vers\u00E3o desconhecida";
  const std::wstring monitor = line(quarn::kMonitorExecutingFile);
  text[kPartMonitor] = L"Monitor: " + (monitor.empty() ? std::wstring(L"sem sinal") : monitor);
  const std::wstring backup = line(quarn::kServiceExecutingFile);
  text[kPartBackup] = L"Backup: " + (backup.empty() ? std::wstring(L"sem sinal") : backup);
  const std::wstring gui = line(quarn::kGuiVersionRecord);
  text[kPartGui] = gui.empty() ? std::wstring() : L"Vers\u00E3o " + gui;

  bool changed = false;
  for (int i = 0; i < kPartCount; ++i) {
    if (text[i] == status_[i]) continue;
    status_[i] = text[i];
    changed = true;
    SendMessageW(stbStatus_, SB_SETTIPTEXTW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(status_[i].c_str()));
  }
  if (changed) MostraStatus();
}

// Ctrl+C copies the record under the caret, whole, as it reads in the list.
void FrmMonitor::CopiaRegistro() {
  const int sel = static_cast<int>(SendMessageW(lstLog_, LB_GETCARETINDEX, 0, 0));
  if (sel < 0 || static_cast<size_t>(sel) >= log_.rows.size()) return;
  const LogRecord& rec = log_.records[log_.rows[static_cast<size_t>(sel)].record];
  std::string ansi = rec.stamp.empty() ? std::string() : rec.stamp + " ";
  for (char c : rec.text) {
    if (c == '\n') ansi += '\r';
    ansi += c;
  }
  const std::wstring text = FromAnsi(ansi);
  if (!OpenClipboard(hwnd_)) return;
  EmptyClipboard();
  const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
  if (HGLOBAL mem = GlobalAlloc(GMEM_MOVEABLE, bytes)) {
    if (void* p = GlobalLock(mem)) {
      memcpy(p, text.c_str(), bytes);
      GlobalUnlock(mem);
      if (!SetClipboardData(CF_UNICODETEXT, mem)) GlobalFree(mem);
    } else {
      GlobalFree(mem);
    }
  }
  CloseClipboard();
}

}  // namespace quarn::gui
