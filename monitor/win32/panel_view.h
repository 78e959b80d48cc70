#pragma once
// frmBackup's controls on Win32: the service panel drawn from ServicePanel, and
// the user's input fed back into it.
#include <windows.h>

#include "monitor/frm_backup.h"

namespace quarn::win {

class Win32PanelView final : public PanelView {
 public:
  // Creates the controls inside the window; the user's input goes to `form`,
  // which is only kept until the window runs.
  Win32PanelView(HWND window, ServicePanel& panel, FrmBackup& form);

  void BeginUpdate() override;
  void EndUpdate() override;
  void Show() override;

  // The window procedure hands its WM_COMMAND here; true when handled.
  bool OnCommand(WPARAM wp, LPARAM lp);

 private:
  void Render();
  HWND window_;
  HWND picture1_ = nullptr;
  HWND label3_ = nullptr, txtAccount_ = nullptr, label2_ = nullptr, txtPassword_ = nullptr;
  HWND chkSystem_ = nullptr, lblInstall_ = nullptr, lblStart_ = nullptr, txtZip_ = nullptr;
  ServicePanel& panel_;
  FrmBackup& form_;
  int depth_ = 0;
  bool rendering_ = false;
};

}  // namespace quarn::win
