#include "monitor/logs.h"

#include <string>

#include "common/errors.h"

namespace quarn {

namespace {
void PadTo(std::string& out, std::string_view text, size_t width) {
  out.append(text);
  if (text.size() < width) out.append(width - text.size(), ' ');
}
}  // namespace

std::string BuildLogRecord(std::string_view stamp, std::string_view separator, std::string_view message, int32_t color,
                           bool bold) {
  std::string r;
  r.reserve(stamp.size() + separator.size() + 18 + message.size());
  r.append(stamp).append(separator);
  PadTo(r, bold ? "True" : "False", 6);
  PadTo(r, std::to_string(color), 12);
  r.append(message);
  return r;
}

bool IsNormalForm(std::string_view b) {
  if (b.size() < 3 || b.substr(b.size() - 2) != kCrLf) return false;
  size_t lineStart = 0;
  for (size_t i = 0; i < b.size(); ++i) {
    if (b[i] != '\r') continue;
    if (i + 1 >= b.size() || b[i + 1] != '\n') return false;  // a lone CR ends a line too: not CRLF form
    if (i == lineStart) return false;                         // empty line
    ++i;
    lineStart = i + 1;
  }
  return true;
}

std::string RewriteWithRecord(std::string_view existing, std::string_view record) {
  std::string out;
  out.reserve(existing.size() + record.size() + 4);
  bool first = true;
  for (auto& line : SplitLines(existing)) {
    if (line.empty()) continue;
    if (!first) out.append(kCrLf);
    out.append(line);
    first = false;
  }
  out.append(kCrLf).append(record).append(kCrLf);
  return out;
}

void LogAppender::Append(const std::string& path, std::string_view record) {
  std::string tail(record);
  tail.append(kCrLf);
  bool exists = fs_.FileExists(path);

  if (exists && maxBytes_ > 0 && fs_.Stamp(path).size + tail.size() > maxBytes_) {
    // Keep one older generation; the current name starts again as a new file.
    try {
      if (fs_.FileExists(rotatedPath_)) fs_.Delete(rotatedPath_);
      fs_.Rename(path, rotatedPath_);
      known_.reset();
      exists = false;
    } catch (const VbError&) {
      // A reader holds a file without delete sharing: this record goes to the
      // current file, and the next one tries the rotation again.
    }
  }

  bool normalAfter = false;
  const bool knownNormal = exists && known_ && known_->path == path && fs_.Stamp(path) == known_->stamp;
  known_.reset();
  if (knownNormal) {
    fs_.Append(path, tail);
    normalAfter = IsNormalForm(tail);
  } else {
    std::string content;
    if (exists) {
      ++fullReads_;
      content = fs_.ReadAll(path);
    }
    if (exists && IsNormalForm(content)) {
      fs_.Append(path, tail);
      normalAfter = IsNormalForm(tail);
    } else {
      const std::string rewritten = RewriteWithRecord(content, record);
      fs_.WriteAll(path, rewritten);
      normalAfter = IsNormalForm(rewritten);
    }
  }
  // Only a file we know to be in normal form may take the short path next time.
  if (normalAfter) known_ = Known{path, fs_.Stamp(path)};
}

MonitorLogs::MonitorLogs(LogContext ctx)
    : ctx_(std::move(ctx)),
      formatted_(ctx_.fs),
      general_(ctx_.fs, kGeneralLogMaxBytes, JoinPath(LogsFolderOf(ctx_.appPath), kGeneralLogOldName)) {}

void MonitorLogs::FormataRichTextBox(const std::string& strMsg, int32_t vColor, bool vBold) {
  const std::string record =
      BuildLogRecord(ctx_.dates.LogStamp(ctx_.clock.Now()), kFormattedSeparator, strMsg, vColor, vBold);
  formatted_.Append(FormattedLogPath(), ctx_.codec.ToAnsi(record));
  SalvaLogGeral(strMsg, vColor, vBold);
}

void MonitorLogs::SalvaLogGeral(const std::string& strMsg, int32_t vColor, bool vBold) {
  const std::string record =
      BuildLogRecord(ctx_.dates.LogStamp(ctx_.clock.Now()), kGeneralSeparator, strMsg, vColor, vBold);
  general_.Append(GeneralLogPath(), ctx_.codec.ToAnsi(record));
}

void MonitorLogs::SalvaLogErro(const std::string& strErro) {
  runErrorText_.append(kCrLf).append(ctx_.dates.GeneralDate(ctx_.clock.Now())).append(" - ").append(strErro);
  std::string text = runErrorText_;
  text.append(kCrLf);
  ctx_.fs.WriteAll(ErrorLogPath(), ctx_.codec.ToAnsi(text));
}

}  // namespace quarn
