// QuarnSQLMonitor.exe: the suite's GUI monitor. Shows the service monitor's
// formatted log in its colours, newest at the bottom, a health header above it
// (green, amber or red) and a status line with the monitor's version and both
// heartbeats. It only reads: every file is opened
// with full sharing, so the services never find it in their way.
#include <windows.h>

#include "common/win32/library_search.h"
#include "gui_monitor/frm_monitor.h"

int WINAPI wWinMain(HINSTANCE inst, HINSTANCE, LPWSTR, int show) {
  quarn::win::LimitLibrarySearchToSystemFolder();
  quarn::gui::FrmMonitor frm;
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
