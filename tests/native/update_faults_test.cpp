// The update of both programs on a whole machine, with a fault or a power loss
// at every operation that changes anything.
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "fakes/machine_fakes.h"
#include "fakes/signing.h"
#include "monitor/frm_backup.h"
#include "monitor/markers.h"
#include "monitor/update/update_stack.h"
#include "monitor/update/updater.h"

namespace quarn {
namespace {

using fakes::Injector;
using fakes::Machine;
using fakes::PowerLoss;

using fakes::kApp;
using fakes::kLogs;
const std::string kTemp = kApp + "\\temp\\";
const std::string kBase = "http://atualizacao.test/CentralUpdate/QuarnSqlSolvane/";
constexpr uint32_t kProbationSeconds = 12;
// Long enough for a probation to end, either way, and its clean-up to follow.
constexpr uint64_t kSettleMs = (kProbationSeconds + 25) * 1000;

using Build = std::vector<std::pair<std::string, std::string>>;

struct Program {
  std::string name, record, versionZip;
  std::map<std::string, Build> builds;  // by version
};

const std::vector<Program>& Programs() {
  static const std::vector<Program> programs = {
      {"QuarnSQLService",
       "VersaoQuarnSQLService.ini",
       "VersaoQuarnSQLService.zip",
       {{"1.0", {{"QuarnSQLService.exe", "svc 1.0"}, {"libmysql.dll", "lib 1.0"}}},
        {"2.0", {{"QuarnSQLService.exe", "svc 2.0"}, {"libmysql.dll", "lib 2.0"}, {"novo.dll", "novo 2.0"}}}}},
      {"QuarnSQLMonitor",
       "VersaoQuarnSqlMonitor.ini",
       "VersaoQuarnSqlMonitor.zip",
       {{"1.0", {{"QuarnSQLMonitor.exe", fakes::WindowsProgram("gui 1.0")}, {"QuarnSQLMonitor.chm", "ajuda 1.0"}}},
        {"2.0", {{"QuarnSQLMonitor.exe", fakes::WindowsProgram("gui 2.0")}, {"QuarnSQLMonitor.chm", "ajuda 2.0"}}}}},
  };
  return programs;
}

// The publisher's key: every record and build of the model is signed, as on every machine.
const publish::PrivateKey& PublisherKey() {
  static const publish::PrivateKey key = publish::GenerateKey();
  return key;
}

// The version archive of each build, its statement signed beside the record.
std::string VersionArchive(Machine& m, const Program& p, const std::string& version, const std::string& manifest,
                           uint64_t number) {
  const std::string bytes = "PK:" + p.versionZip + version + ":" + std::to_string(number);
  m.unzip.archives[bytes] = {{p.record, version + "\r\n"},
                             {kStatementName, fakes::SignedStatement(PublisherKey(), p.name, version, number,
                                                                     m.publications.now + 30 * 86400, manifest)}};
  return bytes;
}

// Publishes `build` of the service as `version`, publication `number`, on the server (not yet announced).
std::string SignedServiceBuild(Machine& m, const std::string& version, const Build& build, uint64_t number) {
  const Program& p = Programs()[0];
  const fakes::Entries entries = fakes::SignedBuild(PublisherKey(), p.name, version, build);
  const std::string bytes = "PK:" + p.name + " " + version + ":" + std::to_string(number);
  m.unzip.archives[bytes] = entries;
  m.server.routes[kBase + p.name + ".zip"] = fakes::FakeResponse{200, bytes};
  m.wholePrograms.insert(build.front().second);
  return VersionArchive(m, p, version, entries.back().second, number);
}

// Version 1.0 of both programs installed and running; Publish() puts 2.0 on the server.
void Install(Machine& m) {
  for (const std::string& d :
       {std::string("C:\\Solvane"), kApp, kApp + "\\Logs", kApp + "\\temp", std::string("C:\\Windows")})
    m.fs.AddDir(d);
  m.fs.Put("C:\\Windows\\win.ini", "[windows]");
  m.fs.Put(kApp + "\\QuarnSQLServiceMonitor.exe", "monitor");
  m.keys.settings = {{"compiladas", ToHex(publish::PublicKey(PublisherKey())), ""}};
  m.policy.probationSeconds = kProbationSeconds;
  m.policy.reports = true;  // each outcome's report broken at every step too
  for (const auto& p : Programs()) {
    for (const auto& [file, bytes] : p.builds.at("1.0")) m.fs.Put(JoinPath(kApp, file), bytes);
    m.fs.Put(kLogs + p.record, "1.0\r\n");
    uint64_t number = 0;
    for (const auto& [version, files] : p.builds) {
      const fakes::Entries entries = fakes::SignedBuild(PublisherKey(), p.name, version, files);
      const std::string published = VersionArchive(m, p, version, entries.back().second, ++number);
      // Validators as a static server gives them: unchanged checks are 304s, cut builds resume.
      m.server.routes[kBase + p.versionZip + version] = fakes::FakeResponse{200, published};
      m.server.routes[kBase + p.versionZip + version].etag = "\"" + version + "\"";
      if (version == "2.0") {
        const std::string build = "PK:" + p.name + " 2.0";
        m.unzip.archives[build] = entries;
        m.server.routes[kBase + p.name + ".zip"] = fakes::FakeResponse{200, build};
        m.server.routes[kBase + p.name + ".zip"].etag = "\"b2\"";
      }
      m.wholePrograms.insert(files.front().second);
    }
    m.server.routes[kBase + p.versionZip] = m.server.routes[kBase + p.versionZip + "1.0"];
  }
  m.services["QuarnSQLService"] = Machine::Service{kApp + "\\QuarnSQLService.exe"};
  m.libraries["QuarnSQLService.exe"] = {"libmysql.dll", "novo.dll"};
  m.openFiles["QuarnSQLMonitor.exe"] = {"QuarnSQLMonitor.chm"};
  m.Boot();
  m.Run(kApp + "\\QuarnSQLMonitor.exe");  // a user has the GUI monitor open
  m.confine = kApp;
}

void Publish(Machine& m) {
  for (const auto& p : Programs())
    m.server.routes[kBase + p.versionZip] = m.server.routes[kBase + p.versionZip + "2.0"];
}

// The monitor as the service manager starts it, on the machine's drive.
struct Monitor {
  Machine& m;
  Cp1252Codec codec;
  fakes::FixedClock clock;
  PtBrDateFormat dates;
  fakes::RecordingHost host;
  fakes::RecordingShell shell;
  fakes::RecordingView view;
  fakes::FixedServer server;
  ServicePanel panel;
  MonitorServiceControl service{m.scm, panel.txtAccount, panel.txtPassword, kApp};
  FechaExe fecha{m.procs};
  MonitorMarkers markers{MarkerPorts{m.fs, codec, clock, dates, *m.loop, service, fecha}, kLogs};
  publish::OpenSslCrypto crypto;
  WholeFileChunks chunks{m.fs};
  FrmBackup form;  // calls the updater only once loaded
  UpdateStack update{
      UpdateStackPorts{UpdaterPorts{m.fs, codec, *m.loop, m.inet, m.unzip, server, service, fecha, m.policy, m.lock},
                       chunks, crypto, m.keys, m.publications, UpdateObserver::None()},
      kApp, form.Logs(), form.TimerCheckService()};
  Updater& updater = update.updater;

