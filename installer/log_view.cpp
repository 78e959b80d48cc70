#include "installer/log_view.h"

namespace quarn {

LogView::LogView(FileSystem& fs, Clock& clock, DateFormat& dates, const TextCodec& codec, std::string path)
    : fs_(fs), clock_(clock), dates_(dates), codec_(codec), path_(std::move(path)) {}

void LogView::SetStep(int, const std::string& caption, StepLook look) {
  switch (look) {
    case StepLook::Waiting:
      return;  // the panel as drawn at start-up
    case StepLook::Current:
      Line(caption + " (em andamento)");
      return;
    case StepLook::Done:
      Line(caption + " (concluído)");
      return;
    case StepLook::Failed:
      Line(caption + " (falhou)");
      return;
  }
}

void LogView::ShowFailurePanel(const std::vector<std::string>& failures) {
  Line(kFailureTitle);
  for (const auto& f : failures) Line(f);
}

void LogView::Line(std::string text) {
  if (!writable_) return;
  // One line per entry: a message's own line breaks become " - ".
  for (size_t at; (at = text.find("\r\n")) != std::string::npos;) text.replace(at, 2, " - ");
  try {
    const std::string line = codec_.ToAnsi(dates_.LogStamp(clock_.Now()) + " " + text) + std::string(kCrLf);
    if (fs_.FileExists(path_))
      fs_.Append(path_, line);
    else
      fs_.WriteAll(path_, line);
  } catch (const VbError&) {
    writable_ = false;
  }
}

}  // namespace quarn
