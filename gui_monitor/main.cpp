// QuarnSQLMonitor.exe: the suite's GUI monitor. Shows the service monitor's
// formatted log in its colours, newest at the bottom, a health header above it
// (green, amber or red) and a status line with the monitor's version and both
// heartbeats. It only reads: every file is opened
// with full sharing, so the services never find it in their way.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "common/suite_files.h"
#include "common/win32/file_time.h"
#include "common/win32/handles.h"
#include "common/win32/library_search.h"
#include "gui_monitor/health_header.h"
#include "gui_monitor/log_records.h"

namespace {

using namespace quarn::gui;
using quarn::win::UniqueFile;

constexpr wchar_t kCaption[] = L"Quarn SQL Monitor";
constexpr wchar_t kClassName[] = L"QuarnSQLMonitor.frmMonitor";
constexpr UINT_PTR kTmrAtualiza = 1;
constexpr UINT kAtualizaMs = 1000;
constexpr int kTicksPerHealth = 3;  // the header is read again every few seconds
// A log that grew past this is shown from its last part: reading more at every
// change would make the window lag behind a busy monitor.
constexpr int64_t kMaxLogBytes = 16ll << 20;

constexpr COLORREF kStampColor = RGB(128, 128, 128);
constexpr COLORREF kSelectionColor = RGB(204, 228, 247);
constexpr COLORREF kBackground = RGB(255, 255, 255);

enum ControlId : int { kLstLog = 101, kStbStatus = 102 };
enum StatusPart : int { kPartVersao, kPartMonitor, kPartBackup, kPartGui, kPartCount };

// The suite's file names are ASCII: widening is a copy.
std::wstring Wide(std::string_view ascii) { return std::wstring(ascii.begin(), ascii.end()); }

std::wstring AppFolder() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return L".";
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  return path.substr(0, path.find_last_of(L'\\'));
}

// The file as last seen; any difference means it changed (or went, or came back).
struct FileState {
  bool exists = false;
  ULONGLONG size = 0;
  FILETIME written{};
  FILETIME created{};
  bool operator==(const FileState& o) const {
    return exists == o.exists && size == o.size && CompareFileTime(&written, &o.written) == 0 &&
           CompareFileTime(&created, &o.created) == 0;
  }
  bool operator!=(const FileState& o) const { return !(*this == o); }
};

FileState StateOf(const std::wstring& path) {
  FileState s;
  WIN32_FILE_ATTRIBUTE_DATA a{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &a)) return s;
  if (a.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return s;
  s.exists = true;
  s.size = (static_cast<ULONGLONG>(a.nFileSizeHigh) << 32) | a.nFileSizeLow;
  s.written = a.ftLastWriteTime;
  s.created = a.ftCreationTime;
  return s;
}

// Reads at most the last maxBytes of a file without locking it. A read that
// starts inside the file drops the cut line it lands in.
bool ReadShared(const std::wstring& path, std::string& out, int64_t maxBytes) {
  out.clear();
  UniqueFile f(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f) return false;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(f.get(), &size)) return false;
  int64_t start = 0;
  if (size.QuadPart > maxBytes) {
    start = size.QuadPart - maxBytes;
    LARGE_INTEGER to{};
    to.QuadPart = start;
    if (!SetFilePointerEx(f.get(), to, nullptr, FILE_BEGIN)) return false;
  }
  out.reserve(static_cast<size_t>(size.QuadPart - start) + 1);
  char buf[64 * 1024];
  DWORD got = 0;
  // The writer may still be appending: take what is there, up to the limit.
  while (static_cast<int64_t>(out.size()) < maxBytes && ReadFile(f.get(), buf, sizeof buf, &got, nullptr) && got)
    out.append(buf, got);
  if (start > 0) {
    const size_t cut = out.find('\r');
    out.erase(0, cut == std::string::npos ? out.size() : cut + 1);
  }
  return true;
}

// The files are written in the system's ANSI code page; so they are read.
std::wstring FromAnsi(std::string_view ansi) {
  if (ansi.empty()) return {};
  const int n = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), w.data(), n);
  return w;
}

