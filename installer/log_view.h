#pragma once
// The installer's window as a silent run keeps it: every caption, panel and
// message it would have shown, one dated line each, in a log file.
#include <string>
#include <vector>

#include "common/ansi_text.h"
#include "common/file_system.h"
#include "common/time_text.h"
#include "installer/frm_instal.h"

namespace quarn {

class LogView final : public InstallerView {
 public:
  // Adds to the file: runs follow one another in it, and a second copy that
  // ends at once does not wipe the log of the one running. A log that cannot
  // be written loses its lines, never the run.
  LogView(FileSystem& fs, Clock& clock, DateFormat& dates, const TextCodec& codec, std::string path);

  void SetVersionLine(const std::string& text) override { Line(text); }
  void SetStep(int index, const std::string& caption, StepLook look) override;
  void ShowWindow() override {}
  void ShowSuccessPanel() override { Line("Quarn SQL Server instalado com sucesso."); }
  void ShowFailurePanel(const std::vector<std::string>& failures) override;
  void CloseWindow() override {}
  void ShowLoadHost(bool) override {}
  bool AdoptWindow(const std::string&) override { return false; }
  void MessageBoxOk(const std::string& text) override { Line("Mensagem: " + text); }
  void Note(const std::string& text) override { Line(text); }

 private:
  void Line(std::string text);
  FileSystem& fs_;
  Clock& clock_;
  DateFormat& dates_;
  const TextCodec& codec_;
  std::string path_;
  bool writable_ = true;
};

}  // namespace quarn
