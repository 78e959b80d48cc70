#pragma once
// The formatted log as the GUI monitor shows it: records read back from the
// bytes the service monitor writes, and the rows of the list that shows them.
// Portable on purpose (no <windows.h>), so the parsing is tested on its own.
//
// A record line is "dd/MM/yyyy HH:mm:ss", one space, "True"/"False" padded to 6,
// the colour in decimal padded to 12, then the message. A message may hold line
// breaks, so a line that is not a record continues the record before it.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarn::gui {

inline constexpr size_t kStampWidth = 19;
inline constexpr size_t kBoldWidth = 6;
inline constexpr size_t kColorWidth = 12;
inline constexpr size_t kMessageColumn = kStampWidth + 1 + kBoldWidth + kColorWidth;  // 38
inline constexpr int32_t kDefaultColor = 0;                                           // black

struct LogRecord {
  std::string stamp;  // empty for text found before the first record
  bool bold = false;
  int32_t color = kDefaultColor;
  std::string text;  // ANSI bytes as on disk; continuation lines joined by '\n'
};

// One row of the list: a piece of a record's text between line breaks.
struct LogRow {
  uint32_t record;
  uint32_t offset;  // into the record's text
  uint32_t length;
  bool head;  // the record's first row, the one that shows the time stamp
};

struct FormattedLog {
  std::vector<LogRecord> records;
  std::vector<LogRow> rows;
  size_t widestRow = 0;  // in bytes, to size the horizontal scroll range
};

namespace detail {

inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The stamp the monitor writes, with the locale's date and time separators:
// two-digit fields, a four-digit year, one space between date and time.
inline bool IsStamp(std::string_view s) {
  if (s.size() != kStampWidth || s[10] != ' ') return false;
  for (size_t i : {0, 1, 3, 4, 6, 7, 8, 9, 11, 12, 14, 15, 17, 18})
    if (!IsDigit(s[i])) return false;
  for (size_t i : {2, 5, 13, 16})
    if (IsDigit(s[i]) || s[i] == ' ' || static_cast<unsigned char>(s[i]) < 0x20) return false;
  return true;
}

// A field padded with spaces on the right: its text without the padding.
inline std::string_view Unpad(std::string_view field) {
  while (!field.empty() && field.back() == ' ') field.remove_suffix(1);
  return field;
}

inline bool ParseColor(std::string_view field, int32_t& out) {
  field = Unpad(field);
  bool negative = false;
  if (!field.empty() && field.front() == '-') {
    negative = true;
    field.remove_prefix(1);
  }
  if (field.empty() || field.size() > 10) return false;
  int64_t v = 0;
  for (char c : field) {
    if (!IsDigit(c)) return false;
    v = v * 10 + (c - '0');
  }
  if (negative) v = -v;
  if (v < INT32_MIN || v > INT32_MAX) return false;
  out = static_cast<int32_t>(v);
  return true;
}

}  // namespace detail

// The record a line holds, or nothing when the line is not a record line.
inline std::optional<LogRecord> ParseRecordLine(std::string_view line) {
  if (line.size() < kMessageColumn) return std::nullopt;
  const std::string_view stamp = line.substr(0, kStampWidth);
  if (!detail::IsStamp(stamp) || line[kStampWidth] != ' ') return std::nullopt;
  LogRecord r;
  const std::string_view bold = detail::Unpad(line.substr(kStampWidth + 1, kBoldWidth));
  if (bold == "True")
    r.bold = true;
  else if (bold != "False")
    return std::nullopt;
  if (!detail::ParseColor(line.substr(kStampWidth + 1 + kBoldWidth, kColorWidth), r.color)) return std::nullopt;
  r.stamp.assign(stamp);
  r.text.assign(line.substr(kMessageColumn));
  return r;
}

// The colour to draw a record in, as a Windows colour value 0x00BBGGRR. A value
// that is no plain colour (negative, or with bits above blue) draws as text
// without a colour would: black.
inline uint32_t DisplayColor(int32_t color) {
  return color >= 0 && color <= 0xFFFFFF ? static_cast<uint32_t>(color) : static_cast<uint32_t>(kDefaultColor);
}

// Reads the whole file. Lines end at CR or CRLF, as the suite reads its files;
// a lone LF stays in the text and breaks the row there. Empty lines carry
// nothing: the monitor drops them itself whenever it rewrites the file.
inline FormattedLog ParseFormattedLog(std::string_view bytes) {
  FormattedLog log;
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t end = pos;
    while (end < bytes.size() && bytes[end] != '\r') ++end;
    const std::string_view line = bytes.substr(pos, end - pos);
    pos = end + 1;
    if (pos < bytes.size() && bytes[pos - 1] == '\r' && bytes[pos] == '\n') ++pos;
    if (line.empty()) continue;
    if (auto record = ParseRecordLine(line)) {
      log.records.push_back(std::move(*record));
    } else if (!log.records.empty()) {
      log.records.back().text.append(1, '\n').append(line);
    } else {
      // Text before any record (a cut file): shown as it is rather than lost.
      log.records.push_back(LogRecord{{}, false, kDefaultColor, std::string(line)});
    }
  }
  for (uint32_t i = 0; i < log.records.size(); ++i) {
    const std::string& text = log.records[i].text;
    size_t start = 0;
    bool head = true;
    for (;;) {
      size_t nl = text.find('\n', start);
      const size_t stop = nl == std::string::npos ? text.size() : nl;
      // A break at the very end of a message opens no row of its own.
      if (!head && start == text.size()) break;
      log.rows.push_back(LogRow{i, static_cast<uint32_t>(start), static_cast<uint32_t>(stop - start), head});
      if (stop - start > log.widestRow) log.widestRow = stop - start;
      head = false;
      if (nl == std::string::npos) break;
      start = nl + 1;
    }
  }
  return log;
}

inline std::string_view RowText(const FormattedLog& log, const LogRow& row) {
  return std::string_view(log.records[row.record].text).substr(row.offset, row.length);
}

// The first line of a small status file (a version or a heartbeat time), or
// empty when there is none.
inline std::string FirstLine(std::string_view bytes) {
  size_t start = 0;
  while (start < bytes.size() && (bytes[start] == '\r' || bytes[start] == '\n')) ++start;
  size_t end = start;
  while (end < bytes.size() && bytes[end] != '\r' && bytes[end] != '\n') ++end;
  std::string_view line = bytes.substr(start, end - start);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
  return std::string(line);
}

}  // namespace quarn::gui
