// The pure pieces of an update's outcome: probation's verdicts, the holds'
// times and file, and the list of the build in place.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "monitor/update/disk_check.h"
#include "monitor/update/holds.h"
#include "monitor/update/probation.h"

namespace quarn {
namespace {

TEST(Probation, LengthFromTheRegistryIsBounded) {
  EXPECT_EQ(ProbationSecondsFor(std::nullopt), 600u);
  EXPECT_EQ(ProbationSecondsFor(0u), 30u);
  EXPECT_EQ(ProbationSecondsFor(29u), 30u);
  EXPECT_EQ(ProbationSecondsFor(45u), 45u);
  EXPECT_EQ(ProbationSecondsFor(86401u), 86400u);
  EXPECT_EQ(ProbationSecondsFor(0xFFFFFFFFu), 86400u);
  EXPECT_EQ(ProbationSecondsFor(2u, 1), 2u);  // the test build's floor
}

// Each row is a run of one-second samples, "<process> <heartbeat stamp>" per
// second (a stamp of 0 is a missing heartbeat), and the verdict after them.
TEST(Probation, VerdictsFromWhatEachSecondShows) {
  ProbationRules rules;
  rules.lengthMs = 10000;
  rules.staleMs = 6000;
  rules.downMs = 4000;
  struct Row {
    const char* name;
    std::vector<std::pair<uint32_t, uint64_t>> samples;  // the first starts probation
    Probation::Verdict verdict;
    std::string why;
  };
  using V = Probation::Verdict;
  auto steady = [](size_t n, uint32_t pid, bool beat) {
    std::vector<std::pair<uint32_t, uint64_t>> s;
    for (size_t i = 0; i < n; ++i) s.emplace_back(pid, beat ? 1 + i : 1);
    return s;
  };
  auto then = [](std::vector<std::pair<uint32_t, uint64_t>> a, const std::vector<std::pair<uint32_t, uint64_t>>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const Row rows[] = {
      {"runs and beats", steady(11, 7, true), V::kPassed, ""},
      {"not yet over", steady(10, 7, true), V::kOn, ""},
      {"never beats (the heartbeat there before it started counts for nothing)", steady(11, 7, false), V::kFailed,
       "nenhum batimento em 10 s"},
      {"beats once, then stays silent", then({{7, 1}, {7, 2}}, steady(7, 7, false)), V::kFailed,
       "batimento sem atualização há 6 s"},
      {"ends once and the watchdog keeps it up", then(steady(3, 7, true), steady(8, 8, true)), V::kPassed, ""},
      {"ends once late: passed only once the next process ran half the time",
       then(steady(8, 7, true), steady(4, 8, true)), V::kOn, ""},
      {"ends twice", then(then(steady(3, 7, true), steady(3, 8, true)), steady(2, 9, true)), V::kFailed,
       "terminou 2 vezes em 6 s"},
      {"ends, is down, comes back", then(then(steady(3, 7, true), {{0, 4}, {0, 5}}), steady(6, 8, true)), V::kPassed,
       ""},
      {"first seen late", then({{0, 1}, {0, 1}, {0, 1}}, steady(9, 7, true)), V::kPassed, ""},
      {"never starts", steady(5, 0, false), V::kFailed, "parado há 4 s"},
      {"down at the end: on until the next process has run half the time",
       then(steady(10, 7, true), {{0, 11}, {0, 12}, {8, 13}}), V::kOn, ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    auto sample = [&](size_t i) {
      ProbationSample s{i * 1000, r.samples[i].first, std::nullopt};
      if (r.samples[i].second) s.heartbeat = FileStamp{10, r.samples[i].second};
      return s;
    };
    Probation p(rules, sample(0));
    Probation::Verdict v = V::kOn;
    for (size_t i = 1; i < r.samples.size(); ++i) v = p.Observe(sample(i));
    EXPECT_EQ(v, r.verdict);
    EXPECT_EQ(p.Why(), r.why);
  }
}

TEST(Holds, DelaysDoubleFromAnHourToADay) {
  const int64_t h = 3600;
  const std::pair<uint32_t, int64_t> rows[] = {{1, h},      {2, 2 * h},  {3, 4 * h},   {4, 8 * h},
                                               {5, 16 * h}, {6, 24 * h}, {40, 24 * h}, {0xFFFFFFFF, 24 * h}};
  for (const auto& [failures, delay] : rows) EXPECT_EQ(HoldDelaySeconds(failures), delay) << failures;
}

TEST(Holds, HeldByTheSignedBuildNotItsVersionTextAndNeverBeyondADay) {
  const std::string digest(32, '\x5a'), other(32, '\x11');
  const PublicationKey failed{"QuarnSQLService", 7, digest, "2.0"};
  std::vector<Hold> holds;
  const int64_t t = 1796000000;
  HoldAgain(holds, failed, t);
  struct Row {
    const char* name;
    PublicationKey key;
    int64_t now;
    HoldState state;
  } rows[] = {
      {"the same publication, within the hour", failed, t + 3599, HoldState::kHeld},
      {"the same publication, an hour on", failed, t + 3600, HoldState::kDue},
      {"the same version published again", {"QuarnSQLService", 8, other, "2.0"}, t + 1, HoldState::kNone},
      {"the same build signed again (a rollout widened)", {"QuarnSQLService", 9, digest, "2.0"}, t + 1,
       HoldState::kHeld},
      {"the same number, another build", {"QuarnSQLService", 7, other, "2.0"}, t + 1, HoldState::kNone},
      {"the other program", {"QuarnSQLMonitor", 7, digest, "2.0"}, t + 1, HoldState::kNone},
      {"the clock set back two days", failed, t - 2 * 86400, HoldState::kDue},
  };
  for (const Row& r : rows) EXPECT_EQ(HoldStateFor(holds, r.key, r.now), r.state) << r.name;
  // Unsigned publications are held by their version text.
  std::vector<Hold> unsignedHolds;
  HoldAgain(unsignedHolds, {"QuarnSQLMonitor", 0, {}, "3.1"}, t);
  EXPECT_EQ(HoldStateFor(unsignedHolds, {"QuarnSQLMonitor", 0, {}, "3.1"}, t), HoldState::kHeld);
  EXPECT_EQ(HoldStateFor(unsignedHolds, {"QuarnSQLMonitor", 0, {}, "3.2"}, t), HoldState::kNone);
  // Each failure holds longer; another publication replaces the program's hold.
  EXPECT_EQ(HoldAgain(holds, failed, t + 3600).nextTryUtc, t + 3600 + 2 * 3600);
  HoldAgain(holds, {"QuarnSQLService", 9, other, "2.1"}, t);
  ASSERT_EQ(holds.size(), 1u);
  EXPECT_EQ(holds[0].failures, 1u);
}

// The two files kept under Logs, byte for byte, and what is none of their
// lines refused (a cut write, a planted line); that what parses writes back
// the same is the update_state fuzz target's.
TEST(UpdateStateFiles, WrittenInOneFormAndNothingElseRead) {
  std::vector<Hold> holds;
  HoldAgain(holds, {"QuarnSQLService", 7, std::string(32, '\x01'), "2.0 beta"}, 1796000000);
  HoldAgain(holds, {"QuarnSQLMonitor", 0, {}, "3.1"}, 1796000000);
  std::string d01;
  for (int i = 0; i < 32; ++i) d01 += "01";
  const std::string text = FormatHolds(holds);
  EXPECT_EQ(text, "QuarnSQLService 7 " + d01 + " 1 1796003600 2.0 beta\r\nQuarnSQLMonitor 0 - 1 1796003600 3.1\r\n");
  EXPECT_EQ(ParseHolds(text + text).size(), 2u);  // one hold a program, the first
  for (const std::string& bad :
       {std::string("QuarnSQLService 7 xyz 1 1796003600 2.0"),
        std::string("QuarnSQLService 99999999999999999999 - 1 1 2.0"),
        std::string("QuarnSQLService 7 - 0 1796003600 2.0"), std::string("QuarnSQLService 7 - 1"),
        "QuarnSQLService 7 - 1 " + std::string(300, '9')})
    EXPECT_TRUE(ParseHolds(bad + "\r\n").empty()) << bad;

  InstalledBuild b{"2.0", 12, {}, {{"QuarnSQLService.exe", 2048, {}, 5}}};
  const std::string list = FormatInstalledBuild(b);
  EXPECT_EQ(list, "QUARN-INSTALADO 1\r\nversao 2.0\r\npublicacao 12 -\r\narquivo 2048 - 5 QuarnSQLService.exe\r\n");
  for (const std::string& bad :
       {std::string("QUARN-INSTALADO 1\r\nversao 2.0\r\n"), "QUARN-INSTALADO 2" + list.substr(17),
        list + "arquivo 1 - 1 ..\\win.ini\r\n", list + "arquivo 1 - 1 CON\r\n", list + "arquivo x - 1 a.dll\r\n",
        list + "outra linha\r\n", std::string(kMaxInstalledBytes + 1, 'a')})
    EXPECT_FALSE(ParseInstalledBuild(bad, b)) << bad.substr(0, 80);
}

}  // namespace
}  // namespace quarn
