// InstaladorQuarnSQL.exe: the entry point. It reads the switches, makes the
// window (or a message-only one) and the ports, and runs the installation or
// the removal; the view and the platform adapter live beside it.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "common/win32/handles.h"
#include "common/win32/library_search.h"
#include "common/win32/service_manager_win32.h"
#include "common/win32/win_event_loop.h"
#include "common/win32/win_platform.h"
#include "installer/frm_instal.h"
#include "installer/log_view.h"
#include "installer/win32/installer_platform.h"
#include "installer/win32/installer_view.h"

using namespace quarn;
using namespace quarn::win;

namespace {

constexpr wchar_t kWindowClass[] = L"InstaladorQuarnSQL.frmInstal";

Win32EventLoop* g_loop = nullptr;
FrmInstal* g_form = nullptr;

// A failure the window procedure caught; the program's entry reports it.
std::string g_fatal;

void EndWithFailure(std::string text) {
  if (g_fatal.empty()) g_fatal = std::move(text);
  if (g_loop) g_loop->EndProgram();
}

LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  try {
    switch (msg) {
      case WM_TIMER:
        if (g_loop && g_loop->OnTimerMessage(wp)) return 0;
        break;
      case WM_KEYDOWN:
        if (g_form) g_form->Form_KeyDown(static_cast<int>(wp));
        return 0;
      case WM_COMMAND:
        if (LOWORD(wp) == kIdFechar && g_form) {
          g_form->pctFechar_Click();
          return 0;
        }
        break;
      case WM_CLOSE:
        if (g_loop) g_loop->EndProgram();
        return 0;
      default:
        break;
    }
  } catch (const ProgramEnd&) {
    return 0;
  } catch (const VbError& e) {
    // Nothing may cross DispatchMessageW: it would end the process unreported.
    EndWithFailure(e.Description());
    return 0;
  } catch (const std::exception& e) {
    EndWithFailure(std::string("Erro interno: ") + e.what());
    return 0;
  } catch (...) {
    EndWithFailure("Erro interno");
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
  LimitLibrarySearchToSystemFolder();
  RegisterMainWindowClass(instance, kWindowClass, WindowProc, COLOR_WINDOW, LoadIconW(nullptr, IDI_APPLICATION));
  RegisterPanelClass(instance);

  // The switches; the log's default place is the Temp folder of whoever runs it.
  std::vector<std::string> args;
  int argc = 0;
  if (const UniqueLocal<LPWSTR*> argv{CommandLineToArgvW(GetCommandLineW(), &argc)}) {
    for (int i = 1; i < argc; ++i) args.push_back(Narrow(argv.get()[i]));
  }
  wchar_t temp[MAX_PATH + 1];
  const DWORD tempLen = GetTempPathW(MAX_PATH + 1, temp);
  const CommandLine cl = ParseCommandLine(args, JoinPath(Narrow(std::wstring(temp, tempLen)), kDefaultLogName));

  Win32FileSystem fs;
  Win32Clock clock;
  Win32DateFormat dates;
  AcpCodec codec;
  if (!cl.ok) {
    if (cl.quiet)
      LogView(fs, clock, dates, codec, cl.logPath).MessageBoxOk(cl.error);
    else
      MessageBoxW(nullptr, Widen(cl.error).c_str(), Widen(kInstallerTitle).c_str(), MB_OK | MB_ICONERROR);
    return kExitBadCommandLine;
  }

  // Only an installation with a person watching has a window on the screen; the
  // others keep a message-only one for their timers.
  const bool windowed = !cl.quiet && !cl.uninstall;
  HWND hwnd =
      windowed ? CreateWindowExW(0, kWindowClass, Widen(kInstallerTitle).c_str(), WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN,
                                 0, 0, 800, 300, nullptr, nullptr, instance, nullptr)
               : CreateWindowExW(0, kWindowClass, Widen(kInstallerTitle).c_str(), 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 instance, nullptr);
  if (!hwnd) return kExitUnexpected;

  Win32EventLoop loop(hwnd);
  std::unique_ptr<InstallerView> view;
  if (cl.quiet)
    view = std::make_unique<LogView>(fs, clock, dates, codec, cl.logPath);
  else if (cl.uninstall)
    view = MakeUninstallView();
  else
    view = MakeInstallerWindowView(instance, hwnd, loop);
  Win32PayloadResources resources;
  const std::unique_ptr<InstallerPlatform> platform = MakeInstallerPlatform(loop);
  Win32ServiceManager scm;
  InstallerServiceControl control(scm);
  Win32Processes processes;
  FechaExe fecha(processes);
  InstallerInfo info;
  ModulePath(info.exeFolder, info.exeName);
  info.quiet = cl.quiet;
  FrmInstal form(InstallerPorts{fs, clock, dates, loop, *view, resources, *platform, control, fecha}, info);
  g_loop = &loop;
  g_form = windowed ? &form : nullptr;

  const ULONGLONG started = GetTickCount64();
  int code = kExitOk;
  try {
    if (cl.uninstall) {
      form.Desinstalar(cl.purge);
    } else if (form.Form_Load() && windowed) {
      loop.Run();
    }
    code = form.ExitCode();
  } catch (const ProgramEnd&) {
    // Esc, or the window closed: the installer ends at once.
    code = form.ExitCode();
  } catch (const VbError& e) {
    g_fatal = e.Description();
  } catch (const std::exception& e) {
    g_fatal = std::string("Erro interno: ") + e.what();
  } catch (...) {
    g_fatal = "Erro interno";
  }
  if (!g_fatal.empty()) {
    if (windowed)
      MessageBoxW(hwnd, Widen(g_fatal).c_str(), Widen(kInstallerTitle).c_str(), MB_OK | MB_ICONERROR);
    else
      view->MessageBoxOk(g_fatal);
    code = kExitUnexpected;
  }
  char took[32];
  snprintf(took, sizeof took, "%.1f", (GetTickCount64() - started) / 1000.0);
  view->Note("Código de saída: " + std::to_string(code) + " (" + took + " s)");
  g_form = nullptr;
  g_loop = nullptr;
  return code;
}
