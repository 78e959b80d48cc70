#include <gtest/gtest.h>

#include "common/errors.h"
#include "common/event_loop.h"
#include "common/time_text.h"
#include "fakes/date_samples.h"

namespace quarn {
namespace {

TEST(TimeText, LogStampIsFixedWidthWithTheSystemSeparators) {
  const LocalTime t{2026, 3, 7, 5, 4, 9};
  EXPECT_EQ(FormatLogStamp(t), "07/03/2026 05:04:09");
  EXPECT_EQ(FormatLogStamp(t, "-", "."), "07-03-2026 05.04.09");
  EXPECT_EQ(FormatLogStamp(LocalTime{2026, 12, 31, 0, 0, 0}), "31/12/2026 00:00:00");
}

TEST(TimeText, GeneralDateLeavesOutExactMidnight) {
  PtBrDateFormat f;
  for (const auto& d : fakes::kGeneralDates) EXPECT_EQ(f.GeneralDate(d.time), d.text);
}

TEST(TimeText, EpochSecondsRoundTripAcrossLeapDays) {
  for (const LocalTime t : {LocalTime{2024, 2, 29, 23, 59, 59}, LocalTime{1999, 12, 31, 0, 0, 0},
                            LocalTime{2100, 3, 1, 12, 0, 0}, LocalTime{1969, 7, 20, 20, 17, 40}}) {
    EXPECT_EQ(FromEpochSeconds(ToEpochSeconds(t)), t);
  }
  EXPECT_EQ(ToEpochSeconds(LocalTime{1970, 1, 1, 0, 0, 0}), 0);
  EXPECT_EQ(ToEpochSeconds(LocalTime{2024, 3, 1, 0, 0, 0}) - ToEpochSeconds(LocalTime{2024, 2, 28, 0, 0, 0}),
            2 * 86400);
}

TEST(VirtualEventLoop, TimersFireOncePerIntervalWhileEnabled) {
  VirtualEventLoop loop;
  int ticks = 0;
  auto t = loop.CreateTimer(1000, [&] { ++ticks; });
  loop.Advance(5000);
  EXPECT_EQ(ticks, 0);  // created off
  t->SetEnabled(true);
  loop.Advance(10800 * 1000ull);
  EXPECT_EQ(ticks, 10800);
  t->SetEnabled(false);
  loop.Advance(5000);
  EXPECT_EQ(ticks, 10800);
}

TEST(VirtualEventLoop, PostedEventsRunInsideWaitsAndAnUnloadEndsEveryWait) {
  VirtualEventLoop loop;
  std::vector<int> order;
  loop.Post([&] { order.push_back(1); });
  loop.Post([&] {
    order.push_back(2);
    loop.EndProgram();
  });
  loop.Post([&] { order.push_back(3); });
  EXPECT_THROW(loop.Idle(50), ProgramEnd);
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  EXPECT_THROW(loop.DoEvents(), ProgramEnd);
}

TEST(VirtualEventLoop, IdleMovesTheClockSoPollingWaitsDoNotSpin) {
  VirtualEventLoop loop;
  const uint64_t start = loop.TickMs();
  for (int i = 0; i < 20; ++i) loop.Idle(50);
  EXPECT_EQ(loop.TickMs() - start, 1000u);
  EXPECT_EQ(loop.IdleCalls(), 20u);
}

TEST(VirtualEventLoop, ATimerDestroyedStopsFiring) {
  VirtualEventLoop loop;
  int ticks = 0;
  {
    auto t = loop.CreateTimer(10, [&] { ++ticks; });
    t->SetEnabled(true);
    loop.Advance(35);
  }
  loop.Advance(100);
  EXPECT_EQ(ticks, 3);
}

}  // namespace
}  // namespace quarn
