#pragma once
// Local date and time, and the two ways the suite writes it.
#include <cstdint>
#include <string>

namespace quarn {

struct LocalTime {
  int year = 1899, month = 12, day = 30, hour = 0, minute = 0, second = 0;
  friend bool operator==(const LocalTime& a, const LocalTime& b) {
    return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour && a.minute == b.minute &&
           a.second == b.second;
  }
};

// Days since 1970-01-01 (proleptic Gregorian), and back.
int64_t DaysFromCivil(int year, int month, int day);
LocalTime FromEpochSeconds(int64_t seconds);
int64_t ToEpochSeconds(const LocalTime& t);

// "dd/MM/yyyy HH:mm:ss" with the system's date and time separators.
std::string FormatLogStamp(const LocalTime& t, std::string_view dateSep = "/", std::string_view timeSep = ":");

class Clock {
 public:
  virtual ~Clock() = default;
  virtual LocalTime Now() = 0;
};

// The system's own date texts.
class DateFormat {
 public:
  virtual ~DateFormat() = default;
  // Short date, a space, long time; the date alone at exactly midnight.
  virtual std::string GeneralDate(const LocalTime& t) = 0;
  // The logs' fixed "dd/MM/yyyy HH:mm:ss" with the system's separators.
  virtual std::string LogStamp(const LocalTime& t) = 0;
  // The system's date conversion of a text; false when it is not a date.
  virtual bool ParseDate(const std::string& text, LocalTime& out) = 0;
};

// Minute boundaries from one time to another, seconds ignored: 10:00:59 to
// 10:01:00 is 1. Negative when `to` is earlier.
int64_t MinuteBoundaries(const LocalTime& from, const LocalTime& to);

// What a Brazilian-Portuguese system writes: "07/12/2026 05:58:36".
class PtBrDateFormat final : public DateFormat {
 public:
  std::string GeneralDate(const LocalTime& t) override;
  std::string LogStamp(const LocalTime& t) override { return FormatLogStamp(t); }
  // "d/M/yyyy", optionally followed by "H:mm" or "H:mm:ss".
  bool ParseDate(const std::string& text, LocalTime& out) override;
};

}  // namespace quarn
