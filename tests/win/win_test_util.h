#pragma once
// Helpers for the Windows tests: the built programs, real processes and the
// real service manager of the Wine prefix the harness prepared.
#include <windows.h>

#include <functional>
#include <string>

#include "common/win32/handles.h"

namespace quarn::wintest {

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
// Ends every process of that file name.
void KillProgram(const wchar_t* exeName);
int CountProcesses(const wchar_t* exeName);
// What the services of this session wrote to the event log so far, one entry a
// line as Wine prints it (ReportEventW L"text").
std::string EventLogText();

// Deletes a folder and everything below it; nothing when it is missing.
void RemoveTree(const std::wstring& folder);
// A visible top-level window with this title (and class, when given), or null.
HWND FindTopWindow(const wchar_t* title, const wchar_t* className = nullptr);
// A descendant window whose text is exactly this, or null.
HWND FindChildByText(HWND parent, const std::wstring& text);
// Saves what the screen shows of a window as a BMP under the folder named by
// QUARN_SCREENSHOTS (a host path), when that is set; returns the file's path.
std::wstring SaveScreenshot(HWND window, const std::wstring& name);

}  // namespace quarn::wintest
