// QuarnSQLServiceMonitor.exe: the service monitor's window thread and its ports.
#include <windows.h>

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>

#include "common/single_instance.h"
#include "common/win32/file_time.h"
#include "common/win32/handles.h"
#include "common/win32/instance_object.h"
#include "common/win32/library_search.h"
#include "common/win32/service_manager_win32.h"
#include "common/win32/win_event_loop.h"
#include "common/win32/win_platform.h"
#include "monitor/frm_backup.h"
#include "monitor/health.h"
#include "monitor/markers.h"
#include "monitor/update/manifest.h"
#include "monitor/update/update_stack.h"
#include "monitor/update/updater.h"
#include "monitor/win32/crypto_win32.h"
#include "monitor/win32/health_win32.h"
#include "monitor/win32/update_win32.h"
#include "monitor/win32/panel_view.h"
#include "monitor/win32/service_host_win32.h"
#include "quarn_update_keys.h"

using namespace quarn;
using namespace quarn::win;

namespace {

constexpr wchar_t kWindowClass[] = L"QuarnSQLServiceMonitor.frmBackup";
constexpr wchar_t kInstanceMutex[] = L"Global\\QuarnSQLServiceMonitor.Instance";
// Posted by the service manager's APC: the backup service stopped, went or came.
constexpr UINT WM_BACKUP_SERVICE_CHANGED = WM_APP + 18;

#ifdef QUARN_TEST_TIMER1_MS
// "-fail-on-tick", in the test build only: a timer tick throws what no handler
// expects, to prove the window's last line of defence.
bool g_failOnTick = false;
#endif

class Win32Shell final : public AppShell {
 public:
  Win32Shell(HWND window, Win32EventLoop& loop) : window_(window), loop_(loop) {}
  bool PrevInstance() override { return instance_.AnotherCopyRuns(kInstanceMutex); }
  void HideFromTaskList() override {
    const LONG_PTR ex = GetWindowLongPtrW(window_, GWL_EXSTYLE);
    SetWindowLongPtrW(window_, GWL_EXSTYLE, (ex | WS_EX_TOOLWINDOW) & ~WS_EX_APPWINDOW);
  }
  void EndProgram() override { loop_.EndProgram(); }

 private:
  HWND window_;
  Win32EventLoop& loop_;
  InstanceObject instance_;
};

std::string CommandArguments() {
  // Everything after the program's own name, as the command line holds it.
  const wchar_t* p = GetCommandLineW();
  if (*p == L'"') {
    ++p;
    while (*p && *p != L'"') ++p;
    if (*p) ++p;
  } else {
    while (*p && *p != L' ' && *p != L'\t') ++p;
  }
  while (*p == L' ' || *p == L'\t') ++p;
  return Narrow(p);
}

// A check loads WinHTTP, CNG and the extraction library and starts a download
// worker; all of it goes when the check ends, since the monitor spends nearly
// all of its life between checks.
class ChecksThatLetGo final : public UpdateChecks {
 public:
  ChecksThatLetGo(Win32Http& inet, CngCrypto& crypto, Win32Unzip& unzip, UpdateChecks& checks)
      : inet_(inet), crypto_(crypto), unzip_(unzip), checks_(checks) {}
  void VerificarSeTemAtualService() override { Run(&UpdateChecks::VerificarSeTemAtualService); }
  void VerificarSeTemAtualExe() override { Run(&UpdateChecks::VerificarSeTemAtualExe); }
  std::optional<uint64_t> ServerWaitMs() override { return checks_.ServerWaitMs(); }
  void RecuperaPendentes() override { Run(&UpdateChecks::RecuperaPendentes); }

