#include <gtest/gtest.h>

#include "fakes/control_fakes.h"
#include "fakes/fakes.h"
#include "monitor/markers.h"
#include "monitor/service_stop.h"

namespace quarn {
namespace {

const std::string kLogs = "C:\\Q\\Logs\\";

struct Markers : ::testing::Test {
  fakes::MemoryFileSystem fs;
  Cp1252Codec codec;
  fakes::FixedClock clock;  // 06/12/2026 05:55:04
  PtBrDateFormat dates;
  VirtualEventLoop loop;
  fakes::FakeServiceManager scm;
  std::string account, password;
  MonitorServiceControl service{scm, account, password, "C:\\Q"};
  fakes::FakeProcesses procs;
  FechaExe fecha{procs};
  MonitorMarkers markers{MarkerPorts{fs, codec, clock, dates, loop, service, fecha}, kLogs};

  Markers() {
    fs.AddDir("C:\\Q");
    fs.AddDir("C:\\Q\\Logs");
  }
  // A marker written `minutes` minutes before now, at second `second`.
  std::string Ago(int minutes, int second = 4) {
    fakes::FixedClock c;
    c.now = clock.now;
    c.now.second = second;
    c.AddSeconds(-60LL * minutes);
    return dates.GeneralDate(c.now);
  }
  void PutMarker(const std::string& name, const std::string& content, LocalTime modified = {}) {
    fs.Put(kLogs + name, content);
    fs.modified[fakes::Key(kLogs + name)] = modified;
  }
  bool EmUso() { return markers.OutroServiceEmUso(); }
  // The monitor at its start: no earlier look at any marker.
  MonitorMarkers Fresh() { return MonitorMarkers(MarkerPorts{fs, codec, clock, dates, loop, service, fecha}, kLogs); }
  bool Restarted() { return std::count(scm.calls.begin(), scm.calls.end(), "Stop QuarnSQLService") > 0; }
};

TEST(MinuteBoundaries, CountsBoundariesNotElapsedMinutes) {
  EXPECT_EQ(MinuteBoundaries(LocalTime{2026, 1, 1, 10, 0, 59}, LocalTime{2026, 1, 1, 10, 1, 0}), 1);
  EXPECT_EQ(MinuteBoundaries(LocalTime{2026, 1, 1, 10, 0, 0}, LocalTime{2026, 1, 1, 10, 0, 59}), 0);
  EXPECT_EQ(MinuteBoundaries(LocalTime{2026, 1, 1, 23, 59, 59}, LocalTime{2026, 1, 2, 0, 0, 0}), 1);
  EXPECT_EQ(MinuteBoundaries(LocalTime{2026, 1, 1, 10, 5, 0}, LocalTime{2026, 1, 1, 10, 0, 0}), -5);
}

TEST(PtBrDates, ParsesWhatTheSystemWritesAndNothingElse) {
  PtBrDateFormat f;
  LocalTime t;
  ASSERT_TRUE(f.ParseDate("07/12/2026 05:58:36", t));
  EXPECT_EQ(t, (LocalTime{2026, 12, 7, 5, 58, 36}));
  ASSERT_TRUE(f.ParseDate("7/1/2026", t));
  EXPECT_EQ(t, (LocalTime{2026, 1, 7, 0, 0, 0}));
  for (const char* bad :
       {"", "ontem", "31/02/2026", "07/13/2026", "07/12/2026 25:00:00", "07/12/2026 x", "\x01\x02\xFF", "07/12/26"})
    EXPECT_FALSE(f.ParseDate(bad, t)) << bad;
}

TEST_F(Markers, InUseMarkerOfTheMonitorIsWrittenAndRemoved) {
  markers.EstouEmUso(false);  // nothing there: nothing happens
  markers.EstouEmUso(true);
  EXPECT_EQ(fs.Get(kLogs + "QuarnSQLServiceMonitorEmUso.ti"), "06/12/2026 05:55:04\r\n");
  markers.EstouEmUso(false);
  EXPECT_FALSE(fs.Has(kLogs + "QuarnSQLServiceMonitorEmUso.ti"));
}

TEST_F(Markers, TheBackupServicesMarkerIsFreshBelowSixtyMinutes) {
  EXPECT_FALSE(EmUso());
  PutMarker("QuarnSQLServiceEmUso.ti", Ago(59, 0) + "\r\n");
  EXPECT_TRUE(EmUso());
  EXPECT_TRUE(fs.Has(kLogs + "QuarnSQLServiceEmUso.ti"));
  // 59 minutes and 4 seconds ago, but 60 boundaries: stale.
  PutMarker("QuarnSQLServiceEmUso.ti", Ago(60, 0) + "\r\n");
  EXPECT_FALSE(Fresh().OutroServiceEmUso());
  EXPECT_FALSE(fs.Has(kLogs + "QuarnSQLServiceEmUso.ti"));
}

// While the monitor runs, a marker ages by the time it has been seen
// unchanged, on the monitor's own clock: the wall clock set back or forward
// (or summer time) neither freshens nor ages it, and a marker written since
// the last look is no older than that look.
TEST_F(Markers, AgesAreTheTimeSeenUnchangedWhateverTheClockDoes) {
  struct Row {
    int jumpMinutes;  // the wall clock moved by this between the two looks (summer time, a correction)
    int minutes;      // while this much time passed
    bool rewritten;   // the files were written again meanwhile, with the wall clock's time
    bool inUse, restart;  // at the second look: the in-use marker fresh, the heartbeat stale
  };
  const Row rows[] = {{-60, 55, false, true, true}, {-60, 61, false, false, true}, {60, 1, false, true, false},
                      {-60, 30, true, true, false},  {60, 40, true, true, false},   {0, 49, false, true, false},
                      {0, 50, false, true, true}};
  const auto write = [&] {
    for (const char* f : {"QuarnSQLServiceEmUso.ti", "QuarnSQLServiceExecuting.ini"}) PutMarker(f, Ago(0) + "\r\n", clock.now);
  };
  const LocalTime start = clock.now;
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << r.jumpMinutes << " " << r.minutes << " " << r.rewritten);
    MonitorMarkers m = Fresh();
    scm.Add("QuarnSQLService", kServiceRunning);
    write();
    ASSERT_TRUE(m.OutroServiceEmUso());
    scm.calls.clear();
    m.VerificaSalvarExecutandoQuarn();
    ASSERT_FALSE(Restarted());
    loop.Advance(static_cast<uint64_t>(r.minutes) * 60000);
    clock.AddSeconds(60LL * (r.minutes + r.jumpMinutes));
    if (r.rewritten) write();
    EXPECT_EQ(m.OutroServiceEmUso(), r.inUse);
    m.VerificaSalvarExecutandoQuarn();
    EXPECT_EQ(Restarted(), r.restart);
    clock.now = start;
  }
}

