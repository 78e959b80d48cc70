#pragma once
// The installer's ports on Windows, besides its view.
#include <windows.h>

#include <memory>
#include <string>

#include "common/win32/win_event_loop.h"
#include "installer/frm_instal.h"

namespace quarn::win {

// The payload: resources of type CUSTOM in Portuguese (Brazil) in the installer's own file.
class Win32PayloadResources final : public PayloadResources {
 public:
  std::string Read(const std::string& name) override;
};

// The machine as the installer sees it; EndProgram ends `loop`.
std::unique_ptr<InstallerPlatform> MakeInstallerPlatform(Win32EventLoop& loop);

}  // namespace quarn::win
