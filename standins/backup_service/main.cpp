// QuarnSQLService.exe: the backup service the monitor watches. It writes its
// heartbeat often, marks itself busy around each backup run, and stops at once
// when asked. The dump it writes stands in for the real database dump.
#include <windows.h>

#include <cwchar>
#include <string>

#include "common/ansi_text.h"
#include "common/suite_files.h"
#include "common/win32/handles.h"
#include "common/win32/library_search.h"
#include "common/win32/win_platform.h"

using namespace quarn;
using namespace quarn::win;

namespace {

constexpr wchar_t kServiceName[] = L"" QUARN_BACKUP_SERVICE_STEM;
// Heartbeat well below the monitor's 50-minute limit; one backup run an hour.
// Tests lengthen the heartbeat with "/heartbeat-seconds=N" on the service's
// command line, to play a service that has stopped reporting.
DWORD g_heartbeatMs = 30 * 1000;
constexpr DWORD kBackupEveryMs = 60 * 60 * 1000;
constexpr DWORD kBackupRunMs = 5 * 1000;

SERVICE_STATUS_HANDLE g_status = nullptr;
UniqueKernel g_stop;

void Report(DWORD state, DWORD exitCode = NO_ERROR, DWORD specificCode = 0) {
  SERVICE_STATUS s{};
  s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  s.dwCurrentState = state;
  s.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  s.dwWin32ExitCode = exitCode;
  s.dwServiceSpecificExitCode = specificCode;
  s.dwWaitHint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : 5000;
  SetServiceStatus(g_status, &s);
}

std::string LogsFolder() {
  std::string folder, name;
  ModulePath(folder, name);
  return LogsFolderOf(folder);
}

// Writes a one-line time file whole, as the monitor reads it.
void WriteTimeLine(Win32FileSystem& fs, const std::string& path) {
  Win32Clock clock;
  Win32DateFormat dates;
  AcpCodec codec;
  fs.WriteAll(path, codec.ToAnsi(dates.GeneralDate(clock.Now()) + "\r\n"));
}

void Heartbeat(Win32FileSystem& fs) {
  try {
    const std::string logs = LogsFolder();
    if (!fs.DirExists(logs)) fs.CreateDir(logs);
    WriteTimeLine(fs, JoinPath(logs, kServiceExecutingFile));
  } catch (const VbError&) {
    // A missed heartbeat is what the monitor watches for; nothing else to do.
  }
}

// One backup run: busy marker set, the dump written, busy marker removed.
bool BackupRun(Win32FileSystem& fs) {
  const std::string logs = LogsFolder();
  const std::string marker = JoinPath(logs, kServiceEmUsoFile);
  try {
    WriteTimeLine(fs, marker);
  } catch (const VbError&) {
    return true;
  }
  const bool stopped = WaitForSingleObject(g_stop.get(), kBackupRunMs) == WAIT_OBJECT_0;
  try {
    WriteTimeLine(fs, JoinPath(logs, kServiceUltimoBackupFile));
    if (fs.FileExists(marker)) fs.Delete(marker);
  } catch (const VbError&) {
  }
  return !stopped;
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      Report(SERVICE_STOP_PENDING);
      SetEvent(g_stop.get());
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void Run() {
  Report(SERVICE_RUNNING);
  Win32FileSystem fs;
  Heartbeat(fs);
  ULONGLONG nextBackup = GetTickCount64() + kBackupEveryMs;
  while (WaitForSingleObject(g_stop.get(), g_heartbeatMs) == WAIT_TIMEOUT) {
    Heartbeat(fs);
    if (GetTickCount64() >= nextBackup) {
      if (!BackupRun(fs)) break;
      nextBackup = GetTickCount64() + kBackupEveryMs;
    }
  }
  Report(SERVICE_STOPPED);
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  g_status = RegisterServiceCtrlHandlerExW(kServiceName, &Handler, nullptr);
  if (!g_status) return;
  try {
    Run();
  } catch (...) {
    // Stopped with our number rather than a process gone without a word: the
    // monitor's watchdog starts it again, and the manager shows why it stopped.
    Report(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, static_cast<DWORD>(kErrInternal));
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  quarn::win::LimitLibrarySearchToSystemFolder();
  if (const wchar_t* arg = wcsstr(GetCommandLineW(), L"/heartbeat-seconds=")) {
    const long seconds = wcstol(arg + wcslen(L"/heartbeat-seconds="), nullptr, 10);
    if (seconds > 0 && seconds < 24 * 3600) g_heartbeatMs = static_cast<DWORD>(seconds) * 1000;
  }
  g_stop.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(kServiceName), &ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) return static_cast<int>(GetLastError());
  return 0;
}