// At the monitor's first look, an in-use marker's time is the later of its
// last non-empty line and its last write, a heartbeat's of its last line and
// its last write. A time ahead of the clock (a crash before a clock
// correction) is left out; when both are, the marker is stale; a marker with
// no date ages by its last write. Either way no marker stays fresh for ever.
TEST_F(Markers, AMarkersTimeIsTheLaterOfItsDateAndItsLastWriteLeavingOutTheFuture) {
  const LocalTime recent{2026, 12, 6, 5, 50, 0}, old{2026, 12, 6, 3, 0, 0};
  LocalTime soon = clock.now, later = clock.now;
  soon.minute += 4;    // within the tolerance of a clock a little ahead
  later.minute += 10;  // beyond it
  struct Row {
    std::string line;
    LocalTime written;
    bool fresh;          // in use, and a heartbeat that needs no restart
    int heartbeat = -1;  // when the heartbeat's answer differs: 0 stale, 1 fresh
  };
  std::vector<Row> rows = {
      {Ago(120) + "\r\n" + Ago(1) + "\r\n\r\n", old, true, 0},
      {Ago(1) + "\r\n" + Ago(120) + "\r\n", recent, true},
      {Ago(1) + "\r\n" + Ago(120) + "\r\n", old, false},
      {"01/01/2099 00:00:00", recent, true},
      {"01/01/2099 00:00:00", old, false},
      {"01/01/2099 00:00:00", later, false},
      {dates.GeneralDate(soon), old, true},
      {"lixo", later, false},
  };
  for (const std::string& junk : {std::string(""), std::string("\r\n"), std::string("lixo"),
                                  std::string("\x00\xFF\x13\x10", 4), std::string("99/99/9999 99:99")}) {
    rows.push_back({junk, recent, true});
    rows.push_back({junk, old, false});
  }
  for (const Row& r : rows) {
    SCOPED_TRACE(r.line);
    PutMarker("QuarnSQLServiceEmUso.ti", r.line + "\r\n", r.written);
    EXPECT_EQ(Fresh().OutroServiceEmUso(), r.fresh);
    EXPECT_EQ(fs.Has(kLogs + "QuarnSQLServiceEmUso.ti"), r.fresh);  // a stale one goes
    scm.calls.clear();
    scm.Add("QuarnSQLService", kServiceRunning);
    PutMarker("QuarnSQLServiceExecuting.ini", r.line + "\r\n", r.written);
    Fresh().VerificaSalvarExecutandoQuarn();
    EXPECT_EQ(Restarted(), r.heartbeat < 0 ? !r.fresh : r.heartbeat == 0);
  }
}

