// A plain program for the process tests: one window titled by its first
// argument, running until it is ended.
#include <windows.h>

int main(int argc, char** argv) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = DefWindowProcA;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "QuarnDummyProgram";
  RegisterClassA(&wc);
  CreateWindowA("QuarnDummyProgram", argc > 1 ? argv[1] : "QuarnDummyProgram", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                nullptr, nullptr, wc.hInstance, nullptr);
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
  return 0;
}
