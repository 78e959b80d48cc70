// LoadWinSolvane.exe: the small "please wait" animation the installer shows.
// The installer starts it hidden, finds its window by title and adopts it into
// its own picture box, so everything here is drawn from the client rect of the
// moment: the window may change size and parent at any time.
//
//   /delay-ms=N  create the window only after N ms (a slow start, for tests)
//   /no-window   never create a window; run until ended
#include <windows.h>

#include "common/win32/handles.h"
#include "common/win32/library_search.h"

#include <cmath>
#include <cwchar>

namespace {

constexpr wchar_t kTitle[] = L"LoadWinSolvane";
constexpr wchar_t kClassName[] = L"LoadWinSolvane.frmLoad";
constexpr UINT_PTR kTmrGira = 1;
constexpr UINT kGiraMs = 80;
constexpr int kSize = 49;
constexpr int kDots = 10;

constexpr COLORREF kBackground = RGB(255, 255, 255);
constexpr COLORREF kHead = RGB(0, 92, 170);
constexpr COLORREF kTail = RGB(222, 228, 236);

int g_step = 0;

COLORREF Blend(COLORREF a, COLORREF b, double t) {
  auto mix = [t](int x, int y) { return static_cast<BYTE>(std::lround(x + (y - x) * t)); };
  return RGB(mix(GetRValue(a), GetRValue(b)), mix(GetGValue(a), GetGValue(b)), mix(GetBValue(a), GetBValue(b)));
}

// A ring of dots; the lit one moves round and leaves a fading trail.
void Paint(HDC dc, const RECT& rc) {
  const int w = rc.right - rc.left, h = rc.bottom - rc.top;
  {
    const quarn::win::UniqueBrush white(CreateSolidBrush(kBackground));
    FillRect(dc, &rc, white.get());
  }
  if (w <= 0 || h <= 0) return;

  const double side = w < h ? w : h;
  const double dot = side * 0.11;              // dot radius
  const double ring = side / 2.0 - dot - 1.0;  // centre line of the ring
  const double cx = rc.left + w / 2.0, cy = rc.top + h / 2.0;
  HGDIOBJ oldPen = SelectObject(dc, GetStockObject(NULL_PEN));
  for (int i = 0; i < kDots; ++i) {
    const int age = ((g_step - i) % kDots + kDots) % kDots;  // 0: the lit dot
    const double fade = static_cast<double>(age) / (kDots - 1);
    const double r = dot * (1.0 - 0.35 * fade);
    const double a = 2.0 * 3.14159265358979 * i / kDots - 3.14159265358979 / 2.0;
    const double x = cx + ring * std::cos(a), y = cy + ring * std::sin(a);
    const quarn::win::UniqueBrush b(CreateSolidBrush(Blend(kHead, kTail, fade)));
    HGDIOBJ oldBrush = SelectObject(dc, b.get());
    Ellipse(dc, static_cast<int>(std::lround(x - r)), static_cast<int>(std::lround(y - r)),
            static_cast<int>(std::lround(x + r)) + 1, static_cast<int>(std::lround(y + r)) + 1);
    SelectObject(dc, oldBrush);  // before b is deleted
  }
  SelectObject(dc, oldPen);
}

// A window adopted by another (SetParent) is made a proper child, so it clips
// and moves with its new parent; set free again, it is a popup once more.
void AcompanhaPai(HWND hwnd) {
  const LONG_PTR style = GetWindowLongPtrW(hwnd, GWL_STYLE);
  const bool adopted = GetAncestor(hwnd, GA_PARENT) != GetDesktopWindow();
  LONG_PTR wanted = style;
  if (adopted)
    wanted = (style & ~static_cast<LONG_PTR>(WS_POPUP)) | WS_CHILD;
  else
    wanted = (style & ~static_cast<LONG_PTR>(WS_CHILD)) | WS_POPUP;
  if (wanted == style) return;
  SetWindowLongPtrW(hwnd, GWL_STYLE, wanted);
  SetWindowPos(hwnd, nullptr, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
}

LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_CREATE:
      SetTimer(hwnd, kTmrGira, kGiraMs, nullptr);
      return 0;
    case WM_TIMER:
      if (wp != kTmrGira) break;
      g_step = (g_step + 1) % kDots;
      AcompanhaPai(hwnd);
      InvalidateRect(hwnd, nullptr, FALSE);
      return 0;
    case WM_SIZE:
      InvalidateRect(hwnd, nullptr, FALSE);
      return 0;
    case WM_ERASEBKGND:
      return 1;  // WM_PAINT covers every pixel
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      RECT rc;
      GetClientRect(hwnd, &rc);
      // Drawn off screen and copied in one go: no flicker at 12 frames a second.
      {
        const quarn::win::UniqueMemoryDc mem(CreateCompatibleDC(dc));
        const quarn::win::UniqueBitmap bmp(
            rc.right > 0 && rc.bottom > 0 ? CreateCompatibleBitmap(dc, rc.right, rc.bottom) : nullptr);
        if (mem && bmp) {
          HGDIOBJ old = SelectObject(mem.get(), bmp.get());
          Paint(mem.get(), rc);
          BitBlt(dc, 0, 0, rc.right, rc.bottom, mem.get(), 0, 0, SRCCOPY);
          SelectObject(mem.get(), old);
        } else {
          Paint(dc, rc);
        }
      }  // the bitmap goes before its DC, as before
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_MOUSEACTIVATE:
      return MA_NOACTIVATE;  // a picture, not a window to work in
    case WM_DESTROY:
      KillTimer(hwnd, kTmrGira);
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

long Option(const wchar_t* cmdLine, const wchar_t* name) {
  const wchar_t* at = wcsstr(cmdLine, name);
  return at ? wcstol(at + wcslen(name), nullptr, 10) : -1;
}

int RunLoop() {
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE inst, HINSTANCE, LPWSTR, int show) {
  quarn::win::LimitLibrarySearchToSystemFolder();
  const wchar_t* cmdLine = GetCommandLineW();
  if (wcsstr(cmdLine, L"/no-window")) return RunLoop();  // no window: only ending it stops it
  const long delay = Option(cmdLine, L"/delay-ms=");
  if (delay > 0) Sleep(static_cast<DWORD>(delay));

  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = WndProc;
  wc.hInstance = inst;
  wc.hCursor = LoadCursorW(nullptr, IDC_WAIT);
  wc.lpszClassName = kClassName;
  if (!RegisterClassExW(&wc)) return 1;

  // Centred on the screen when shown on its own; the installer moves it anyway.
  const int x = (GetSystemMetrics(SM_CXSCREEN) - kSize) / 2, y = (GetSystemMetrics(SM_CYSCREEN) - kSize) / 2;
  HWND hwnd = CreateWindowExW(WS_EX_TOOLWINDOW, kClassName, kTitle, WS_POPUP, x, y, kSize, kSize, nullptr, nullptr,
                              inst, nullptr);
  if (!hwnd) return 1;
  ShowWindow(hwnd, show);
  return RunLoop();
}
