#include <gtest/gtest.h>

#include "fakes/monitor_fixture.h"
#include "monitor/frm_backup.h"
#include "monitor/start_backoff.h"

namespace quarn {
namespace {

using fakes::kApp;

struct Watchdog : ::testing::Test, fakes::MonitorFixture {
  Watchdog() { Build(); }
  void Load() {
    ASSERT_TRUE(form->Form_Load());
    work.calls.clear();
    scm.calls.clear();
  }
  fakes::FakeService& Backup(int32_t state) {
    auto& s = scm.Add("QuarnSQLService", state);
    s.account = "LocalSystem";
    return s;
  }
  size_t Starts() const {
    return static_cast<size_t>(std::count(scm.calls.begin(), scm.calls.end(), "Start QuarnSQLService"));
  }
};

// The patience itself, over a day of a service that runs a while after each
// start and ends: never more than the window's starts in any window, a start
// at once whenever no loop is on, waits that double to their ceiling in one,
// and no loop at all for a service that runs long enough.
TEST(StartBackoffRule, BoundsStartsWhateverTheServiceLastsAndLeavesLongRunsAlone) {
  struct Row {
    uint64_t runsMs;
    bool loops;
  };
  for (const Row& r : {Row{0, true}, Row{100, true}, Row{5000, true}, Row{110 * 1000, true},
                       Row{151 * 1000, false}, Row{StartBackoff::kRecoveredAfterMs + 1000, false}}) {
    SCOPED_TRACE(r.runsMs);
    StartBackoff b;
    std::vector<uint64_t> starts;
    uint64_t now = 0, lastDelay = 0;
    bool looped = false;
    while (now < 24ull * 3600 * 1000) {
      b.NotRunning(now);  // seen down
      const uint64_t at = b.StartAllowedAt(now);
      if (!b.InLoop()) {
        EXPECT_EQ(at, now);
      }
      now = std::max(now, at);
      b.Started(now);
      starts.push_back(now);
      looped = looped || b.InLoop();
      if (b.InLoop()) {
        EXPECT_TRUE(b.DelayMs() == 2 * lastDelay || b.DelayMs() == StartBackoff::kMaxDelayMs ||
                    b.DelayMs() == StartBackoff::kFirstDelayMs);
        EXPECT_LE(b.DelayMs(), StartBackoff::kMaxDelayMs);
      }
      lastDelay = b.DelayMs();
      for (uint64_t t = now; t <= now + r.runsMs; t += 1000) b.Running(t);
      now += r.runsMs + 1;
    }
    EXPECT_EQ(looped, r.loops);
    for (size_t i = 0; i + StartBackoff::kMaxStartsInWindow < starts.size(); ++i)
      ASSERT_GE(starts[i + StartBackoff::kMaxStartsInWindow] - starts[i], StartBackoff::kWindowMs);
  }
}

TEST_F(Watchdog, AStoppedServiceIsStartedAtTheNextTick) {
  Backup(kServiceStopped);
  Load();
  loop.Advance(1000);
  EXPECT_EQ(scm.Find("QuarnSQLService")->state, kServiceRunning);
  loop.Advance(1000);
  EXPECT_EQ(panel.lblStartCaption, "Stop Service");
  EXPECT_TRUE(panel.lblStartEnabled);
  EXPECT_EQ(panel.lblInstallCaption, "Uninstall Service");
  EXPECT_FALSE(panel.lblInstallEnabled);
  EXPECT_EQ(panel.txtAccount, "LocalSystem");
  EXPECT_FALSE(panel.txtAccountEnabled || panel.txtPasswordEnabled || panel.chkSystemEnabled);
  EXPECT_EQ(Starts(), 1u);
  // Stopped from outside: the first refresh that sees it stopped starts it again.
  scm.Find("QuarnSQLService")->state = kServiceStopped;
  loop.Advance(1000);
  EXPECT_EQ(scm.Find("QuarnSQLService")->state, kServiceRunning);
  EXPECT_EQ(Starts(), 2u);
  EXPECT_EQ(view.depth, 0);
}

TEST_F(Watchdog, AMissingServiceIsNeverInstalledButAStartIsAskedEveryTick) {
  Load();
  loop.Advance(5000);
  EXPECT_EQ(panel.lblInstallCaption, "Install Service");
  EXPECT_TRUE(panel.lblInstallEnabled);
  EXPECT_EQ(panel.lblStartCaption, "Start Service");
  EXPECT_FALSE(panel.lblStartEnabled);
  EXPECT_FALSE(panel.ServiceInstalado);
  EXPECT_GE(Starts(), 5u);
  EXPECT_TRUE(scm.services.empty());
  EXPECT_FALSE(fs.Has(kApp + "\\ErrorQuarn.ini"));
}

TEST_F(Watchdog, AServiceRemovedWhileRunningKeepsStopServiceAndIsNotStarted) {
  Backup(kServiceRunning);
  Load();
  loop.Advance(1000);
  scm.services.clear();
  loop.Advance(3000);
  EXPECT_EQ(panel.lblStartCaption, "Stop Service");
  EXPECT_FALSE(panel.lblStartEnabled);
  EXPECT_EQ(Starts(), 0u);
}

TEST_F(Watchdog, PausedOrPendingServicesDisableBothLabelsAndAreLeftAlone) {
  Backup(kServiceRunning);
  Load();
  loop.Advance(1000);
  for (int32_t state : {kServicePaused, kServiceStopPending, kServicePausePending}) {
    scm.Find("QuarnSQLService")->state = state;
    loop.Advance(1000);
    EXPECT_FALSE(panel.lblInstallEnabled);
    EXPECT_FALSE(panel.lblStartEnabled);
    EXPECT_EQ(panel.EstadoService, state);
  }
  EXPECT_EQ(Starts(), 0u);
}

TEST_F(Watchdog, TheSystemAccountBoxFillsAndEmptiesTheAccount) {
  panel.txtPassword = "digitada";
  panel.chkSystem = 1;
  form->chkSystem_Click();
  EXPECT_EQ(panel.txtAccount, "LocalSystem");
  EXPECT_FALSE(panel.txtAccountEnabled);
  EXPECT_FALSE(panel.txtPasswordEnabled);
  panel.chkSystem = 0;
  form->chkSystem_Click();
  EXPECT_EQ(panel.txtAccount, "");
  EXPECT_EQ(panel.txtPassword, "digitada");
  EXPECT_TRUE(panel.txtAccountEnabled && panel.txtPasswordEnabled);
}

TEST_F(Watchdog, InstallingThroughTheLabelEmptiesThePasswordAndTheNextTickStartsIt) {
  Load();
  panel.txtAccount = "operador";
  panel.txtPassword = "s3nha";
  form->lblInstall_Click();
  ASSERT_NE(scm.Find("QuarnSQLService"), nullptr);
  EXPECT_EQ(scm.Find("QuarnSQLService")->account, ".\\operador");
  EXPECT_EQ(scm.Find("QuarnSQLService")->password, std::optional<std::string>("s3nha"));
  EXPECT_EQ(panel.txtPassword, "");
  EXPECT_EQ(panel.lblInstallCaption, "Uninstall Service");
  loop.Advance(1000);
  EXPECT_EQ(scm.Find("QuarnSQLService")->state, kServiceRunning);
  // A failed installation empties the password all the same.
  scm.services.clear();
  scm.createError = 5;
  panel.txtPassword = "outra";
  form->lblInstall_Click();
  EXPECT_TRUE(scm.services.empty());
  EXPECT_EQ(panel.txtPassword, "");
  EXPECT_EQ(panel.lblInstallCaption, "Install Service");
}

TEST_F(Watchdog, LabelClicksStopStartAndRemove) {
  Backup(kServiceRunning);
  Load();
  form->lblStart_Click();
  EXPECT_EQ(scm.Find("QuarnSQLService")->state, kServiceStopped);
  EXPECT_EQ(panel.lblStartCaption, "Start Service");
  form->lblStart_Click();
  EXPECT_EQ(scm.Find("QuarnSQLService")->state, kServiceRunning);
  // Running: "Uninstall Service" is disabled, so the click only refreshes.
  form->lblInstall_Click();
  EXPECT_NE(scm.Find("QuarnSQLService"), nullptr);
  scm.Find("QuarnSQLService")->state = kServiceStopped;
  form->lblInstall_Click();
  EXPECT_EQ(scm.Find("QuarnSQLService"), nullptr);
  EXPECT_EQ(panel.lblInstallCaption, "Install Service");
}

TEST_F(Watchdog, AClickWhoseRefreshDisablesTheLabelOnlyRefreshes) {
  Backup(kServicePaused);
  Load();
  scm.calls.clear();
  form->lblStart_Click();
  EXPECT_EQ(scm.Find("QuarnSQLService")->state, kServicePaused);
  EXPECT_EQ(std::count_if(scm.calls.begin(), scm.calls.end(),
                          [](auto& c) { return c.rfind("Start", 0) == 0 || c.rfind("Stop", 0) == 0; }),
            0);
}

TEST_F(Watchdog, UpdatesEvery10800TicksAndHeartbeatsEvery1200) {
  Load();
  loop.Advance(10800ull * 1000 - 1);
  EXPECT_EQ(work.Count("VerificarSeTemAtualService"), 0u);
  EXPECT_EQ(work.Count("VerificaSalvarExecutandoQuarn"), 8u);
  loop.Advance(1);
  EXPECT_EQ(work.Count("VerificarSeTemAtualService"), 1u);
  EXPECT_EQ(work.Count("VerificarSeTemAtualExe"), 1u);
  EXPECT_EQ(work.Count("VerificaSalvarExecutandoQuarn"), 9u);
  EXPECT_EQ(form->ContadorAtualizacao(), 0);
  EXPECT_EQ(form->ContadorExecutando(), 0);
  // Every piece of work runs under the monitor's in-use marker.
  EXPECT_EQ(work.Count("EstouEmUso(true)"), 10u);
  EXPECT_EQ(work.Count("EstouEmUso(false)"), 10u);
  loop.Advance(3ull * 10800 * 1000);
  EXPECT_EQ(work.Count("VerificarSeTemAtualService"), 4u);
  // A server that asked for six hours gets them, and the schedule goes on from there.
  work.serverWaitMs = 6ull * 3600 * 1000;
  loop.Advance(10800ull * 1000);
  work.serverWaitMs.reset();
  loop.Advance(6ull * 3600 * 1000 - 1);
  EXPECT_EQ(work.Count("VerificarSeTemAtualService"), 5u);
  loop.Advance(1);
  EXPECT_EQ(work.Count("VerificarSeTemAtualService"), 6u);
}

// The first check waits its draw of the start delay, every later one comes
// three hours on give or take a tenth: at the lowest and the highest draw,
// never outside those bounds.
TEST_F(Watchdog, ChecksAreSpreadWithinTheirBounds) {
  for (const bool highest : {false, true}) {
    SCOPED_TRACE(highest ? "highest draw" : "lowest draw");
    info.startDelaySeconds = 60;
    info.random = [highest](uint32_t n) { return highest ? n - 1 : 0; };
    Build();
    work.calls.clear();
    ASSERT_TRUE(form->Form_Load());
    EXPECT_EQ(work.Count("RecuperaPendentes"), highest ? 1u : 0u);  // a cut update waits for no delay
    // The first check at its draw of the minute, the next 3 h on less or more a tenth.
    size_t checks = highest ? 0 : 1;
    for (const uint64_t dueMs : {highest ? 60 * 1000ull : 0ull, (highest ? 9720 : 11880) * 1000ull}) {
      if (dueMs == 0) continue;
      loop.Advance(dueMs - 1);
      EXPECT_EQ(work.Count("VerificarSeTemAtualService"), checks);
      loop.Advance(1);
      EXPECT_EQ(work.Count("VerificarSeTemAtualService"), ++checks);
    }
  }
}

TEST_F(Watchdog, ABusyBackupServiceHoldsTheUpdateAndTheCounterWaits) {
  Load();
  int polls = 0;
  bool checkedDuringWait = false;
  work.busy = [&] {
    if (++polls == 300) {  // 30 s into the wait
      checkedDuringWait = true;
      EXPECT_FALSE(form->Timer1().Enabled());
      EXPECT_EQ(form->ContadorAtualizacao(), 10800);
      EXPECT_EQ(work.Count("VerificarSeTemAtualService"), 0u);
    }
    return polls < 600;
  };
  loop.Advance(10800ull * 1000);
  EXPECT_TRUE(checkedDuringWait);
  EXPECT_EQ(work.Count("VerificarSeTemAtualService"), 1u);
  EXPECT_EQ(form->ContadorAtualizacao(), 0);
  EXPECT_TRUE(form->Timer1().Enabled());
  EXPECT_EQ(loop.IdleCalls(), 599u);  // each poll blocked instead of spinning
}

TEST_F(Watchdog, TicksDuringAHeartbeatCountButStartNoSecondHeartbeat) {
  Load();
  int nested = 0, depth = 0;
  work.onHeartbeat = [&] {
    ++depth;
    nested = std::max(nested, depth);
    for (int i = 0; i < 300; ++i) loop.Idle(100);  // 30 s of waiting, with ticks
    --depth;
  };
  const int32_t before = form->ContadorAtualizacao();
  loop.Advance(1200 * 1000);
  EXPECT_EQ(work.Count("VerificaSalvarExecutandoQuarn"), 1u);
  EXPECT_EQ(nested, 1);
  EXPECT_EQ(form->ContadorAtualizacao(), before + 1200 + 30);  // nothing lost
  EXPECT_EQ(form->ContadorExecutando(), 0);
  loop.Advance(1200 * 1000);
  EXPECT_EQ(work.Count("VerificaSalvarExecutandoQuarn"), 2u);
}

// Stops the backup service as the service manager would, telling whoever asked.
TEST_F(Watchdog, AToldStopRestartsAtOnceAndEveryNotificationIsAskedAgain) {
  Build(&notes);
  Backup(kServiceRunning);
  Load();
  EXPECT_TRUE(notes.Pending());
  for (int i = 0; i < 3; ++i) {
    loop.Advance(400);  // between timer ticks
    scm.Find("QuarnSQLService")->state = kServiceStopped;
    notes.Tell();
    loop.DoEvents();  // no time passes: the restart came from the word, not the tick
    EXPECT_EQ(scm.Find("QuarnSQLService")->state, kServiceRunning) << i;
    EXPECT_TRUE(notes.Pending()) << i;
  }
  EXPECT_EQ(Starts(), 3u);
  // Told again at once: the tick waits for the spacing, not for the timer.
  scm.Find("QuarnSQLService")->state = kServiceStopped;
  notes.Tell();
  loop.DoEvents();
  EXPECT_EQ(scm.Find("QuarnSQLService")->state, kServiceStopped);
  loop.Advance(FrmBackup::kMinEventTickSpacingMs);
  EXPECT_EQ(scm.Find("QuarnSQLService")->state, kServiceRunning);
  // Deleted, then created again: the request on the manager brings the start.
  scm.services.clear();
  loop.Advance(260);
  notes.Tell();
  loop.DoEvents();
  EXPECT_TRUE(notes.Pending());
  Backup(kServiceStopped);
  loop.Advance(260);
  notes.Tell();
  loop.DoEvents();
  EXPECT_EQ(scm.Find("QuarnSQLService")->state, kServiceRunning);
  // Held off while an update replaces the program: the word does nothing, the
  // timer asks again once it is back.
  form->TimerCheckService().SetEnabled(false);
  scm.Find("QuarnSQLService")->state = kServiceStopped;
  notes.Tell();
  loop.Advance(5000);
  EXPECT_EQ(scm.Find("QuarnSQLService")->state, kServiceStopped);
  EXPECT_FALSE(notes.Pending());
  form->TimerCheckService().SetEnabled(true);
  // Its sixth start in a minute: a crash loop, whose first wait comes first.
  loop.Advance(1000 + StartBackoff::kFirstDelayMs);
  EXPECT_EQ(scm.Find("QuarnSQLService")->state, kServiceRunning);
  EXPECT_TRUE(notes.Pending());
  EXPECT_TRUE(form->Backoff().InLoop());
  EXPECT_FALSE(fs.Has(kApp + "\\ErrorQuarn.ini"));
}

TEST_F(Watchdog, AServiceThatStaysStoppedOrARequestThatFailsLeavesThePollInCharge) {
  Build(&notes);
  Backup(kServiceStopped).refusesToStart = true;
  Load();
  loop.Advance(10000);
  // Told at once while stopped, it would be asked and told without end.
  EXPECT_LE(Starts(), 12u);
  EXPECT_LE(notes.arms, 2);
  scm.Find("QuarnSQLService")->refusesToStart = false;
  loop.Advance(20000);  // refused starts are a crash loop too: the start comes at the end of its wait
  EXPECT_EQ(scm.Find("QuarnSQLService")->state, kServiceRunning);
  EXPECT_TRUE(notes.Pending());
  loop.Advance(StartBackoff::kRecoveredAfterMs);
  EXPECT_FALSE(form->Backoff().InLoop());

  notes.failWith = 5;
  scm.Find("QuarnSQLService")->state = kServiceStopped;
  notes.Tell();
  loop.Advance(5000);
  EXPECT_EQ(scm.Find("QuarnSQLService")->state, kServiceRunning);  // the poll's
  EXPECT_GE(notes.arms, 6);                                        // asked again at every tick
  const std::string errors = fs.ReadAll(kApp + "\\ErrorQuarn.ini");
  EXPECT_EQ(errors.find("TimerCheckService"), errors.rfind("TimerCheckService"));  // logged once
  EXPECT_NE(errors.find("| TimerCheckService | 5 - "), std::string::npos);
  notes.failWith = 0;
  loop.Advance(1000);
  EXPECT_TRUE(notes.Pending());
}

TEST_F(Watchdog, TheWatchdogRunsDuringStartUpWaitsAndPanelDrawingIsBalanced) {
  Backup(kServiceStopped);
  int polls = 0;
  work.busy = [&] { return ++polls < 30; };
  ASSERT_TRUE(form->Form_Load());
  EXPECT_EQ(scm.Find("QuarnSQLService")->state, kServiceRunning);
  EXPECT_EQ(view.depth, 0);
  EXPECT_GT(view.updates, 0);
  form->MnuAFB_Click();
  EXPECT_EQ(view.shown, 1);
}

TEST_F(Watchdog, AMarkerThatStaysBusyHoldsTheCheckNoLongerThanAnHourAndSaysSo) {
  Load();
  work.busy = [] { return true; };  // a marker dated in the future, or held for ever
  loop.Advance(10800ull * 1000 + FrmBackup::kEmUsoWaitMs + 1000);
  EXPECT_EQ(work.Count("VerificarSeTemAtualService"), 1u);
  EXPECT_TRUE(form->Timer1().Enabled());
  EXPECT_NE(codec.FromAnsi(fs.Get(kApp + "\\ErrorQuarn.ini"))
                .find("Espera pelo QuarnSQLServiceEmUso.ti encerrada após 60 minutos"),
            std::string::npos);
}

TEST_F(Watchdog, AHeartbeatThatCannotBeWrittenIsLoggedOnceAndTriedAgainWhileTheWatchdogRuns) {
  Backup(kServiceRunning);
  Load();
  int failures = 3;
  work.onHeartbeat = [&] {
    if (failures-- > 0) throw FileError(kErrPathNotFound);  // a clean-up tool took the Logs folder
  };
  fs.dirs.erase(fakes::Key(kApp + "\\Logs"));
  loop.Advance(1200ull * 1000);
  EXPECT_TRUE(fs.DirExists(kApp + "\\Logs"));
  scm.Find("QuarnSQLService")->state = kServiceStopped;
  loop.Advance(3000);
  EXPECT_EQ(shell.ended, 0);
  EXPECT_EQ(work.Count("VerificaSalvarExecutandoQuarn"), 4u);  // each tick tries until it succeeds
  EXPECT_EQ(host.events.size(), 1u);
  EXPECT_EQ(scm.Find("QuarnSQLService")->state, kServiceRunning);  // the watchdog never stopped
  EXPECT_EQ(work.Count("EstouEmUso(true)"), work.Count("EstouEmUso(false)"));
}

}  // namespace
}  // namespace quarn
