#include <gtest/gtest.h>

#include "fakes/monitor_fixture.h"
#include "monitor/health.h"

namespace quarn {
namespace {

using fakes::kApp;
using fakes::kLogs;
const std::string kProm = kLogs + "quarn_sql.prom";
constexpr int64_t kUtc = 1796536504;  // 2026-12-06 08:55:04 UTC

TEST(MetricsFile, IsTheTextFormatByteForByte) {
  HealthSnapshot s;
  s.monitorStartUtc = kUtc;
  s.backupServiceState = 4;
  s.heartbeatAgeSeconds = 75;
  s.watchdogStarts = 3;
  s.programs = {{"QuarnSQLServiceMonitor", "1.0.0.134"},
                {"QuarnSQLService", "2.0 \"beta\\1\"", kUtc + 60, 0, kUtc + 86400},
                {"QuarnSQLMonitor", std::nullopt, kUtc + 61, 7106}};
  EXPECT_EQ(FormatMetrics(s),
            "# HELP quarn_monitor_start_time_seconds When the service monitor started, in seconds since 1970 (UTC).\n"
            "# TYPE quarn_monitor_start_time_seconds gauge\n"
            "quarn_monitor_start_time_seconds 1796536504\n"
            "# HELP quarn_backup_service_up 1 while the backup service QuarnSQLService is running, else 0.\n"
            "# TYPE quarn_backup_service_up gauge\n"
            "quarn_backup_service_up 1\n"
            "# HELP quarn_backup_service_state The backup service's state as the service manager reports it: "
            "1 stopped, 2 starting, 3 stopping, 4 running, 5 continuing, 6 pausing, 7 paused, 0 not installed or "
            "unreadable.\n"
            "# TYPE quarn_backup_service_state gauge\n"
            "quarn_backup_service_state 4\n"
            "# HELP quarn_backup_heartbeat_age_seconds Seconds since the backup service last wrote its heartbeat; "
            "absent while there is none.\n"
            "# TYPE quarn_backup_heartbeat_age_seconds gauge\n"
            "quarn_backup_heartbeat_age_seconds 75\n"
            "# HELP quarn_watchdog_starts_total Times the watchdog found the backup service stopped and started it, "
            "since the monitor started.\n"
            "# TYPE quarn_watchdog_starts_total counter\n"
            "quarn_watchdog_starts_total 3\n"
            "# HELP quarn_heartbeat_restarts_total Times the backup service was restarted for a missing or stale "
            "heartbeat, since the monitor started.\n"
            "# TYPE quarn_heartbeat_restarts_total counter\n"
            "quarn_heartbeat_restarts_total 0\n"
            "# HELP quarn_backup_service_crash_loop 1 while the backup service keeps stopping soon after each start "
            "(a crash loop), else 0.\n"
            "# TYPE quarn_backup_service_crash_loop gauge\n"
            "quarn_backup_service_crash_loop 0\n"
            "# HELP quarn_watchdog_backoff_seconds The wait before each start of the backup service during a crash "
            "loop, 0 outside one.\n"
            "# TYPE quarn_watchdog_backoff_seconds gauge\n"
            "quarn_watchdog_backoff_seconds 0\n"
            "# HELP quarn_build_info The build installed of each program of the suite, as its version label.\n"
            "# TYPE quarn_build_info gauge\n"
            "quarn_build_info{program=\"QuarnSQLServiceMonitor\",version=\"1.0.0.134\"} 1\n"
            "quarn_build_info{program=\"QuarnSQLService\",version=\"2.0 \\\"beta\\\\1\\\"\"} 1\n"
            "# HELP quarn_update_last_check_timestamp_seconds When the last update check of the program ended, in "
            "seconds since 1970 (UTC).\n"
            "# TYPE quarn_update_last_check_timestamp_seconds gauge\n"
            "quarn_update_last_check_timestamp_seconds{program=\"QuarnSQLService\"} 1796536564\n"
            "quarn_update_last_check_timestamp_seconds{program=\"QuarnSQLMonitor\"} 1796536565\n"
            "# HELP quarn_update_last_check_result The last update check's result: 0 ok, else the number of the "
            "error that failed it.\n"
            "# TYPE quarn_update_last_check_result gauge\n"
            "quarn_update_last_check_result{program=\"QuarnSQLService\"} 0\n"
            "quarn_update_last_check_result{program=\"QuarnSQLMonitor\"} 7106\n"
            "# HELP quarn_update_publication_valid_until_timestamp_seconds Until when the update server's signed "
            "publication holds, in seconds since 1970 (UTC).\n"
            "# TYPE quarn_update_publication_valid_until_timestamp_seconds gauge\n"
            "quarn_update_publication_valid_until_timestamp_seconds{program=\"QuarnSQLService\"} 1796622904\n");
}

struct HealthFixture : ::testing::Test, fakes::MonitorBasics {
  MonitorLogs logs{LogContext{fs, codec, clock, dates, kApp}};
  std::string extraFolder;
  bool extraAdminOnly = true;
  MonitorHealth health{HealthPorts{fs, codec, clock, dates, loop, host, logs, [] { return kUtc; },
                                   [this] { return extraFolder; }, [this](const std::string&) { return extraAdminOnly; }},
                       kApp, "1.0.0.134"};
  HealthFixture() { fs.AddDir(kLogs); }
  std::vector<int32_t> EventIds() const {
    std::vector<int32_t> ids;
    for (const auto& e : host.events) ids.push_back(e.id);
    return ids;
  }
};

TEST_F(HealthFixture, ACrashLoopIsReportedOnceWithItsWaitsAndAgainWhenItEnds) {
  health.Start();
  for (size_t n = 1; n <= 4; ++n) health.WatchdogStartedService(n, false);
  health.CrashLoop(true, 5);
  health.WatchdogStartedService(5, true);  // no 1010 inside the loop
  health.WatchdogBackoff(4000, 2500);
  EXPECT_EQ(EventIds(), (std::vector<int32_t>{1010, 1010, 1010, 1010, 1012}));
  EXPECT_TRUE(health.CrashLoop());
  const std::string looping = fs.Get(kProm);
  EXPECT_NE(looping.find("quarn_backup_service_crash_loop 1\n"), std::string::npos);
  EXPECT_NE(looping.find("quarn_watchdog_backoff_seconds 4\n"), std::string::npos);
  EXPECT_NE(looping.find("quarn_watchdog_next_start_timestamp_seconds " + std::to_string(kUtc + 3) + "\n"),
            std::string::npos);
  health.CrashLoop(false, 14);
  EXPECT_FALSE(health.CrashLoop());
  EXPECT_EQ(EventIds().back(), 1013);
  EXPECT_NE(host.events.back().text.find("after 14 starts in it"), std::string::npos);
  const std::string over = fs.Get(kProm);
  EXPECT_NE(over.find("quarn_backup_service_crash_loop 0\n"), std::string::npos);
  EXPECT_NE(over.find("quarn_watchdog_backoff_seconds 0\n"), std::string::npos);
  EXPECT_EQ(over.find("quarn_watchdog_next_start_timestamp_seconds"), std::string::npos);
  EXPECT_NE(over.find("quarn_watchdog_starts_total 5\n"), std::string::npos);
}

TEST_F(HealthFixture, AMetricsFolderThatCannotBeWrittenIsReportedOnceAndRetried) {
  extraFolder = "D:\\coletor";  // no such folder
  health.Start();
  loop.Advance(3 * MonitorHealth::kWriteIntervalMs);
  const std::string errors = fs.Get(kApp + "\\ErrorQuarn.ini");
  EXPECT_NE(errors.find(" | Metricas | 76 - "), std::string::npos);
  EXPECT_EQ(errors.find("quarn_sql.prom"), errors.rfind("quarn_sql.prom"));  // once, though written four times
  EXPECT_TRUE(fs.Has(kProm));  // the Logs folder's copy is written all the same
  EXPECT_FALSE(fs.Has(kLogs + "quarn_sql.prom.tmp"));
  fs.AddDir("D:\\");
  fs.AddDir("D:\\coletor");
  loop.Advance(MonitorHealth::kWriteIntervalMs);
  EXPECT_EQ(fs.Get("D:\\coletor\\quarn_sql.prom"), fs.Get(kProm));
  // Opened to other accounts: said once, in the error log and the event log, and never written there.
  extraAdminOnly = false;
  fs.Delete("D:\\coletor\\quarn_sql.prom");
  loop.Advance(2 * MonitorHealth::kWriteIntervalMs);
  EXPECT_FALSE(fs.Has("D:\\coletor\\quarn_sql.prom"));
  const std::vector<int32_t> ids = EventIds();
  EXPECT_EQ(std::count(ids.begin(), ids.end(), kEventMetricsFolderRefused), 1);
  const std::string refused = codec.FromAnsi(fs.Get(kApp + "\\ErrorQuarn.ini"));
  EXPECT_NE(refused.find(" | Metricas | Pasta MetricsTextfileDirectory aberta a outras contas, métricas não gravadas "
                         "nela: D:\\coletor"),
            std::string::npos);
  extraAdminOnly = true;
  loop.Advance(MonitorHealth::kWriteIntervalMs);
  EXPECT_TRUE(fs.Has("D:\\coletor\\quarn_sql.prom"));
}

TEST_F(HealthFixture, UpdateResultsAndTheMarkersReachTheFileAndTheEventLog) {
  fs.Put(kLogs + "VersaoQuarnSQLService.ini", "2.0\r\n");
  fs.Put(kLogs + "QuarnSQLServiceExecuting.ini", "06/12/2026 05:50:04\r\n");
  health.Start();
  {
    UpdateCheckScope check(health, "QuarnSQLService");
    health.UpdateRefused("QuarnSQLService", "2.1", 7105, "arquivo alterado");
    health.RolledBack("QuarnSQLService");
  }
  health.HeartbeatRestart();
  health.MarkerWaitGivenUp("QuarnSQLServiceEmUso.ti", 61);
  const std::string prom = fs.Get(kProm);
  EXPECT_NE(prom.find("quarn_build_info{program=\"QuarnSQLService\",version=\"2.0\"} 1\n"), std::string::npos);
  EXPECT_NE(prom.find("quarn_update_last_check_result{program=\"QuarnSQLService\"} 7105\n"), std::string::npos);
  EXPECT_NE(prom.find("quarn_backup_heartbeat_age_seconds 300\n"), std::string::npos);
  EXPECT_NE(prom.find("quarn_heartbeat_restarts_total 1\n"), std::string::npos);
  EXPECT_EQ(prom.find("valid_until"), std::string::npos);  // no signed statement given yet
  EXPECT_EQ(EventIds(), (std::vector<int32_t>{1021, 1022, 1011, 1030}));
  EXPECT_EQ(host.events[0].text, "QuarnSQLService build 2.1: [7105] arquivo alterado");

  // Between checks: a probation that failed is the latest result at once, and its hold shows until cleared.
  health.UpdateRefused("QuarnSQLService", "2.2", 7117, "terminou 2 vezes");
  health.UpdateHeld("QuarnSQLService", "2.2", 1796540104);
  EXPECT_NE(fs.Get(kProm).find("quarn_update_last_check_result{program=\"QuarnSQLService\"} 7117\n"),
            std::string::npos);
  EXPECT_NE(
      fs.Get(kProm).find("quarn_update_held{program=\"QuarnSQLService\"} 1\n"
                         "# HELP quarn_update_held_next_try_timestamp_seconds When the held publication is "
                         "tried again, in seconds since 1970 (UTC).\n"
                         "# TYPE quarn_update_held_next_try_timestamp_seconds gauge\n"
                         "quarn_update_held_next_try_timestamp_seconds{program=\"QuarnSQLService\"} 1796540104\n"),
      std::string::npos);
  health.UpdateHoldCleared("QuarnSQLService");
  EXPECT_NE(fs.Get(kProm).find("quarn_update_held{program=\"QuarnSQLService\"} 0\n"), std::string::npos);
  health.RolloutWaiting("QuarnSQLService", true);
  EXPECT_NE(fs.Get(kProm).find("quarn_update_rollout_waiting{program=\"QuarnSQLService\"} 1\n"), std::string::npos);
  EXPECT_EQ(fs.Get(kProm).find("next_try"), std::string::npos);
  health.InstalledFileDamaged("QuarnSQLService", "QuarnSQLService.exe", true);
  EXPECT_EQ(host.events.back().text, "QuarnSQLService: QuarnSQLService.exe missing");
}

}  // namespace
}  // namespace quarn
