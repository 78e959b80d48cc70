#pragma once
// The updater on fakes: a suite folder with both programs at 1.0, a server
// that publishes 2.0, and the lines each report writes.
#include <gtest/gtest.h>

#include "fakes/control_fakes.h"
#include "fakes/fakes.h"
#include "fakes/signing.h"
#include "fakes/update_fakes.h"
#include "fakes/update_reports.h"
#include "monitor/update/manifest.h"
#include "monitor/update/updater.h"
#include "tools/quarn-publish/openssl_crypto.h"

namespace quarn {

using fakes::kApp;
using fakes::kLogs;
inline const std::string kTemp = kApp + "\\temp\\";
inline const std::string kBase = "http://atualizacao.test/CentralUpdate/QuarnSqlSolvane/";

using Line = fakes::ReportLine;

struct UpdaterFixture : ::testing::Test {
  fakes::MemoryFileSystem fs;
  Cp1252Codec codec;
  fakes::FixedClock clock;
  PtBrDateFormat dates;
  VirtualEventLoop loop;
  fakes::FakeInet inet;
  fakes::FakeUnzip unzip{fs};
  fakes::FixedServer server;
  fakes::FakeServiceManager scm;
  fakes::FakeProcesses procs;
  FechaExe fecha{procs};
  std::string account, password;
  MonitorServiceControl service{scm, account, password, kApp};
  MonitorLogs logs{LogContext{fs, codec, clock, dates, kApp}};
  std::unique_ptr<Timer> watchdog = loop.CreateTimer(1000, [] {});
  fakes::FakePolicy policy;
  fakes::FakeUpdateLock lock;
  Updater updater{UpdaterPorts{fs, codec, loop, inet, unzip, server, service, fecha, policy, lock}, kApp, logs,
                  *watchdog, kTemp};

  UpdaterFixture() {
    for (const std::string& d : {std::string("C:\\Solvane"), kApp, kApp + "\\Logs", kApp + "\\temp"}) fs.AddDir(d);
    watchdog->SetEnabled(true);
    fs.Put(kApp + "\\QuarnSQLService.exe", "old service build");
    fs.Put(kApp + "\\QuarnSQLMonitor.exe", "old monitor build");
    FakeServiceOf(scm.Add("QuarnSQLService", kServiceRunning));
    procs.Run("QuarnSQLService.exe");
    policy.probationSeconds = 1;
  }

  static void FakeServiceOf(fakes::FakeService& s) {
    s.account = "LocalSystem";
    s.processId = 4242;
  }
  // The new build runs, writes its heartbeat and outlasts its probation.
  void PassProbation() {
    fs.Put(kLogs + "QuarnSQLServiceExecuting.ini", "batimento");
    loop.Advance(2000);
  }

  void Publish(const std::string& file, const std::string& body, int status = 200) {
    inet.routes[kBase + file] = fakes::FakeResponse{status, body};
  }
  void PublishVersion(const std::string& program, const std::string& recordText) {
    const std::string record = program == "service" ? "VersaoQuarnSQLService.ini" : "VersaoQuarnSqlMonitor.ini";
    const std::string zip = program == "service" ? "VersaoQuarnSQLService.zip" : "VersaoQuarnSqlMonitor.zip";
    Publish(zip, unzip.Archive(zip + recordText, {{record, recordText}}));
  }
  void PublishBuild(const std::string& name, std::vector<std::pair<std::string, std::string>> entries) {
    Publish(name + ".zip", unzip.Archive(name + ".zip", std::move(entries)));
  }
  std::vector<Line> Formatted() {
    std::vector<Line> out;
    for (auto& l : SplitLines(codec.FromAnsi(fs.Get(kLogs + "FormataRichTextBoxServiceMonitor.INI")))) {
      if (l.size() < 38) continue;
      out.push_back(Line{std::stoi(l.substr(26, 12)), l.substr(38)});
    }
    return out;
  }
  std::string Record(const std::string& file) { return fs.Get(kLogs + file); }
  std::string General() { return codec.FromAnsi(fs.Get(kLogs + kGeneralLogName)); }
};

}  // namespace quarn
