#pragma once
// General dates as the Brazilian Portuguese system writes them, which both
// date formats (the portable one and Windows') must give alike.
#include "common/time_text.h"

namespace quarn::fakes {

struct GeneralDateSample {
  LocalTime time;
  const char* text;
};

// The time is left out at exact midnight only.
inline const GeneralDateSample kGeneralDates[] = {
    {LocalTime{2026, 12, 7, 5, 58, 36}, "07/12/2026 05:58:36"},
    {LocalTime{2026, 12, 7, 0, 0, 0}, "07/12/2026"},
    {LocalTime{2026, 12, 7, 0, 0, 1}, "07/12/2026 00:00:01"},
};

}  // namespace quarn::fakes
