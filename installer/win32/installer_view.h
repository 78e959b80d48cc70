#pragma once
// The installer's views on Windows: its window, and the message-box-only view
// of an uninstall run from the list of installed programs.
#include <windows.h>

#include <memory>

#include "common/win32/win_event_loop.h"
#include "installer/frm_instal.h"

namespace quarn::win {

// The command a click on "Finalizar" sends to the installer's window.
inline constexpr int kIdFechar = 200;

// The class of the window's panels; registered once, before any view is made.
void RegisterPanelClass(HINSTANCE instance);
// The installer's window, laid out inside `window`; closing it ends `loop`.
std::unique_ptr<InstallerView> MakeInstallerWindowView(HINSTANCE instance, HWND window, Win32EventLoop& loop);
// No window: only the closing message.
std::unique_ptr<InstallerView> MakeUninstallView();

}  // namespace quarn::win