  static ProgramInfo Info() {
    ProgramInfo info;
    info.appPath = kApp;
    info.exeName = "QuarnSQLServiceMonitor";
    return info;
  }
  explicit Monitor(Machine& machine)
      : m(machine),
        form(MonitorPorts{m.fs, codec, clock, dates, *m.loop, host, shell, markers, update.updater, service, panel,
                          view},
             Info()) {
    shell.onEnd = [this] { m.loop->EndProgram(); };
  }

  // Started while 1.0 is still what the server has, then 2.0 is published.
  Monitor& Started() {
    EXPECT_TRUE(form.Form_Load());
    Publish(m);
    return *this;
  }
  // A pair of checks, as the update timer runs them.
  void Checks() {
    updater.VerificarSeTemAtualService();
    updater.VerificarSeTemAtualExe();
  }
  // A pair of checks and the time a probation takes: an update's whole way.
  void Update() {
    Checks();
    m.loop->Advance(kSettleMs);
  }
  // Start-up with its check, the time a probation takes, the next check and its time.
  void Life() {
    ASSERT_TRUE(form.Form_Load());
    m.loop->Advance(kSettleMs);
    Update();
    EXPECT_TRUE(form.TimerCheckService().Enabled()) << "the watchdog is off";
  }
};

std::map<std::string, std::string> Outside(Machine& m) {
  std::map<std::string, std::string> out;
  const std::string suite = fakes::Key(kApp);
  for (auto& [k, v] : m.fs.files)
    if (k.compare(0, suite.size(), suite) != 0) out[k] = v;
  for (auto& d : m.fs.dirs)
    if (d.compare(0, suite.size(), suite) != 0) out[d + "\\"] = "<dir>";
  return out;
}

// What must hold once a check has run without a fault: empty when it does.
// With `published`, both programs must have reached that build.
// A build's name for the service may differ from the GUI monitor's (a dying build rolled back).
std::string Broken(Machine& m, const std::map<std::string, std::string>& outside, const std::string& published = "",
                   std::string servicePublished = "") {
  if (servicePublished.empty()) servicePublished = published;
  std::string why;
  const std::string exe = kApp + "\\QuarnSQLService.exe";
  if (m.scm.Status("QuarnSQLService") != kServiceRunning) why += " backup service not running;";
  if (!m.Running(exe)) why += " backup service not running from its program file;";
  if (!m.wholePrograms.count(m.fs.Get(exe))) why += " program file not whole;";
  Cp1252Codec codec;
  for (const auto& p : Programs()) {
    const auto lines = SplitLines(codec.FromAnsi(m.fs.Get(kLogs + p.record)));
    const std::string version = lines.empty() ? "" : TrimSpaces(lines.back());
    auto build = p.builds.find(version);
    if (build == p.builds.end()) {
      why += " " + p.record + " names no build (" + version + ");";
      continue;
    }
    const std::string& wanted = p.name == "QuarnSQLService" ? servicePublished : published;
    if (!wanted.empty() && version != wanted) why += " " + p.record + " is " + version + ", not " + wanted + ";";
    for (const auto& [file, bytes] : build->second)
      if (m.fs.Get(JoinPath(kApp, file)) != bytes) why += " " + file + " is not " + version + ";";
    // The list of the build in place, once an update wrote one, names it and its files as they are.
    InstalledBuild listed;
    const std::string list = kLogs + InstalledBuildFile(p.name);
    if (m.fs.Has(list)) {
      if (!ParseInstalledBuild(m.fs.Get(list), listed) || listed.version != version) {
        why += " " + list + " does not name " + version + ";";
      } else {
        for (const auto& f : listed.files)
          if (m.fs.Get(JoinPath(kApp, f.name)).size() != f.size) why += " " + f.name + " differs from its list;";
      }
    }
    // No file of another build beside the recorded one.
    for (const auto& [other, files] : p.builds)
      for (const auto& entry : files) {
        const std::string& file = entry.first;
        const bool ours =
            std::any_of(build->second.begin(), build->second.end(), [&](auto& f) { return f.first == file; });
        if (!ours && m.fs.Has(JoinPath(kApp, file)))
          why += " " + file + " of " + other + " left beside " + version + ";";
      }
    for (const char* leftover : {".pendente", ".novo", ".anterior", ".instalado"}) {
      const std::string path = kTemp + p.name + leftover;
      if (m.fs.Has(path) || m.fs.DirExists(path) || !m.fs.ListFiles(path).empty()) why += " " + path + " left;";
    }
  }
  if (Outside(m) != outside) why += " something outside the suite folder changed;";
  if (!m.outside.empty()) why += " a path outside the suite folder was used: " + m.outside.front() + ";";
  return why;
}

// The operations a clean update of both programs makes, and the files it reads.
// A build of the service published as 2.0 that ends 5 s after each start:
// it passes the start and fails its probation.
void PublishDying(Machine& m) {
  const Build dying = {{"QuarnSQLService.exe", "svc 2.0 dying"}, {"libmysql.dll", "lib 2.0"}};
  m.diesAfterMs["svc 2.0 dying"] = 5000;
  m.server.routes[kBase + "VersaoQuarnSQLService.zip2.0"] =
      fakes::FakeResponse{200, SignedServiceBuild(m, "2.0", dying, 2)};
}

using Variant = void (*)(Machine&);

int CleanRun(std::vector<std::string>* ops = nullptr, std::vector<std::string>* reads = nullptr,
             Variant variant = nullptr) {
  Machine m;
  Install(m);
  if (variant) variant(m);
  Monitor mon(m);
  mon.Started();
  m.inj.Arm(Injector::Mode::kNone, 0);
  mon.Update();
  if (ops) *ops = m.inj.ops;
  if (reads) *reads = m.inj.reads;
  return m.inj.count;
}

// Every fault kind at every operation of an update's whole way, its probation
// included (and, with a build that fails it, the rollback after it): the suite
// holds at once, and converges once the faults stop. The points it ran.
int EveryFaultAtEveryStep(Variant variant, const std::string& serviceConverges) {
  std::vector<std::string> reads;
  const int total = CleanRun(nullptr, &reads, variant);
  {
    Machine m;
    Install(m);
    if (variant) variant(m);
    const auto outside = Outside(m);
    Monitor mon(m);
    mon.Started().Update();
    EXPECT_EQ(Broken(m, outside, "2.0", serviceConverges), "");
  }
  EXPECT_GT(total, 40);
  int points = 0;
  struct Kind {
    Injector::Mode mode;
    int fate;  // what a power cut leaves of an unflushed file: 1 earlier bytes, 2 empty, 3 any, file by file
    const char* name;
  };
  const Kind kinds[] = {{Injector::Mode::kFail, 2, "fault"},
                        {Injector::Mode::kFailFrom, 2, "lasting fault"},
                        {Injector::Mode::kFailRead, 2, "failed read"},
                        {Injector::Mode::kCrash, 2, "power loss (unflushed files empty)"},
                        {Injector::Mode::kCrash, 1, "power loss (unflushed files as before)"},
                        {Injector::Mode::kCrash, 3, "power loss (unflushed files whole, as before or empty)"}};
  for (const Kind& kind : kinds) {
    const Injector::Mode mode = kind.mode;
    const int steps = mode == Injector::Mode::kFailRead ? static_cast<int>(reads.size()) : total;
    for (int n = 1; n <= steps; ++n) {
      const char* modeName = kind.name;
      Machine m;
      m.cutFate = [&kind, n](const std::string& key) {
        return kind.fate < 3 ? kind.fate
                             : static_cast<int>((std::hash<std::string>()(key) + static_cast<size_t>(n)) % 3);
      };
      Install(m);
      if (variant) variant(m);
      const auto outside = Outside(m);
      std::string at;
      bool lost = false;
      {
        Monitor mon(m);
        mon.Started();
        m.inj.Arm(mode, n);
        try {
          mon.Update();
        } catch (const PowerLoss&) {
          lost = true;
        }
        at = mode == Injector::Mode::kFailRead ? m.inj.reads.at(static_cast<size_t>(n) - 1)
                                               : m.inj.ops.at(static_cast<size_t>(n) - 1);
        EXPECT_EQ(lost, mode == Injector::Mode::kCrash) << modeName << " at " << n << ": " << at;
        if (!lost) {
          m.inj.Disarm();
          m.loop->Advance(kSettleMs);
          mon.Update();
        }
      }
      if (lost) {
        m.Boot();
        Monitor mon(m);
        mon.Life();
      }
      EXPECT_EQ(Broken(m, outside), "") << modeName << " at operation " << n << ": " << at
                                        << (getenv("QDEBUG")
                                                ? Cp1252Codec().FromAnsi(m.fs.Get(kLogs + "LogGeralMonitor.INI")) +
                                                      m.fs.Get(kTemp + "QuarnSQLService.pendente")
                                                : "");
      // Once the faults stop, a clean check reaches the published build.
      {
        Monitor mon(m);
        mon.Life();
      }
      EXPECT_EQ(Broken(m, outside, "2.0", serviceConverges), "")
          << "after " << modeName << " at operation " << n << ": " << at;
      ++points;
    }
  }
  return points;
}

TEST(UpdateFaults, EveryFaultAndEveryPowerLossAtEveryStepLeavesAWorkingSuite) {
  int points = EveryFaultAtEveryStep(nullptr, "2.0");
  std::vector<std::string> reads;
  const int total = CleanRun(nullptr, &reads);

  // What outlasts every check: each file the update reads or replaces held
  // open by another program for an hour, the old build accepting a stop and
  // never stopping, the service disabled by an administrator. The suite holds
  // meanwhile, and converges once it ends.
  struct Lasting {
    std::string name;
    std::function<void(Machine&)> begin, end;
  };
  std::vector<Lasting> lasting = {
      {"a stop that never completes", [](Machine& m) { m.ignoresStop.insert("svc 1.0"); },
       [](Machine& m) { m.ignoresStop.clear(); }},
      {"the service disabled", [](Machine& m) { m.services["QuarnSQLService"].disabled = true; },
       [](Machine& m) { m.services["QuarnSQLService"].disabled = false; }}};
  std::set<std::string> held;
  for (const std::string& path : reads) held.insert(fakes::Key(path));
  {
    Machine m;
    Install(m);
    for (const auto& [key, bytes] : m.fs.files)
      if (Machine::Within(kApp, key)) held.insert(key);
  }
  for (const std::string& key : held)
    lasting.push_back(
        {"held open: " + key, [key](Machine& m) { m.fs.locked.insert(key); }, [](Machine& m) { m.fs.locked.clear(); }});
  for (const Lasting& l : lasting) {
    Machine m;
    Install(m);
    const auto outside = Outside(m);
    l.begin(m);
    {
      Monitor mon(m);
      mon.Started().Update();
      mon.Update();
    }
    EXPECT_EQ(Broken(m, outside), "") << l.name;
    l.end(m);
    {
      Monitor mon(m);
      mon.Life();
    }
    EXPECT_EQ(Broken(m, outside, "2.0"), "") << "after " << l.name;
    ++points;
  }

  // A second power loss while the first one is being put right.
  std::mt19937 random(20261207);
  int seconds = 0;
  for (int run = 0; run < 150; ++run) {
    const int first = std::uniform_int_distribution<int>(1, total)(random);
    const int second = std::uniform_int_distribution<int>(1, 80)(random);
    Machine m;
    Install(m);
    const auto outside = Outside(m);
    {
      Monitor mon(m);
      mon.Started();
      m.inj.Arm(Injector::Mode::kCrash, first);
      ASSERT_THROW(mon.Update(), PowerLoss);
    }
    m.Boot();
    bool lost = false;
    {
      Monitor mon(m);
      m.inj.Arm(Injector::Mode::kCrash, second);
      try {
        mon.Life();
      } catch (const PowerLoss&) {
        lost = true;
      }
    }
    if (lost) {
      ++seconds;
      m.Boot();
      Monitor mon(m);
      mon.Life();
    }
    EXPECT_EQ(Broken(m, outside), "") << "power lost at " << first << ", again at " << second;
  }
  points += seconds;
  std::cout << "fault injection: " << points << " points (" << total
            << " operations x a fault, a lasting fault and three kinds of power loss; " << reads.size()
            << " failed reads; " << lasting.size() << " conditions lasting beyond the checks; " << seconds
            << " second power losses in the checks after boot), all hold and converge" << std::endl;
  RecordProperty("fault_injection_points", points);
}

// The same with a build that starts well and ends 5 s after each start: it is
// rolled back at every point, the GUI monitor's build still arrives.
TEST(UpdateFaults, EveryFaultInAFailedProbationAndItsRollbackLeavesTheBuildBefore) {
  const int points = EveryFaultAtEveryStep(&PublishDying, "1.0");
  std::cout << "fault injection with a build that fails its probation: " << points << " points, all hold and converge"
            << std::endl;
  RecordProperty("fault_injection_points", points);
}

// The record names a build only as long as the disk holds it: a file of the
// build in place removed or changed after its update (a quarantine, a
// clean-up tool) is back from the server at the next check, said in the logs.
TEST(UpdateFaults, AFileOfTheBuildInPlaceRemovedOrChangedIsBackAfterTheNextCheck) {
  struct Row {
    const char* name;
    std::function<void(Machine&)> damage;
    const char* said;
  };
  const Row rows[] = {
      {"program file deleted, service stopped",
       [](Machine& m) {
         m.scm.Stop("QuarnSQLService");
         m.loop->Advance(100);
         m.fs.Delete(kApp + "\\QuarnSQLService.exe");
       },
       "QuarnSQLService.exe ausente"},
      {"library changed, same size", [](Machine& m) { m.fs.Put(kApp + "\\novo.dll", "NOVO 2.0"); },
       "novo.dll alterado"},
      {"help file of the GUI monitor deleted",
       [](Machine& m) { m.fs.files.erase(fakes::Key(kApp + "\\QuarnSQLMonitor.chm")); }, "QuarnSQLMonitor.chm ausente"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Machine m;
    Install(m);
    const auto outside = Outside(m);
    Monitor mon(m);
    mon.Started().Update();
    ASSERT_EQ(Broken(m, outside, "2.0"), "");
    row.damage(m);
    mon.Update();
    EXPECT_EQ(Broken(m, outside, "2.0"), "");
    EXPECT_NE(Cp1252Codec()
                  .FromAnsi(m.fs.Get(kApp + "\\ErrorQuarn.ini"))
                  .find(std::string("7116-Arquivo do build instalado: ") + row.said),
              std::string::npos);
    // A file written again with the same bytes is no repair: its digest says so, once.
    const auto downloads = m.server.requested.size();
    m.fs.Put(kApp + "\\libmysql.dll", m.fs.Get(kApp + "\\libmysql.dll"));
    mon.Update();
    mon.Update();
    EXPECT_EQ(m.server.requested.size(), downloads + 4);  // the two version archives, twice
  }
}

// Power lost once the new service build was in place but before it was
// recorded: at boot the service manager runs the new build, and the next
// check must stop it to put the old one back.
TEST(UpdateFaults, RecoveryStopsTheServiceRunningTheNewBuildAndPutsTheOldOneBack) {
  std::vector<std::string> ops;
  CleanRun(&ops);
  const auto record = std::find(ops.begin(), ops.end(), "DurableRename " + kLogs + "VersaoQuarnSQLService.ini.tmp -> " + kLogs + "VersaoQuarnSQLService.ini");
  ASSERT_NE(record, ops.end());
  Machine m;
  Install(m);
  {
    Monitor mon(m);
    mon.Started();
    m.inj.Arm(Injector::Mode::kCrash, static_cast<int>(record - ops.begin()) + 1);
    ASSERT_THROW(mon.Checks(), PowerLoss);
  }
  m.Boot();
  ASSERT_EQ(m.fs.Get(kApp + "\\QuarnSQLService.exe"), "svc 2.0");
  ASSERT_TRUE(m.Running(kApp + "\\QuarnSQLService.exe"));
  Monitor mon(m);
  m.server.online = false;  // the start-up check only puts right what it finds
  ASSERT_TRUE(mon.form.Form_Load());
  m.loop->Advance(2000);
  EXPECT_EQ(m.fs.Get(kApp + "\\QuarnSQLService.exe"), "svc 1.0");
  EXPECT_EQ(m.fs.Get(kApp + "\\libmysql.dll"), "lib 1.0");
  EXPECT_FALSE(m.fs.Has(kApp + "\\novo.dll"));
  EXPECT_FALSE(m.fs.Has(kTemp + "QuarnSQLService.pendente"));
  EXPECT_EQ(m.scm.Status("QuarnSQLService"), kServiceRunning);
  EXPECT_TRUE(mon.form.TimerCheckService().Enabled());
}

// An administrator stops the monitor while the update waits for the backup
// service's process to end: the monitor ends with the backup service running.
TEST(UpdateFaults, AStopDuringTheUpdateEndsTheMonitorWithTheBackupServiceRunning) {
  Machine m;
  Install(m);
  const auto outside = Outside(m);
  Monitor mon(m);
  mon.Started();
  m.scm.onStop = [&] { m.loop->Post([&] { mon.form.NTService1_Stop(); }); };
  EXPECT_THROW(mon.Checks(), ProgramEnd);
  EXPECT_EQ(mon.shell.ended, 1);
  m.scm.onStop = nullptr;
  EXPECT_EQ(m.scm.Status("QuarnSQLService"), kServiceRunning);
  EXPECT_TRUE(m.Running(kApp + "\\QuarnSQLService.exe"));
  EXPECT_EQ(m.fs.Get(kApp + "\\QuarnSQLService.exe"), "svc 1.0");
  EXPECT_EQ(m.fs.Get(kLogs + "VersaoQuarnSQLService.ini"), "1.0\r\n");
  EXPECT_FALSE(m.fs.Has(kTemp + "QuarnSQLService.pendente"));
}

// Whoever answers for the update server chooses every byte of a version
// archive: only the record and its statement come out of it, into a folder
// of their own, and nothing the updater acts on changes.
TEST(UpdateFaults, AVersionArchiveYieldsItsRecordAndNothingElse) {
  const std::vector<std::pair<std::string, std::string>> planted = {
      {"QuarnSQLService.pendente", "2.0\r\n1.0\r\n+..\\..\\Windows\\win.ini\r\n.\r\n"},
      {"QuarnSQLService.exe", "planted program"},
      {"QuarnSQLService.anterior/QuarnSQLService.exe", "planted backup"},
      {"../../Windows/win.ini", "planted"},
      {"C:\\Windows\\win.ini", "planted"},
      {"QuarnSQLServiceMonitor.exe", "planted monitor"},
      {"Logs/VersaoQuarnSQLService.ini", "9.9\r\n"},
  };
  for (const auto& entry : planted) {
    SCOPED_TRACE(entry.first);
    Machine m;
    Install(m);
    const auto outside = Outside(m);
    const std::string zip = "PK:planted " + entry.first;
    m.unzip.archives[zip] = {entry, {"VersaoQuarnSQLService.ini", "1.0\r\n"}};
    m.server.routes[kBase + "VersaoQuarnSQLService.zip"].body = zip;
    Monitor mon(m);
    ASSERT_TRUE(mon.form.Form_Load());
    // Besides the logs and the downloaded archive, the record alone was written.
    std::vector<std::string> written;
    for (const auto& [k, v] : m.fs.files)
      if (k.find("\\logs\\") == std::string::npos && m.fs.writeTimes[k] > 0 && v == entry.second) written.push_back(k);
    EXPECT_TRUE(written.empty()) << written.front();
    for (const auto& f : m.fs.ListFiles(kTemp + "versao"))
      EXPECT_TRUE(f == "VersaoQuarnSQLService.ini" || f == "VersaoQuarnSqlMonitor.ini" || f == kStatementName) << f;
    EXPECT_EQ(m.fs.Get(kLogs + "VersaoQuarnSQLService.ini"), "1.0\r\n");
    EXPECT_EQ(Broken(m, outside), "");
  }
}

// A journal that names anything but a plain file of the suite folder is not
// ours: nothing moves on its word, what lies in the backup folder is never
// put back, and the next check reinstalls the published build.
TEST(UpdateFaults, AJournalNamingMoreThanAFileOfTheSuiteIsRefusedAndTheSuiteConverges) {
  // (Every kind of foreign line is a row of the recovery plan's table.)
  const std::vector<std::string> lines = {"+..\\..\\Windows\\win.ini", "+libmysql.dll:stream"};
  for (const std::string& line : lines) {
    SCOPED_TRACE(line);
    Machine m;
    Install(m);
    const auto outside = Outside(m);
    Publish(m);
    // An update cut after the library moved: the old one waits in the backup folder.
    m.fs.AddDir(kTemp + "QuarnSQLService.anterior");
    m.fs.Put(kTemp + "QuarnSQLService.anterior\\libmysql.dll", "lib 1.0");
    m.fs.Put(kApp + "\\libmysql.dll", "lib 2.0");
    m.fs.Put(kTemp + "QuarnSQLService.pendente", "2.0\r\n1.0\r\n=libmysql.dll\r\n" + line + "\r\n.\r\n");
    Monitor mon(m);
    m.server.online = false;
    ASSERT_TRUE(mon.form.Form_Load());
    EXPECT_EQ(m.fs.Get(kApp + "\\libmysql.dll"), "lib 2.0");
    EXPECT_FALSE(m.fs.Has(kTemp + "QuarnSQLService.anterior\\libmysql.dll"));
    const std::string refusal = "Restaura QuarnSQLService 7113-Diário de atualização inválido: linha \"" + line + "\"";
    EXPECT_NE(Cp1252Codec().FromAnsi(m.fs.Get(kApp + "\\ErrorQuarn.ini")).find(refusal), std::string::npos);
    m.server.online = true;
    mon.Update();
    EXPECT_EQ(Broken(m, outside), "");
    EXPECT_EQ(m.fs.Get(kApp + "\\QuarnSQLService.exe"), "svc 2.0");
  }
}

// Builds that fail their probation (one that ends a while after each start is
// the second fault model's): each is rolled back, the old build runs,
// its publication is held (not fetched again) until its next try an hour on,
// and the fixed build published again under the same version is installed.
TEST(UpdateFaults, ABuildThatFailsItsProbationIsRolledBackAndItsPublicationHeld) {
  struct Row {
    const char* name;
    std::function<void(Machine&, const std::string&)> breaks;
    const char* why;
  };
  const Row rows[] = {
      {"ends as it starts", [](Machine& m, const std::string& b) { m.exitsAtOnce.insert(b); }, "terminou 2 vezes"},
      {"never writes its heartbeat", [](Machine& m, const std::string& b) { m.noHeartbeat.insert(b); },
       "nenhum batimento em 12 s"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Machine m;
    Install(m);
    const auto outside = Outside(m);
    const Build broken = {{"QuarnSQLService.exe", "svc 2.0 broken"}, {"libmysql.dll", "lib 2.0"}};
    row.breaks(m, "svc 2.0 broken");
    const std::string record = SignedServiceBuild(m, "2.0", broken, 2);
    Monitor mon(m);
    ASSERT_TRUE(mon.form.Form_Load());
    m.server.routes[kBase + "VersaoQuarnSQLService.zip"] = fakes::FakeResponse{200, record};
    mon.Update();
    mon.Update();
    EXPECT_EQ(m.fs.Get(kApp + "\\QuarnSQLService.exe"), "svc 1.0");
    EXPECT_EQ(m.fs.Get(kLogs + "VersaoQuarnSQLService.ini"), "1.0\r\n")
        << Cp1252Codec().FromAnsi(m.fs.Get(kLogs + "LogGeralMonitor.INI"));
    EXPECT_NE(Cp1252Codec()
                  .FromAnsi(m.fs.Get(kApp + "\\ErrorQuarn.ini"))
                  .find(std::string("Update Sistema QuarnSQLService 7117-O novo build falhou no período de prova: "
                                    "o QuarnSQLService 2.0 ") +
                        row.why),
              std::string::npos)
        << Cp1252Codec().FromAnsi(m.fs.Get(kApp + "\\ErrorQuarn.ini"));
    const auto downloads = [&] {
      return std::count(m.server.requested.begin(), m.server.requested.end(), kBase + "QuarnSQLService.zip");
    };
    EXPECT_EQ(downloads(), 1) << "held: not fetched again"
                              << Cp1252Codec().FromAnsi(m.fs.Get(kApp + "\\ErrorQuarn.ini"));
    // An hour on, the held publication is tried again, and held for two hours.
    m.policy.now += kHoldFirstDelaySeconds;
    mon.Update();
    EXPECT_EQ(downloads(), 2);
    EXPECT_NE(m.fs.Get(kLogs + kHoldsFile).find("QuarnSQLService 2 "), std::string::npos);
    EXPECT_EQ(ParseHolds(m.fs.Get(kLogs + kHoldsFile)).front().failures, 2u);
    // The fixed build published again under the same version: taken, and kept after its probation.
    m.server.routes[kBase + "VersaoQuarnSQLService.zip"] =
        fakes::FakeResponse{200, SignedServiceBuild(m, "2.0", Programs()[0].builds.at("2.0"), 3)};
    mon.Update();
    EXPECT_EQ(Broken(m, outside), "");
    EXPECT_EQ(m.fs.Get(kApp + "\\QuarnSQLService.exe"), "svc 2.0");
    EXPECT_EQ(m.fs.Get(kLogs + kHoldsFile), "");
  }
}

}  // namespace
}  // namespace quarn

namespace quarn {
namespace {

// A backup service that ends as soon as it starts, for a whole day: the
// watchdog keeps asking, with patience, and the logs say so in a few lines;
// once it is mended it runs again within the longest wait, and ten minutes
// on the loop is over.
TEST(UpdateFaults, ABackupServiceThatEndsAtOnceForADayIsStartedWithinBoundsAndTheLogsStaySmall) {
  Machine m;
  Install(m);
  m.exitsAtOnce.insert("svc 1.0");
  Monitor mon(m);
  ASSERT_TRUE(mon.form.Form_Load());
  m.inj.Arm(Injector::Mode::kNone, 0);  // records every start
  const auto logBytes = [&] {  // the three logs and their older generations
    size_t n = 0;
    for (const auto& [key, bytes] : m.fs.files)
      for (const char* log : {"errorquarn", "formatarichtextbox", "loggeralmonitor"})
        if (key.find(log) != std::string::npos) n += bytes.size();
    return n;
  };
  std::vector<uint64_t> starts;
  size_t seen = 0;
  for (uint64_t s = 0; s < 24 * 3600; ++s) {
    m.loop->Advance(1000);
    for (; seen < m.inj.ops.size(); ++seen)
      if (m.inj.ops[seen] == "Start QuarnSQLService") starts.push_back(m.loop->TickMs());
  }
  for (size_t i = 0; i + StartBackoff::kMaxStartsInWindow < starts.size(); ++i)
    ASSERT_GE(starts[i + StartBackoff::kMaxStartsInWindow] - starts[i], StartBackoff::kWindowMs) << "start " << i;
  EXPECT_GT(starts.size(), 24u * 3600 * 1000 / StartBackoff::kMaxDelayMs);  // it never gave up
  EXPECT_LT(starts.size(), 24u * 3600 * 1000 / StartBackoff::kMaxDelayMs + 20);
  // The whole day's logs, its eight update checks included, within an hour's bound; the loop's own
  // lines are its start and each change of the wait (1 s to 300 s), never one per start.
  EXPECT_LT(logBytes(), 64u * 1024);
  const std::string general = Cp1252Codec().FromAnsi(m.fs.Get(kLogs + "LogGeralMonitor.INI"));
  size_t loopLines = 0;
  for (const auto& line : SplitLines(general))
    loopLines += line.find("parando logo depois de iniciar") != std::string::npos ||
                 line.find("parou logo depois de iniciar") != std::string::npos;
  EXPECT_EQ(loopLines, 10u);

  m.exitsAtOnce.clear();
  m.loop->Advance(StartBackoff::kMaxDelayMs + 2000);
  EXPECT_EQ(m.scm.Status("QuarnSQLService"), kServiceRunning);
  m.loop->Advance(StartBackoff::kRecoveredAfterMs + 6000);
  EXPECT_FALSE(mon.form.Backoff().InLoop());
  EXPECT_NE(Cp1252Codec().FromAnsi(m.fs.Get(kLogs + "LogGeralMonitor.INI")).find("os inícios voltam a ser imediatos"),
            std::string::npos);
}

}  // namespace
}  // namespace quarn
