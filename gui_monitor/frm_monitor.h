#pragma once
// The GUI monitor's window: the formatted log in its colours, newest at the
// bottom, a health header above it (green, amber or red) and a status line
// with the monitor's version and both heartbeats.
#include <windows.h>

#include <cstdint>
#include <string>

#include "common/win32/handles.h"
#include "gui_monitor/health_header.h"
#include "gui_monitor/log_records.h"
#include "gui_monitor/shared_files.h"

namespace quarn::gui {

inline constexpr wchar_t kCaption[] = L"Quarn SQL Monitor";
inline constexpr wchar_t kClassName[] = L"QuarnSQLMonitor.frmMonitor";
inline constexpr UINT_PTR kTmrAtualiza = 1;
inline constexpr UINT kAtualizaMs = 1000;
inline constexpr int kTicksPerHealth = 3;  // the header is read again every few seconds
// A log that grew past this is shown from its last part: reading more at every
// change would make the window lag behind a busy monitor.
inline constexpr int64_t kMaxLogBytes = 16ll << 20;

inline constexpr COLORREF kStampColor = RGB(128, 128, 128);
inline constexpr COLORREF kSelectionColor = RGB(204, 228, 247);
inline constexpr COLORREF kBackground = RGB(255, 255, 255);

enum ControlId : int { kLstLog = 101, kStbStatus = 102 };
enum StatusPart : int { kPartVersao, kPartMonitor, kPartBackup, kPartGui, kPartCount };

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

}  // namespace quarn::gui
