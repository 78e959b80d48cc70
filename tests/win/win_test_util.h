#pragma once
// Helpers for the Windows tests: the built programs, real processes and the
// real service manager of the Wine prefix the harness prepared.
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "common/suite_files.h"
#include "common/win32/handles.h"

namespace quarn::wintest {

// The suite's two services, by the names the service manager knows.
inline constexpr wchar_t kMonitorService[] = L"" QUARN_MONITOR_SERVICE_STEM;
inline constexpr wchar_t kBackupService[] = L"" QUARN_BACKUP_SERVICE_STEM;

// build/win/bin, the folder of the programs under test.
std::wstring BinFolder();
// build/win/tests, the folder of the tests and their helper programs.
std::wstring TestsFolder();
// A fresh folder under C:\ whose name holds a space, for one test's install.
std::wstring FreshFolder(const std::wstring& name);
void CopyProgram(const std::wstring& program, const std::wstring& toFolder);
// Copies a helper program of the tests into a folder under another name.
void CopyHelper(const std::wstring& helper, const std::wstring& toPath);

std::string ReadFileBytes(const std::wstring& path);
bool Exists(const std::wstring& path);

// Starts a program with arguments; returns its process handle.
win::UniqueKernel Launch(const std::wstring& exe, const std::wstring& args);
// Waits for a process to end; its exit code, or STILL_ACTIVE on time-out.
DWORD WaitExit(HANDLE process, DWORD ms);

bool WaitFor(const std::function<bool()>& condition, DWORD ms);
// Copies a file over another, again and again within the wait: a stopped
// service's process may still hold its program file for a moment.
bool CopyOver(const std::wstring& from, const std::wstring& to, DWORD ms = 10000);
// The service's state, or 0 when it cannot be read.
DWORD ServiceState(const wchar_t* name);
bool ServiceExists(const wchar_t* name);
DWORD ControlService(const wchar_t* name, DWORD control);
DWORD StartServiceByName(const wchar_t* name);
// Creates a service directly, for services the tests install themselves.
DWORD CreateOwnService(const wchar_t* name, const std::wstring& commandLine);
DWORD DeleteServiceByName(const wchar_t* name);
// Stops (bounded) and deletes a service, ignoring what does not exist.
void RemoveService(const wchar_t* name);
// Removes both services of the suite and ends every program of it.
void EndSuite();
// The installer's controls record their registration in the registry.
bool ControlRegistered(const wchar_t* control);
// Ends every process of that file name.
void KillProgram(const wchar_t* exeName);
int CountProcesses(const wchar_t* exeName);
// What the services of this session wrote to the event log so far, one entry a
// line as Wine prints it (ReportEventW L"text").
std::string EventLogText();
// EventMessageFile of the monitor's event source, lower-cased; "" when it is not registered.
std::wstring EventMessageFile();

// The process id of a running service, or 0.
DWORD ServicePid(const wchar_t* name);
struct ServiceConfig {
  std::wstring path, account;
  DWORD startType = 0, type = 0;
};
// As the service manager holds it; empty when the service cannot be read.
ServiceConfig QueryConfig(const wchar_t* name);

// A variable of the test session's environment, or "".
std::string Env(const char* name);
// The path (under drive Z:) of a file the session's update server publishes.
std::string UpdateServerFile(const std::string& name);
// A host path of the session (a variable's value) as Windows sees it, under Z:.
std::string HostPath(const std::string& unixPath);
// Adds a certificate (DER) to the machine's trusted roots, as an
// administrator's tools would (Wine's certutil -addstore does nothing), or
// takes it away. A process's chain engine keeps the roots it first read.
bool SetMachineRoot(const std::string& derFile, bool trusted);
// The machine's WinHTTP proxy, as netsh winhttp set proxy writes it; an empty
// proxy sets none.
bool SetMachineProxy(const std::wstring& proxy, const std::wstring& bypass = L"");
// Points the suite at an update server (HKLM\SOFTWARE\Solvane\Quarn SQL).
void SetUpdateServer(const std::string& url);
// The administrator's opt-out for unsigned builds (DWORD AllowUnsignedUpdates):
// the scripted server's publications are unsigned, nginx's are signed.
void SetAllowUnsigned(bool allow);
// UpdateProbationSeconds: a test tree's monitor takes as little as 2 s.
void SetProbationSeconds(DWORD seconds);
// The messages of a formatted log, in order, with the record's fixed fields
// (date, source, bold flag, colour) cut off; the colours when asked for.
std::vector<std::string> LogMessages(const std::wstring& file, std::vector<int>* colors = nullptr);

// Deletes a folder and everything below it; nothing when it is missing.
void RemoveTree(const std::wstring& folder);
// A visible top-level window with this title (and class, when given), or null.
HWND FindTopWindow(const wchar_t* title, const wchar_t* className = nullptr);
// A top-level window of that process with this title, shown or not, or null.
HWND FindProcessWindow(DWORD pid, const wchar_t* title);
// A descendant window whose text is exactly this, or null.
HWND FindChildByText(HWND parent, const std::wstring& text);
// Waits for the installer's window to show its success panel; the window, or
// null when it does not within the wait.
HWND WaitInstallerSuccess(DWORD ms);
// Saves what the screen shows of a window as a BMP under the folder named by
// QUARN_SCREENSHOTS (a host path), when that is set; returns the file's path.
std::wstring SaveScreenshot(HWND window, const std::wstring& name);

}  // namespace quarn::wintest