std::wstring FromUtf8(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), w.data(), n);
  return w;
}

struct HeaderLook {
  COLORREF background, bar, text;
};
HeaderLook LookOf(HealthLevel level) {
  switch (level) {
    case HealthLevel::Green:
      return {RGB(226, 240, 217), RGB(56, 142, 60), RGB(27, 94, 32)};
    case HealthLevel::Amber:
      return {RGB(255, 243, 205), RGB(230, 160, 0), RGB(122, 80, 0)};
    default:
      return {RGB(250, 218, 218), RGB(198, 40, 40), RGB(150, 20, 20)};
  }
}

class FrmMonitor {
 public:
  bool Create(HINSTANCE inst, int show);

 private:
  static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  LRESULT Handle(UINT msg, WPARAM wp, LPARAM lp);

  void Form_Load();
  void Form_Resize();
  void tmrAtualiza_Timer();
  void AtualizaLog();
  void AtualizaStatus();
  void AtualizaSaude();
  void PintaCabecalho(HDC dc);
  void MostraStatus();
  void DrawRow(const DRAWITEMSTRUCT& dis);
  void CopiaRegistro();
  int Scale(int px) const { return MulDiv(px, dpi_, 96); }

  HINSTANCE inst_ = nullptr;
  HWND hwnd_ = nullptr;
  HWND lstLog_ = nullptr;
  HWND stbStatus_ = nullptr;
  quarn::win::UniqueFont font_;
  quarn::win::UniqueFont bold_;
  int dpi_ = 96;
  int rowHeight_ = 16;
  int margin_ = 6;
  int messageX_ = 140;  // where the message column starts, after the stamp
  int extent_ = 0;      // the widest row, for horizontal scrolling

  std::wstring logs_;
  FileState logState_;
  bool logKnown_ = false;
  FormattedLog log_;
  HealthHeader health_;
  std::wstring healthText_;
  int headerHeight_ = 28;
  int healthTicks_ = 0;
  std::wstring status_[kPartCount];  // as read
  std::wstring shown_[kPartCount];   // as fits its part
};

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

void FrmMonitor::PintaCabecalho(HDC dc) {
  RECT rc{};
  GetClientRect(hwnd_, &rc);
  rc.bottom = headerHeight_;
  const HeaderLook look = LookOf(health_.level);
  SetBkColor(dc, look.background);
  ExtTextOutW(dc, 0, 0, ETO_OPAQUE, &rc, nullptr, 0, nullptr);
  RECT bar{0, 0, Scale(8), headerHeight_};
  SetBkColor(dc, look.bar);
  ExtTextOutW(dc, 0, 0, ETO_OPAQUE, &bar, nullptr, 0, nullptr);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, look.text);
  HGDIOBJ old = SelectObject(dc, bold_ ? static_cast<HGDIOBJ>(bold_.get()) : GetStockObject(DEFAULT_GUI_FONT));
  // Two lines, each cut with an ellipsis rather than wrapped.
  const size_t cut = healthText_.find(L'\n');
  const std::wstring lines[2] = {healthText_.substr(0, cut),
                                 cut == std::wstring::npos ? std::wstring() : healthText_.substr(cut + 1)};
  const int half = headerHeight_ / 2;
  for (int i = 0; i < 2; ++i) {
    RECT t{Scale(8) + margin_, i == 0 ? Scale(3) : half, rc.right - margin_, i == 0 ? half : headerHeight_ - Scale(3)};
    DrawTextW(dc, lines[i].c_str(), static_cast<int>(lines[i].size()), &t,
              DT_SINGLELINE | DT_NOPREFIX | DT_VCENTER | DT_END_ELLIPSIS);
  }
  SelectObject(dc, old);
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

