// A scripted service for the tests. Its first argument picks the behaviour:
//   ok        runs until stopped
//   refuse    reports stopped with an error as soon as it starts, and adds a
//             line to "<its program file>.starts" at each start
//   slowstop  takes 3 s to stop once asked
//   dies      writes its heartbeat beside it as the backup service does, runs
//             15 s, then stops with an error: a build that starts well and dies
// Without an argument (as the service manager starts it) QUARN_DUMMY_MODE decides.
#include <windows.h>

#include <cstring>

namespace {
SERVICE_STATUS_HANDLE g_status = nullptr;
HANDLE g_stop = nullptr;
#ifndef QUARN_DUMMY_MODE
#define QUARN_DUMMY_MODE "ok"
#endif
char g_mode[32] = QUARN_DUMMY_MODE;

void Report(DWORD state, DWORD exitCode = NO_ERROR) {
  SERVICE_STATUS s{};
  s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  s.dwCurrentState = state;
  s.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  s.dwWin32ExitCode = exitCode;
  s.dwServiceSpecificExitCode = exitCode == ERROR_SERVICE_SPECIFIC_ERROR ? 42 : 0;
  s.dwWaitHint = 5000;
  SetServiceStatus(g_status, &s);
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
  if (control == SERVICE_CONTROL_STOP) {
    Report(SERVICE_STOP_PENDING);
    SetEvent(g_stop);
    return NO_ERROR;
  }
  return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
  g_status = RegisterServiceCtrlHandlerExA("", &Handler, nullptr);
  if (!g_status) return;
  if (std::strcmp(g_mode, "refuse") == 0) {
    char path[MAX_PATH + 8];
    if (GetModuleFileNameA(nullptr, path, MAX_PATH)) {
      lstrcatA(path, ".starts");
      HANDLE f = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
      DWORD written = 0;
      if (f != INVALID_HANDLE_VALUE) {
        WriteFile(f, "start\r\n", 7, &written, nullptr);
        CloseHandle(f);
      }
    }
    Report(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR);
    return;
  }
  Report(SERVICE_RUNNING);
  if (std::strcmp(g_mode, "dies") == 0) {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    char* slash = n ? std::strrchr(path, '\\') : nullptr;
    if (slash) {
      lstrcpyA(slash, "\\Logs\\QuarnSQLServiceExecuting.ini");
      SYSTEMTIME t;
      GetLocalTime(&t);
      char line[64];
      const int len = wsprintfA(line, "%02u/%02u/%04u %02u:%02u:%02u\r\n", t.wDay, t.wMonth, t.wYear, t.wHour,
                                t.wMinute, t.wSecond);
      HANDLE f = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
      DWORD written = 0;
      if (f != INVALID_HANDLE_VALUE) {
        WriteFile(f, line, static_cast<DWORD>(len), &written, nullptr);
        CloseHandle(f);
      }
    }
    if (WaitForSingleObject(g_stop, 15000) == WAIT_TIMEOUT) {
      Report(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR);
      return;
    }
    Report(SERVICE_STOPPED);
    return;
  }
  WaitForSingleObject(g_stop, INFINITE);
  if (std::strcmp(g_mode, "slowstop") == 0) Sleep(3000);
  Report(SERVICE_STOPPED);
}
}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) lstrcpynA(g_mode, argv[1], sizeof g_mode);
  g_stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(""), &ServiceMain}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherA(table) ? 0 : static_cast<int>(GetLastError());
}
