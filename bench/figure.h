#pragma once
// One row of the suite's figures table: every benchmark prints its rows in
// this form beside its own report, and bench/report.py gathers them.
#include <cstdarg>
#include <cstdio>
#include <string>

namespace quarn::bench {

inline std::string Fmt(const char* format, ...) {
  char buf[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  return buf;
}

inline void Figure(const std::string& name, const std::string& value, const std::string& baseline,
                   const std::string& target) {
  std::printf("@figure\t%s\t%s\t%s\t%s\n", name.c_str(), value.c_str(), baseline.c_str(), target.c_str());
  std::fflush(stdout);
}

}  // namespace quarn::bench
