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

void LogAppender::Rotate(const std::string& path) {
  // Keep one older generation; the current name starts again as a new file.
  try {
    if (fs_.FileExists(rotatedPath_)) fs_.Delete(rotatedPath_);
    fs_.Rename(path, rotatedPath_);
    known_.reset();
  } catch (const VbError&) {
    // A reader holds a file without delete sharing: this record goes to the
    // current file, and the next one tries the rotation again.
  }
}

void LogAppender::Append(const std::string& path, std::string_view record) {
  std::string tail(record);
  tail.append(kCrLf);
  if (maxBytes_ > 0 && fs_.FileExists(path) && fs_.Stamp(path).size + tail.size() > maxBytes_) Rotate(path);
  const bool exists = fs_.FileExists(path);

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
      ReplaceFile(fs_, path, rewritten);
      normalAfter = IsNormalForm(rewritten);
    }
  }
  // Only a file we know to be in normal form may take the short path next time.
  if (normalAfter) known_ = Known{path, fs_.Stamp(path)};
}

bool RepeatFilter::Pass(const std::string& key, int64_t nowSeconds, uint64_t& repeats) {
  repeats = 0;
  // A clock set back ends the run: its line is written again.
  if (any_ && key == last_ && nowSeconds >= lastAt_ && nowSeconds - lastAt_ < kWindowSeconds) {
    ++held_;
    return false;
  }
  repeats = held_;
  held_ = 0;
  last_ = key;
  lastAt_ = nowSeconds;
  any_ = true;
  return true;
}

std::string RepeatedText(uint64_t repeats) {
  return "Última mensagem repetida " + std::to_string(repeats) + (repeats == 1 ? " vez." : " vezes.");
}

MonitorLogs::MonitorLogs(LogContext ctx)
    : ctx_(std::move(ctx)),
      formatted_(ctx_.fs, kFormattedLogMaxBytes, JoinPath(LogsFolderOf(ctx_.appPath), kFormattedLogOldName)),
      general_(ctx_.fs, kGeneralLogMaxBytes, JoinPath(LogsFolderOf(ctx_.appPath), kGeneralLogOldName)) {}

int64_t MonitorLogs::NowSeconds() const { return ToEpochSeconds(ctx_.clock.Now()); }

void MonitorLogs::FormataRichTextBox(const std::string& strMsg, int32_t vColor, bool vBold) {
  uint64_t repeats = 0;
  if (!formattedRepeats_.Pass(strMsg, NowSeconds(), repeats)) return;
  const std::string stamp = ctx_.dates.LogStamp(ctx_.clock.Now());
  if (repeats > 0) {
    formatted_.Append(FormattedLogPath(),
                      ctx_.codec.ToAnsi(BuildLogRecord(stamp, kFormattedSeparator, RepeatedText(repeats), vColor, false)));
    AppendGeneral(RepeatedText(repeats), vColor, false);
  }
  formatted_.Append(FormattedLogPath(),
                    ctx_.codec.ToAnsi(BuildLogRecord(stamp, kFormattedSeparator, strMsg, vColor, vBold)));
  AppendGeneral(strMsg, vColor, vBold);
}

void MonitorLogs::SalvaLogGeral(const std::string& strMsg, int32_t vColor, bool vBold) {
  uint64_t repeats = 0;
  if (!generalRepeats_.Pass(strMsg, NowSeconds(), repeats)) return;
  if (repeats > 0) AppendGeneral(RepeatedText(repeats), vColor, false);
  AppendGeneral(strMsg, vColor, vBold);
}

void MonitorLogs::AppendGeneral(const std::string& strMsg, int32_t vColor, bool vBold) {
  const std::string record =
      BuildLogRecord(ctx_.dates.LogStamp(ctx_.clock.Now()), kGeneralSeparator, strMsg, vColor, vBold);
  general_.Append(GeneralLogPath(), ctx_.codec.ToAnsi(record));
}

void MonitorLogs::SalvaLogErro(const std::string& strErro) {
  // Callers put their own time in front ("<date> | label | ..."): a repeat is
  // the same text after it.
  std::string key = strErro;
  const size_t bar = strErro.find(" | ");
  LocalTime t;
  if (bar != std::string::npos && ctx_.dates.ParseDate(strErro.substr(0, bar), t)) key = strErro.substr(bar);
  uint64_t repeats = 0;
  if (!errorRepeats_.Pass(key, NowSeconds(), repeats)) return;
  if (repeats > 0) WriteError(RepeatedText(repeats));
  WriteError(strErro);
}

void MonitorLogs::WriteError(const std::string& strErro) {
  const std::string entry =
      ctx_.codec.ToAnsi(ctx_.dates.GeneralDate(ctx_.clock.Now()) + " - " + strErro) + std::string(kCrLf);
  const std::string path = ErrorLogPath();
  FileSystem& fs = ctx_.fs;
  if (!runErrorText_.empty() && runErrorText_.size() + entry.size() > kErrorLogMaxBytes) {
    // This run's errors go on in a new generation; the one before is kept beside it.
    try {
      const std::string old = JoinPath(ctx_.appPath, kErrorLogOldName);
      if (fs.FileExists(old)) fs.Delete(old);
      if (fs.FileExists(path)) fs.Rename(path, old);
      runErrorText_.clear();
      errorStamp_.reset();
    } catch (const VbError&) {
      // Held open by a reader: the entry goes to the current file, and the
      // next one tries the rotation again; nothing of this run is dropped.
    }
  }
  if (runErrorText_.empty()) runErrorText_ = kCrLf;
  const bool asLeft = errorStamp_ && fs.FileExists(path) && fs.Stamp(path) == *errorStamp_;
  errorStamp_.reset();
  runErrorText_ += entry;
  if (asLeft) {
    fs.Append(path, entry);
  } else {
    // The first error of the run replaces what the run before left; a file
    // someone else changed is written again whole.
    ReplaceFile(fs, path, runErrorText_);
  }
  errorStamp_ = fs.Stamp(path);
}

}  // namespace quarn