TEST_F(Markers, AMarkerThatCannotBeReadCountsAsInUseNoLongerThanAStaleOne) {
  PutMarker("QuarnSQLServiceEmUso.ti", Ago(300) + "\r\n");
  fs.locked.insert(fakes::Key(kLogs + "QuarnSQLServiceEmUso.ti"));
  EXPECT_TRUE(EmUso());
  loop.Advance(59 * 60 * 1000);
  EXPECT_TRUE(EmUso());
  loop.Advance(60 * 1000);
  EXPECT_FALSE(EmUso());
}

TEST_F(Markers, ABackupServiceThatAcceptsTheStopAndNeverStopsIsEndedThenStarted) {
  // Stopped at once, the id it ran under since given to another program: that one is never ended.
  scm.Add("QuarnSQLService", kServiceRunning).processId = procs.Run("notepad.exe");
  EXPECT_TRUE(PararServiceEAguardar(ServiceStopPorts{service, fecha, loop}, 1000, false));
  auto& hung = scm.Add("QuarnSQLService", kServiceRunning);
  hung.processId = 0;  // the manager names none: found by its program's name
  hung.slowToStop = true;
  const uint32_t id = procs.Run("QuarnSQLService.exe");
  markers.VerificaSalvarExecutandoQuarn();
  EXPECT_EQ(procs.terminated, std::vector<uint32_t>{id});
  EXPECT_EQ(scm.calls.back(), "Start QuarnSQLService");
  EXPECT_LE(loop.TickMs(), MonitorMarkers::kStopWaitMs + MonitorMarkers::kEndingWaitMs + 200);
}

TEST_F(Markers, AFreshHeartbeatNeedsNoRestart) {
  scm.Add("QuarnSQLService", kServiceRunning);
  PutMarker("QuarnSQLServiceExecuting.ini", Ago(49, 0) + "\r\n");
  markers.VerificaSalvarExecutandoQuarn();
  EXPECT_EQ(fs.Get(kLogs + "QuarnSQLServiceMonitorExecuting.ini"), "06/12/2026 05:55:04\r\n");
  EXPECT_FALSE(Restarted());
}

TEST_F(Markers, AStaleHeartbeatRestartsTheService) {
  scm.Add("QuarnSQLService", kServiceRunning);
  PutMarker("QuarnSQLServiceExecuting.ini", Ago(50, 0) + "\r\n");
  markers.VerificaSalvarExecutandoQuarn();
  EXPECT_EQ(scm.calls,
            (std::vector<std::string>{"Status QuarnSQLService", "Stop QuarnSQLService", "Status QuarnSQLService",
                                      "Start QuarnSQLService"}));
  EXPECT_EQ(scm.Find("QuarnSQLService")->state, kServiceRunning);
}

