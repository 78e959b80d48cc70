// The window's drawing: the health header, the status line's parts and the log's rows.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstring>

#include "gui_monitor/frm_monitor.h"

namespace quarn::gui {
namespace {

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

}  // namespace

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

}  // namespace quarn::gui