 private:
  void Run(void (UpdateChecks::*check)()) {
    struct LetGo {
      ChecksThatLetGo& c;
      ~LetGo() {
        c.inet_.Release();
        c.crypto_.Release();
        c.unzip_.Release();
      }
    } letGo{*this};
    (checks_.*check)();
  }
  Win32Http& inet_;
  CngCrypto& crypto_;
  Win32Unzip& unzip_;
  UpdateChecks& checks_;
};

// What the program is told by its file, its command line, the registry and
// the build it is.
ProgramInfo ReadProgramInfo() {
  ProgramInfo info;
  ModulePath(info.appPath, info.exeName);
  info.commandLine = CommandArguments();
#ifdef QUARN_TRUSTS_TEST_KEY
  info.trustsTestKey = true;
#endif
#ifdef QUARN_TEST_TIMER1_MS
  info.timer1IntervalMs = QUARN_TEST_TIMER1_MS;  // the test build reaches its checks in seconds
  // "-notified-only": the watchdog's timer all but off, so that a restart can
  // only come from the service manager's notification.
  if (info.commandLine == "-notified-only") info.watchdogIntervalMs = 600000;
#endif
#ifdef QUARN_TEST_PROBATION_FLOOR
  info.startDelaySeconds = 0;
  // A crash loop's end in seconds: DWORD CrashLoopRecoverySeconds, read in a test tree only.
  DWORD recovery = 0, size = sizeof recovery;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kSuiteKeyW, L"CrashLoopRecoverySeconds", RRF_RT_REG_DWORD, nullptr, &recovery,
                   &size) == ERROR_SUCCESS &&
      recovery > 0)
    info.crashLoopRecoveredMs = static_cast<uint64_t>(recovery) * 1000;
#else
  info.startDelaySeconds = 60;
#endif
  // Checks spread in time: UpdateStartDelaySeconds (a minute unless set; none
  // in a test tree, whose tests watch the start-up check), a jittered period.
  DWORD startDelay = 0, delaySize = sizeof startDelay;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kSuiteKeyW, L"UpdateStartDelaySeconds", RRF_RT_REG_DWORD, nullptr, &startDelay,
                   &delaySize) == ERROR_SUCCESS)
    info.startDelaySeconds = startDelay;
  info.random = [](uint32_t n) {
    uint32_t v = 0;
    return n == 0 || !SystemRandom(v) ? 0 : v % n;
  };
  return info;
}

#ifdef QUARN_TEST_PROBATION_FLOOR
constexpr uint32_t kProbationFloor = QUARN_TEST_PROBATION_FLOOR;  // a test tree watches a probation end in seconds
#else
constexpr uint32_t kProbationFloor = kProbationMinSeconds;
#endif

// The whole program, each part given at construction what it needs. The
// cycles (the service host and the view call the form, the form runs the
// checks, the updater writes in the form's logs) are references to members
// built further down, only stored until the form is loaded.
struct Monitor {
  explicit Monitor(HWND hwnd)
      : window(hwnd),
        info(ReadProgramInfo()),
        loop(hwnd),
        shell(hwnd, loop),
        service(scm, panel.txtAccount, panel.txtPassword, info.appPath),
        notifications(hwnd, WM_BACKUP_SERVICE_CHANGED),
        policy(kProbationFloor),
        host(hwnd, form),
        view(hwnd, panel, form),
        markers(MarkerPorts{fs, codec, clock, dates, loop, service, fecha}, LogsFolderOf(info.appPath), health),
        checks(inet, crypto, unzip, update.updater),
        form(MonitorPorts{fs, codec, clock, dates, loop, host, shell, markers, checks, service, panel, view, health,
                          &notifications},
             info),
        // The event log's entries and the metrics file, from the watchdog, the markers and the updater.
        health(HealthPorts{fs, codec, clock, dates, loop, host, form.Logs(), &UtcNowSeconds, &MetricsTextfileDirectory,
                           &AdministratorsOnly},
               info.appPath, QUARN_MONITOR_VERSION_TEXT),
        // Only records and builds signed by a trusted key are believed, and none
        // older than the newest installed.
        update(UpdateStackPorts{UpdaterPorts{fs, codec, loop, inet, unzip, server, service, fecha, policy, updateLock},
                                chunks, crypto, updateKeys, publications, health},
               info.appPath, form.Logs(), form.TimerCheckService()) {
#ifdef QUARN_TEST_TIMER1_MS
    server.testDeadline = true;  // a test watches a download give up in seconds
#endif
  }