// A text longer than its part is cut with an ellipsis, not mid-word at the
// border; the whole text stays in the part's tooltip.
void FrmMonitor::MostraStatus() {
  const quarn::win::WindowDc statusDc(stbStatus_);
  HDC dc = statusDc.get();
  auto* font = reinterpret_cast<HFONT>(SendMessageW(stbStatus_, WM_GETFONT, 0, 0));
  HGDIOBJ old = SelectObject(dc, font ? static_cast<HGDIOBJ>(font) : GetStockObject(DEFAULT_GUI_FONT));
  auto width = [&](const std::wstring& t) {
    SIZE sz{};
    GetTextExtentPoint32W(dc, t.c_str(), static_cast<int>(t.size()), &sz);
    return static_cast<int>(sz.cx);
  };
  for (int i = 0; i < kPartCount; ++i) {
    RECT part{};
    SendMessageW(stbStatus_, SB_GETRECT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&part));
    const int room = part.right - part.left - Scale(10);
    std::wstring shown = status_[i];
    if (width(shown) > room) {
      // The longest prefix that fits with the ellipsis after it.
      size_t lo = 0, hi = status_[i].size();
      while (lo < hi) {
        const size_t mid = (lo + hi + 1) / 2;
        if (width(status_[i].substr(0, mid) + L"\u2026") <= room)
          lo = mid;
        else
          hi = mid - 1;
      }
      shown = status_[i].substr(0, lo) + L"\u2026";
    }
    if (shown == shown_[i]) continue;
    shown_[i] = shown;
    SendMessageW(stbStatus_, SB_SETTEXTW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(shown_[i].c_str()));
  }
  SelectObject(dc, old);
}

void FrmMonitor::DrawRow(const DRAWITEMSTRUCT& dis) {
  if (dis.CtlID != kLstLog) return;
  HDC dc = dis.hDC;
  RECT rc = dis.rcItem;
  const bool selected = (dis.itemState & ODS_SELECTED) != 0;
  SetBkColor(dc, selected ? kSelectionColor : kBackground);
  ExtTextOutW(dc, 0, 0, ETO_OPAQUE, &rc, nullptr, 0, nullptr);
  if (dis.itemID == static_cast<UINT>(-1) || dis.itemID >= log_.rows.size()) {
    if (dis.itemState & ODS_FOCUS) DrawFocusRect(dc, &rc);
    return;
  }
  const LogRow& row = log_.rows[dis.itemID];
  const LogRecord& rec = log_.records[row.record];
  SetBkMode(dc, TRANSPARENT);
  HGDIOBJ old = SelectObject(dc, font_.get());
  const UINT flags = DT_SINGLELINE | DT_NOPREFIX | DT_EXPANDTABS | DT_VCENTER;
  if (row.head && !rec.stamp.empty()) {
    const std::wstring stamp = FromAnsi(rec.stamp);
    RECT s{rc.left + margin_, rc.top, rc.left + messageX_, rc.bottom};
    SetTextColor(dc, kStampColor);
    DrawTextW(dc, stamp.c_str(), static_cast<int>(stamp.size()), &s, flags);
  }
  const std::wstring text = FromAnsi(RowText(log_, row));
  // Long rows run on past the window: scrolling sideways shows the rest.
  RECT m{rc.left + messageX_, rc.top, std::max<LONG>(rc.right, rc.left + extent_), rc.bottom};
  SelectObject(dc, rec.bold ? bold_.get() : font_.get());
  SetTextColor(dc, static_cast<COLORREF>(DisplayColor(rec.color)));
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &m, flags);
  SelectObject(dc, old);
  // Before anything is selected the caret sits on the first row: no frame there.
  if ((dis.itemState & ODS_FOCUS) && selected) DrawFocusRect(dc, &rc);
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

}  // namespace

int WINAPI wWinMain(HINSTANCE inst, HINSTANCE, LPWSTR, int show) {
  quarn::win::LimitLibrarySearchToSystemFolder();
  FrmMonitor frm;
  if (!frm.Create(inst, show)) {
    const DWORD error = GetLastError();
    return error ? static_cast<int>(error) : 1;
  }
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return static_cast<int>(msg.wParam);
}