TEST_F(Markers, AMissingHeartbeatRestartsAfterTheMonitorWritesItsOwn) {
  scm.Add("QuarnSQLService", kServiceRunning).slowToStop = true;
  int polls = 0;
  auto stopLater = loop.CreateTimer(500, [&] {
    if (++polls == 4) scm.Find("QuarnSQLService")->state = kServiceStopped;
  });
  stopLater->SetEnabled(true);
  markers.VerificaSalvarExecutandoQuarn();
  EXPECT_TRUE(fs.Has(kLogs + "QuarnSQLServiceMonitorExecuting.ini"));
  EXPECT_EQ(scm.Find("QuarnSQLService")->state, kServiceRunning);
  EXPECT_EQ(polls, 4);
  EXPECT_LE(loop.TickMs(), 2100u);
}

TEST_F(Markers, AMonitorStoppedInsideTheRestartStartsTheBackupServiceBeforeItEnds) {
  fakes::FakeService& backup = scm.Add("QuarnSQLService", kServiceRunning);
  backup.slowToStop = true;
  auto stopArrives = loop.CreateTimer(500, [&] {
    loop.EndProgram();
    backup.stoppedAfterQueries = 3;
  });
  stopArrives->SetEnabled(true);
  EXPECT_THROW(markers.VerificaSalvarExecutandoQuarn(), ProgramEnd);
  EXPECT_EQ(backup.state, kServiceRunning);
  EXPECT_LT(loop.TickMs(), 500 + MonitorMarkers::kEndingWaitMs);
}

TEST_F(Markers, ANotInstalledServiceEndsTheWaitAtItsBound) {
  markers.VerificaSalvarExecutandoQuarn();  // heartbeat missing, service missing
  EXPECT_GE(loop.TickMs(), MonitorMarkers::kStopWaitMs);
  EXPECT_LT(loop.TickMs(), MonitorMarkers::kStopWaitMs + kServiceEndedWaitMs + 1000);
  EXPECT_EQ(scm.calls.back(), "Start QuarnSQLService");
  EXPECT_LE(loop.IdleCalls(), (MonitorMarkers::kStopWaitMs + kServiceEndedWaitMs) / kServiceStopPollMs + 2);
}

TEST_F(Markers, HeartbeatsWithoutADateAgeByTheirLastWriteAndUnreadableOnesAreMissing) {
  scm.Add("QuarnSQLService", kServiceRunning);
  PutMarker("QuarnSQLServiceExecuting.ini", Ago(1) + "\r\nlixo\r\n", LocalTime{2026, 12, 6, 5, 30, 0});
  markers.VerificaSalvarExecutandoQuarn();
  EXPECT_FALSE(Restarted());
  PutMarker("QuarnSQLServiceExecuting.ini", "", LocalTime{2026, 12, 6, 5, 0, 0});
  Fresh().VerificaSalvarExecutandoQuarn();
  EXPECT_TRUE(Restarted());
  scm.calls.clear();
  PutMarker("QuarnSQLServiceExecuting.ini", Ago(1) + "\r\n");
  fs.locked.insert(fakes::Key(kLogs + "QuarnSQLServiceExecuting.ini"));
  markers.VerificaSalvarExecutandoQuarn();
  EXPECT_TRUE(Restarted());
}

TEST_F(Markers, WritingTheOwnHeartbeatFailsLoudly) {
  // A full disk: the temporary file fails, and the marker keeps its bytes.
  markers.EstouEmUso(true);
  const std::string before = fs.Get(kLogs + "QuarnSQLServiceMonitorEmUso.ti");
  fs.beforeChange = [](const std::string& op, const std::string& path, const std::string&) {
    if (op == "WriteAll" && path.size() > 4 && path.substr(path.size() - 4) == ".tmp") throw FileError(kErrDiskFull);
  };
  clock.AddSeconds(60);
  EXPECT_THROW(markers.EstouEmUso(true), VbError);
  EXPECT_EQ(fs.Get(kLogs + "QuarnSQLServiceMonitorEmUso.ti"), before);
  EXPECT_FALSE(fs.Has(kLogs + "QuarnSQLServiceMonitorEmUso.ti.tmp"));
  fs.beforeChange = nullptr;
  fs.dirs.erase(fakes::Key("C:\\Q\\Logs"));
  EXPECT_THROW(markers.VerificaSalvarExecutandoQuarn(), VbError);
  EXPECT_THROW(markers.EstouEmUso(true), VbError);
}

}  // namespace
}  // namespace quarn