  HWND window;
  ProgramInfo info;
  Win32FileSystem fs;
  AcpCodec codec;
  Win32Clock clock;
  Win32DateFormat dates;
  Win32EventLoop loop;
  Win32Shell shell;
  Win32ServiceManager scm;
  Win32Processes processes;
  FechaExe fecha{processes};
  ServicePanel panel;
  MonitorServiceControl service;
  Win32ServiceNotifications notifications;
  Win32Http inet;
  Win32Unzip unzip;
  CngCrypto crypto;
  Win32FileChunks chunks;
  RegistryUpdateServer server;
  RegistryUpdateKeys updateKeys{QUARN_COMPILED_UPDATE_KEYS};
  RegistryPublications publications;
  RegistryUpdatePolicy policy;
  UpdateMutex updateLock;
  Win32ServiceHost host;
  Win32PanelView view;
  MonitorMarkers markers;
  ChecksThatLetGo checks;
  FrmBackup form;
  MonitorHealth health;
  UpdateStack update;
};
Monitor* g_monitor = nullptr;
DWORD g_exitCode = 0;
long g_fatalNumber = 0;  // the service's specific exit code

// A failure that reached an event handler without a block of its own ends the
// program, reported in the error log, the event log and on the error stream.
void ReportFatal(const VbError& e) {
  const std::string text = "[" + std::to_string(e.Number()) + "] " + e.Description();
  std::fprintf(stderr, "QuarnSQLServiceMonitor: %s\n", text.c_str());
  try {
    if (g_monitor) g_monitor->form.ErrorBlock(" | Fatal | ", e, kEventFatal);
  } catch (...) {
    // The error stream above has it; the program ends all the same.
  }
  g_exitCode = 1;
  if (g_fatalNumber == 0) g_fatalNumber = e.Number();
}

// Anything but our own error type is a fault no handler foresaw.
void ReportUnexpected() {
  std::string what = "Erro interno";
  try {
    throw;
  } catch (const std::exception& e) {
    what += std::string(": ") + e.what();
  } catch (...) {
  }
  ReportFatal(VbError(kErrInternal, what));
}

LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  try {
    switch (msg) {
      case WM_TIMER:
#ifdef QUARN_TEST_TIMER1_MS
        if (g_failOnTick) throw std::runtime_error("falha de teste no timer");
#endif
        if (g_monitor && g_monitor->loop.OnTimerMessage(wp)) return 0;
        break;
      case WM_COMMAND:
        if (g_monitor && g_monitor->view.OnCommand(wp, lp)) return 0;
        break;
      case WM_SERVICE_REQUEST:
        if (g_monitor) g_monitor->host.HandleRequest(wp);
        return 0;
      case WM_BACKUP_SERVICE_CHANGED:
        if (g_monitor) g_monitor->notifications.OnMessage(wp);
        return 0;
      case WM_CLOSE:
        if (g_monitor) g_monitor->form.Unload();
        return 0;
      default:
        break;
    }
  } catch (const VbError& e) {
    ReportFatal(e);
    if (g_monitor) g_monitor->loop.EndProgram();
    return 0;
  } catch (const ProgramEnd&) {
    return 0;  // the loop already knows; the outer wait unwinds
  } catch (...) {
    // Nothing may cross DispatchMessageW: it would end the process unreported.
    ReportUnexpected();
    if (g_monitor) g_monitor->loop.EndProgram();
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
  LimitLibrarySearchToSystemFolder();
  RegisterMainWindowClass(instance, kWindowClass, WindowProc, COLOR_BTNFACE);
  HWND hwnd = CreateWindowExW(0, kWindowClass, L"Tarvesco Backup Automático",
                              WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, CW_USEDEFAULT, CW_USEDEFAULT,
                              420, 210, nullptr, nullptr, instance, nullptr);
  if (!hwnd) return static_cast<int>(GetLastError());

#ifdef QUARN_TEST_TIMER1_MS
  g_failOnTick = CommandArguments() == "-fail-on-tick";
#endif
  Monitor monitor(hwnd);
  g_monitor = &monitor;
  try {
    if (monitor.form.Form_Load()) {
      ShowWindow(hwnd, SW_SHOWNOACTIVATE);
      monitor.loop.Run();
    }
  } catch (const ProgramEnd&) {
    // The window was unloaded inside a wait of start-up.
  } catch (const VbError& e) {
    ReportFatal(e);
  } catch (...) {
    ReportUnexpected();
  }
  g_monitor = nullptr;
  monitor.host.ReportStopped(static_cast<DWORD>(g_fatalNumber));
  return static_cast<int>(g_exitCode);
}
