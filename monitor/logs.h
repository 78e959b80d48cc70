#pragma once
// The monitor's three logs: the formatted log the GUI monitor shows, the general
// log that keeps every report, and the error log of the current run.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/ansi_text.h"
#include "common/file_system.h"
#include "common/suite_files.h"
#include "common/time_text.h"

namespace quarn {

inline constexpr int32_t kCorAzul = 16711680;
inline constexpr int32_t kCorVermelha = 255;
inline constexpr int32_t kCorPreta = 0;

inline constexpr std::string_view kFormattedSeparator = " ";
inline constexpr std::string_view kGeneralSeparator = " - QuarnSQLServiceMonitor - ";

// One record: stamp, separator, bold padded to 6, colour padded to 12, message.
std::string BuildLogRecord(std::string_view stamp, std::string_view separator, std::string_view message, int32_t color,
                           bool bold);

// True when the bytes are non-empty lines each ended by CRLF: appending a record
// to such a file gives the same bytes as reading and rewriting it whole.
bool IsNormalForm(std::string_view bytes);

// What a record appended to a file with these bytes leaves on disk: the file's
// non-empty lines joined by CRLF, CRLF, the record, CRLF.
std::string RewriteWithRecord(std::string_view existing, std::string_view record);

// Appends records to one log file. Appending onto a file known to be in normal
// form writes only the record; anything else is read and rewritten whole, so the
// bytes on disk never depend on which path was taken.
class LogAppender {
 public:
  // maxBytes > 0 rotates the file to rotatedPath before it would grow past it.
  LogAppender(FileSystem& fs, uint64_t maxBytes = 0, std::string rotatedPath = {})
      : fs_(fs), maxBytes_(maxBytes), rotatedPath_(std::move(rotatedPath)) {}
  void Append(const std::string& path, std::string_view recordAnsi);
  // Counts full reads, for tests and benchmarks.
  uint64_t FullReads() const { return fullReads_; }

 private:
  struct Known {
    std::string path;
    FileStamp stamp;
  };
  void Rotate(const std::string& path);
  FileSystem& fs_;
  uint64_t maxBytes_;
  std::string rotatedPath_;
  std::optional<Known> known_;  // the file as we last left it, in normal form
  uint64_t fullReads_ = 0;
};

// Holds back a line that repeats the one before it within a minute; when the
// run of repeats ends, the caller writes how many there were before the next line.
class RepeatFilter {
 public:
  static constexpr int64_t kWindowSeconds = 60;
  // True when the line is to be written; `repeats` is then the count held back before it.
  bool Pass(const std::string& key, int64_t nowSeconds, uint64_t& repeats);

 private:
  std::string last_;
  int64_t lastAt_ = 0;
  uint64_t held_ = 0;
  bool any_ = false;
};

// The line that counts a run of repeats.
std::string RepeatedText(uint64_t repeats);

struct LogContext {
  FileSystem& fs;
  const TextCodec& codec;
  Clock& clock;
  DateFormat& dates;
  std::string appPath;
};

class MonitorLogs {
 public:
  // Each log keeps one older generation beside it ("<name>.1.<ext>").
  static constexpr uint64_t kGeneralLogMaxBytes = 8ull << 20;
  static constexpr uint64_t kFormattedLogMaxBytes = 1ull << 20;
  static constexpr uint64_t kErrorLogMaxBytes = 1ull << 20;

  explicit MonitorLogs(LogContext ctx);
  void FormataRichTextBox(const std::string& strMsg, int32_t vColor, bool vBold);
  void SalvaLogGeral(const std::string& strMsg, int32_t vColor, bool vBold);
  void SalvaLogErro(const std::string& strErro);

  std::string FormattedLogPath() const { return JoinPath(LogsFolderOf(ctx_.appPath), kFormattedLogName); }
  std::string GeneralLogPath() const { return JoinPath(LogsFolderOf(ctx_.appPath), kGeneralLogName); }
  std::string ErrorLogPath() const { return JoinPath(ctx_.appPath, kErrorLogName); }

 private:
  int64_t NowSeconds() const;
  void AppendGeneral(const std::string& strMsg, int32_t vColor, bool vBold);
  void WriteError(const std::string& entry);
  LogContext ctx_;
  LogAppender formatted_;
  LogAppender general_;
  RepeatFilter formattedRepeats_, generalRepeats_, errorRepeats_;
  // This run's errors as the file holds them (the current generation), and
  // the file as we last left it: the next entry is appended to it.
  std::string runErrorText_;
  std::optional<FileStamp> errorStamp_;
};

}  // namespace quarn
