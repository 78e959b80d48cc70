// The installer over what it finds: a suite to repair, an update to settle,
// a folder that is not the suite's, and what it trusts before it writes.
#include <gtest/gtest.h>

#include "fakes/installer_fixture.h"
#include "tools/quarn-publish/openssl_crypto.h"

namespace quarn {
namespace {

TEST_F(Installer, ASecondRunRepairsWithoutCreatingAnythingTwice) {
  auto& s = scm.Add("QuarnSQLService", kServiceRunning);
  s.account = "LocalSystem";
  scm.Add("QuarnSQLServiceMonitor", kServiceRunning).account = "LocalSystem";
  procs.Run("QuarnSQLService.exe");
  procs.Run("QuarnSQLServiceMonitor.exe");
  procs.Run("QuarnSQLMonitor.exe");
  ASSERT_TRUE(Form().Form_Load());
  EXPECT_EQ(view.steps[2].back().first, "Reparando Serviços do Quarn.");
  EXPECT_EQ(std::count(scm.calls.begin(), scm.calls.end(), "Create QuarnSQLService"), 0);
  EXPECT_EQ(std::count(scm.calls.begin(), scm.calls.end(), "Stop QuarnSQLService"), 1);
  EXPECT_LT(std::find(scm.calls.begin(), scm.calls.end(), "Stop QuarnSQLServiceMonitor"),
            std::find(scm.calls.begin(), scm.calls.end(), "Stop QuarnSQLService"));
  EXPECT_EQ(scm.Find("QuarnSQLService")->state, kServiceRunning);
  EXPECT_EQ(scm.Find("QuarnSQLServiceMonitor")->state, kServiceRunning);
  EXPECT_EQ(view.Last(4), StepLook::Done);
  EXPECT_EQ(view.Last(5), StepLook::Done);
  EXPECT_EQ(procs.terminated.size(), 4u);  // GUI monitor, both services' processes, and the loader at the end
}

TEST_F(Installer, ARewrittenProgramLosesTheVersionRecordOfTheBuildItReplaced) {
  // The monitor had updated both programs; the repair writes this installer's builds.
  fs.AddDir("C:\\Solvane");
  fs.AddDir(kSuite);
  fs.AddDir(kSuite + "\\Logs");
  fs.Put(kSuite + "\\Logs\\VersaoQuarnSQLService.ini", "5.0\r\n");
  fs.Put(kSuite + "\\Logs\\VersaoQuarnSqlMonitor.ini", "5.0\r\n");
  fs.Put(kSuite + "\\QuarnSQLMonitor.EXE", "GUI 5.0");
  fs.locked.insert(fakes::Key(kSuite + "\\QuarnSQLMonitor.EXE"));  // and could not be replaced
  platform.keys[kUninstallKey].installLocation = kSuite + "\\";    // the suite's own folder: a repair
  ASSERT_TRUE(Form().Form_Load());
  EXPECT_FALSE(fs.Has(kSuite + "\\Logs\\VersaoQuarnSQLService.ini"));
  EXPECT_EQ(fs.Get(kSuite + "\\Logs\\VersaoQuarnSqlMonitor.ini"), "5.0\r\n");
  EXPECT_FALSE(view.success);  // the GUI monitor running is the old build
  EXPECT_EQ(Form().ExitCode(), kExitFilesNotWritten);
}

// An update the monitor was cut in is settled before the repair writes, so
// that the monitor's recovery, at its next start, has nothing left to undo.
TEST_F(Installer, ARepairSettlesAPendingUpdateBeforeItWrites) {
  for (const char* d : {"C:\\Solvane", "C:\\Solvane\\Quarn SQL", "C:\\Solvane\\Quarn SQL\\Logs",
                        "C:\\Solvane\\Quarn SQL\\temp", "C:\\Solvane\\Quarn SQL\\temp\\QuarnSQLService.anterior"})
    fs.AddDir(d);
  const std::string temp = kSuite + "\\temp\\";
  fs.Put(temp + "QuarnSQLService.anterior\\libmysql.dll", "lib 1.0");
  fs.Put(temp + "QuarnSQLService.anterior\\QuarnSQLService.EXE", "svc 1.0");
  fs.Put(kSuite + "\\libmysql.dll", "lib 2.0");
  fs.Put(kSuite + "\\novo.dll", "novo 2.0");
  // The library's copy named by its digest, as the monitor writes it: checked before it goes back.
  fs.Put(temp + "QuarnSQLService.pendente", "2.0\r\n1.0\r\n=libmysql.dll\t" + ToHex(publish::Sha256Of("lib 1.0")) +
                                                "\r\n+novo.dll\r\n=QuarnSQLService.EXE\r\n.\r\nprova\r\n");
  fs.Put(kSuite + "\\Logs\\VersaoQuarnSQLService.ini", "2.0\r\n");
  platform.keys[kUninstallKey].installLocation = kSuite;
  ASSERT_TRUE(Form().Form_Load());
  EXPECT_EQ(fs.Get(kSuite + "\\libmysql.dll"), "lib 1.0");
  EXPECT_FALSE(fs.Has(kSuite + "\\novo.dll"));
  EXPECT_FALSE(fs.Has(temp + "QuarnSQLService.pendente"));
  EXPECT_TRUE(fs.ListFiles(temp + "QuarnSQLService.anterior").empty());
  EXPECT_EQ(fs.Get(kSuite + "\\QuarnSQLService.EXE"), "bytes of QUARNSQLSERVICE.EXE");  // the repair stays
}

// A folder the suite did not leave (no entry of ours names it, or it was
// opened up) is adopted with nothing but what the suite ships.
TEST_F(Installer, AFolderNotTheSuitesOwnIsEmptiedOfAllItDoesNotShipBeforeAnythingRuns) {
  fs.AddDir("C:\\Solvane");
  fs.AddDir(kSuite);
  fs.Put(kSuite + "\\temp\\QuarnSQLService.anterior\\QuarnSQLService.exe", "planted");
  fs.Put(kSuite + "\\Logs\\VersaoQuarnSQLService.ini", "9.9\r\n");
  fs.Put(kSuite + "\\version.dll", "planted");
  fs.Put(kSuite + "\\AUNZIP32.DLL", "old");
  fs.Put(kSuite + "\\aberto.dll", "held");
  fs.locked.insert(fakes::Key(kSuite + "\\aberto.dll"));
  ASSERT_TRUE(Form().Form_Load());  // no entry of ours names it
  const std::string aside = fakes::Key(kSuite) + ".anterior-20261206-055504";
  for (const char* f :
       {"\\temp\\quarnsqlservice.anterior\\quarnsqlservice.exe", "\\logs\\versaoquarnsqlservice.ini", "\\version.dll"})
    EXPECT_TRUE(fs.Has(aside + f) && !fs.Has(kSuite + f)) << f;
  EXPECT_EQ(fs.Get(kSuite + "\\AUNZIP32.DLL"), "bytes of AUNZIP32.DLL");            // shipped: written over
  EXPECT_EQ(std::count(platform.closed.begin(), platform.closed.end(), aside), 2);  // made closed, closed again
  // Held open beyond the end of every program: left, named, and nothing starts.
  EXPECT_EQ(fs.Get(kSuite + "\\aberto.dll"), "held");
  EXPECT_EQ(view.failures.front(), "Arquivos que não são do Quarn SQL e não puderam ser movidos: aberto.dll.");
  EXPECT_EQ(Form().ExitCode(), kExitFilesNotWritten);
  EXPECT_TRUE(scm.services.empty());
  fs.locked.clear();
  // Listed now, but opened up since: taken over again; listed and closed (by
  // the installer or the package), a repair keeps all.
  platform.package = kSuite + "\\";
  platform.keys.erase(kUninstallKey);
  for (const bool opened : {true, false}) {
    fs.Put(kSuite + "\\outro.dll", "x");
    if (opened) platform.unprotected.insert(fakes::Key(kSuite));
    clock.AddSeconds(1);
    form.reset();
    ASSERT_TRUE(Form().Form_Load());
    platform.unprotected.clear();
    EXPECT_EQ(fs.Has(kSuite + "\\outro.dll"), !opened);
    EXPECT_EQ(fs.Has(fakes::Key(kSuite) + ".anterior-20261206-055505\\outro.dll"), true);
  }
}

TEST(InstallerTrust, OnlyWhatSystemOrAnAdministratorMadeAndNobodyElseMayChangeIsUsed) {
  const std::string me = "S-1-5-21-1-2-3-500", other = "S-1-5-21-1-2-3-1001";
  struct Row {
    FolderFacts facts;
    FolderAction action;
  };
  const Row rows[] = {
      {{false, false, false, ""}, FolderAction::Create},
      {{true, true, false, kSidSystem}, FolderAction::Use},
      {{true, true, false, kSidAdministrators}, FolderAction::Use},
      {{true, true, false, kSidTrustedInstaller}, FolderAction::Use},
      {{true, true, false, me}, FolderAction::Use},
      {{true, true, false, other}, FolderAction::MoveAside},
      {{true, true, false, "S-1-5-32-545"}, FolderAction::MoveAside},       // Users
      {{true, true, false, ""}, FolderAction::MoveAside},                   // owner unreadable
      {{true, true, true, kSidAdministrators}, FolderAction::MoveAside},    // a junction in its place
      {{true, false, false, kSidAdministrators}, FolderAction::MoveAside},  // a file in its place
  };
  for (size_t i = 0; i < std::size(rows); ++i) EXPECT_EQ(DecideFolder(rows[i].facts, me), rows[i].action) << i;
  EXPECT_EQ(DecideFolder({true, true, false, me}, ""), FolderAction::MoveAside);  // not run by an administrator

  const AccessEntry system{kSidSystem, true, 0x1F01FF}, admins{kSidAdministrators, true, 0x1F01FF};
  struct AclRow {
    std::string owner;
    bool hasList;
    std::vector<AccessEntry> entries;
    bool closed;
  };
  const AclRow acls[] = {
      {kSidAdministrators, true, {system, admins, {"S-1-5-32-545", true, 0x1200A9}}, true},  // Users read, execute
      {me, true, {system, {me, true, 0x1F01FF}, {"S-1-1-0", true, 0x1200A9}}, true},         // as Wine reads it back
      {kSidAdministrators, true, {system, {"S-1-1-0", false, 0x1F01FF}}, true},              // a denial
      {kSidAdministrators, true, {system, {"S-1-1-0", true, 0x1F01FF}}, false},              // Everyone full
      {kSidAdministrators, true, {system, {"S-1-5-11", true, 0x00000002}}, false},           // write data
      {kSidAdministrators, true, {system, {"S-1-5-32-545", true, 0x00040000}}, false},       // change the list
      {kSidAdministrators, true, {system, {"S-1-5-32-545", true, 0x40000000}}, false},       // generic write
      {kSidAdministrators, false, {}, false},                                                // no list: anyone
      {other, true, {system, admins}, false},
  };
  for (size_t i = 0; i < std::size(acls); ++i)
    EXPECT_EQ(ProtectedAsLeft(acls[i].owner, acls[i].hasList, acls[i].entries, me), acls[i].closed) << i;

  for (const char* a : {"LocalSystem", "localsystem", ".\\LocalSystem", "NT AUTHORITY\\SYSTEM", ""})
    EXPECT_FALSE(NeedsOwnRights(a)) << a;
  for (const char* a : {"NT AUTHORITY\\LocalService", "NT AUTHORITY\\NetworkService", "EMPRESA\\backup", ".\\backup"})
    EXPECT_TRUE(NeedsOwnRights(a)) << a;
}

TEST_F(Installer, AFolderSomebodyElseMadeIsMovedAsideAndLinksInTheSuiteAreRemoved) {
  fs.AddDir("C:\\Solvane");
  fs.AddDir(kSuite);
  fs.Put(kSuite + "\\QuarnSQLService.EXE", "planted");
  platform.owners[fakes::Key(kSuite)] = "S-1-5-21-1-2-3-1001";
  ASSERT_TRUE(Form().Form_Load());
  const std::string aside = kSuite + ".anterior-20261206-055504";
  EXPECT_EQ(fs.Get(aside + "\\QuarnSQLService.EXE"), "planted");  // kept, out of the way
  EXPECT_EQ(fs.Get(kSuite + "\\QuarnSQLService.EXE"), "bytes of QUARNSQLSERVICE.EXE");
  EXPECT_EQ(view.notes.front(),
            kSuite + " não foi criada pelo instalador nem por um administrador: movida para " + aside + ".");
  EXPECT_EQ(Form().ExitCode(), kExitOk);
  EXPECT_EQ(platform.protectedKeys.back(), kSuiteKey);

  // A link inside the suite is removed and named; \\Solvane's own list only is reset.
  platform.links.insert(fakes::Key(kSuite + "\\Temp\\atalho"));
  form.reset();
  view = fakes::FakeInstallerView{};
  ASSERT_TRUE(Form().Form_Load());
  EXPECT_TRUE(platform.links.empty());
  EXPECT_EQ(view.notes.front(), "Link removido sem ser seguido: " + fakes::Key(kSuite + "\\Temp\\atalho") + ".");
  EXPECT_EQ(platform.protectedFolders.front(), "C:\\Solvane");
}

TEST_F(Installer, AServiceIsCreatedAndStartedOnlyFromTheProgramThisInstallerCarries) {
  const std::string program = kSuite + "\\QuarnSQLService.EXE";
  fs.AddDir("C:\\Solvane");
  fs.AddDir(kSuite);
  fs.Put(program, "planted");
  fs.locked.insert(fakes::Key(program));  // held open: not written over
  ASSERT_TRUE(Form().Form_Load());
  EXPECT_EQ(scm.Find("QuarnSQLService"), nullptr);
  EXPECT_EQ(scm.Find("QuarnSQLServiceMonitor")->state, kServiceRunning);
  EXPECT_EQ(view.failures.at(1), "O serviço QuarnSQLService não está em execução.");
  EXPECT_EQ(Form().ExitCode(), kExitFilesNotWritten);

  // Over an existing service, the service goes: nothing starts the planted program at the next boot.
  scm.Add("QuarnSQLService", kServiceStopped).account = "LocalSystem";
  form.reset();
  ASSERT_TRUE(Form().Form_Load());
  EXPECT_EQ(scm.Find("QuarnSQLService"), nullptr);

  // Held open but holding exactly this installer's build: found whole, it is used.
  fs.files[fakes::Key(program)] = "bytes of QUARNSQLSERVICE.EXE";
  form.reset();
  ASSERT_TRUE(Form().Form_Load());
  EXPECT_EQ(scm.Find("QuarnSQLService")->state, kServiceRunning);
  EXPECT_EQ(std::count(platform.holds.begin(), platform.holds.end(), program), 1);
}

}  // namespace
}  // namespace quarn
