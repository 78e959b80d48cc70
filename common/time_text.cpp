#include "common/time_text.h"

#include <cstdio>

namespace quarn {

// Howard Hinnant's civil-day algorithms.
int64_t DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

LocalTime FromEpochSeconds(int64_t s) {
  int64_t days = s / 86400;
  int64_t rem = s % 86400;
  if (rem < 0) {
    rem += 86400;
    --days;
  }
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  LocalTime t;
  t.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  t.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  t.year = static_cast<int>(yoe + era * 400 + (t.month <= 2));
  t.hour = static_cast<int>(rem / 3600);
  t.minute = static_cast<int>(rem / 60 % 60);
  t.second = static_cast<int>(rem % 60);
  return t;
}

int64_t ToEpochSeconds(const LocalTime& t) {
  return DaysFromCivil(t.year, t.month, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

std::string FormatLogStamp(const LocalTime& t, std::string_view ds, std::string_view ts) {
  char d[8][8];
  std::snprintf(d[0], sizeof d[0], "%02d", t.day);
  std::snprintf(d[1], sizeof d[1], "%02d", t.month);
  std::snprintf(d[2], sizeof d[2], "%04d", t.year);
  std::snprintf(d[3], sizeof d[3], "%02d", t.hour);
  std::snprintf(d[4], sizeof d[4], "%02d", t.minute);
  std::snprintf(d[5], sizeof d[5], "%02d", t.second);
  std::string out;
  out.append(d[0]).append(ds).append(d[1]).append(ds).append(d[2]).append(" ");
  out.append(d[3]).append(ts).append(d[4]).append(ts).append(d[5]);
  return out;
}

int64_t MinuteBoundaries(const LocalTime& from, const LocalTime& to) {
  auto minutes = [](const LocalTime& t) {
    const int64_t s = ToEpochSeconds(t);
    return (s >= 0 ? s : s - 59) / 60;
  };
  return minutes(to) - minutes(from);
}

bool PtBrDateFormat::ParseDate(const std::string& text, LocalTime& out) {
  size_t i = 0;
  auto skipSpaces = [&] {
    while (i < text.size() && text[i] == ' ') ++i;
  };
  auto number = [&](int maxDigits, int& value) {
    const size_t start = i;
    value = 0;
    while (i < text.size() && i - start < static_cast<size_t>(maxDigits) && text[i] >= '0' && text[i] <= '9')
      value = value * 10 + (text[i++] - '0');
    return i > start;
  };
  auto expect = [&](char c) {
    if (i < text.size() && text[i] == c) {
      ++i;
      return true;
    }
    return false;
  };
  LocalTime t;
  t.hour = t.minute = t.second = 0;
  skipSpaces();
  if (!number(2, t.day) || !expect('/') || !number(2, t.month) || !expect('/') || !number(4, t.year)) return false;
  skipSpaces();
  if (i < text.size()) {
    if (!number(2, t.hour) || !expect(':') || !number(2, t.minute)) return false;
    if (expect(':') && !number(2, t.second)) return false;
    skipSpaces();
    if (i != text.size()) return false;
  }
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (t.year % 4 == 0 && t.year % 100 != 0) || t.year % 400 == 0;
  if (t.year < 100 || t.month < 1 || t.month > 12 || t.day < 1 || t.day > kDays[t.month - 1] ||
      (t.month == 2 && t.day == 29 && !leap) || t.hour > 23 || t.minute > 59 || t.second > 59)
    return false;
  out = t;
  return true;
}

std::string PtBrDateFormat::GeneralDate(const LocalTime& t) {
  const std::string full = FormatLogStamp(t);
  if (t.hour == 0 && t.minute == 0 && t.second == 0) return full.substr(0, 10);
  return full;
}

}  // namespace quarn
