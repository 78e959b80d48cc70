// /uninstall: the suite removed in order, what cannot finish kept for the
// next run, and only the registered folder acted on.
#include <gtest/gtest.h>

#include "fakes/installer_fixture.h"

namespace quarn {
namespace {

TEST_F(Installer, UninstallRemovesTheSuiteInOrderKeepsLogsUnlessPurgedAndEndsCleanlyWhenRunAgain) {
  ASSERT_TRUE(Form().Form_Load());
  ASSERT_EQ(Form().ExitCode(), kExitOk);
  fs.AddDir(kSuite + "\\Logs");
  fs.Put(kSuite + "\\Logs\\LogGeralMonitor.INI", "log");
  fs.Put(kSuite + "\\Temp\\QuarnSQLService.zip", "download");
  procs.Run("QuarnSQLService.exe");
  scm.calls.clear();
  // Run by the list of installed programs: from the copy in the suite folder.
  InstallerInfo copy{kSuite, "InstaladorQuarnSQL"};
  platform.self = kSuite + "\\InstaladorQuarnSQL.exe";
  auto uninstall = [&](bool purge) {
    FrmInstal f(InstallerPorts{fs, clock, dates, loop, view, resources, platform, control, fecha}, copy);
    return f.Desinstalar(purge);
  };
  EXPECT_EQ(uninstall(false), kExitOk);
  const auto first = [&](const std::string& call) { return std::find(scm.calls.begin(), scm.calls.end(), call); };
  EXPECT_LT(first("Stop QuarnSQLServiceMonitor"), first("Stop QuarnSQLService"));
  EXPECT_TRUE(scm.services.empty());
  EXPECT_EQ(fecha.PegaIdProcesso("QuarnSQLMonitor.exe") + fecha.PegaIdProcesso("QuarnSQLService.exe"), 0u);
  EXPECT_TRUE(platform.registered.empty());
  for (const auto& f : kPayload) EXPECT_FALSE(fs.Has(kSuite + "\\" + f.target)) << f.target;
  EXPECT_FALSE(fs.Has(kSuite + "\\InstaladorQuarnSQL.exe"));
  EXPECT_FALSE(fs.DirExists(kSuite + "\\Temp"));
  EXPECT_TRUE(platform.keys.empty());
  EXPECT_EQ(fs.Get(kSuite + "\\Logs\\LogGeralMonitor.INI"), "log");
  EXPECT_EQ(view.messages.back(),
            "Quarn SQL Server removido. Os registros e os dados do serviço foram mantidos em " + kSuite + ".");
  EXPECT_EQ(uninstall(false), kExitOk);  // nothing left to remove
  EXPECT_EQ(uninstall(true), kExitOk);
  EXPECT_FALSE(fs.DirExists(kSuite));
  EXPECT_EQ(view.messages.back(), "Quarn SQL Server removido.");
}

TEST_F(Installer, AnUninstallThatCannotFinishKeepsItsEntryAndTheCopyThatRunsIt) {
  const std::string copy = kSuite + "\\InstaladorQuarnSQL.exe";
  // Each fault alone, over a fresh installation: the code of its kind, and what stays.
  for (int fault = 0; fault < 3; ++fault) {
    scm.services.clear();
    form.reset();
    view = fakes::FakeInstallerView{};
    ASSERT_TRUE(Form().Form_Load());
    ASSERT_EQ(Form().ExitCode(), kExitOk) << fault;
    if (fault == 0) scm.removeError = 1072;  // marked for deletion, while something holds it open
    if (fault == 1) fs.locked.insert(fakes::Key(kSuite + "\\AUNZIP32.DLL"));
    if (fault == 2) platform.stuckKeys.insert(kControlesKey);
    FrmInstal f(InstallerPorts{fs, clock, dates, loop, view, resources, platform, control, fecha}, info);
    const int expected[] = {kExitServiceNotRemoved, kExitFilesNotRemoved, kExitRegistryNotRemoved};
    EXPECT_EQ(f.Desinstalar(false), expected[fault]) << fault;
    EXPECT_TRUE(fs.Has(copy)) << fault;
    EXPECT_EQ(platform.keys.count(kUninstallKey), 1u) << fault;
    EXPECT_EQ(view.messages.back().rfind("O Quarn SQL Server não foi removido por completo:\r\n", 0), 0u);
    scm.removeError = 0;
    fs.locked.clear();
    platform.stuckKeys.clear();
  }
}

TEST_F(Installer, UninstallActsOnTheRegisteredFolderOnlyWhileItIsClosedAndLoadsNothingElse) {
  ASSERT_TRUE(Form().Form_Load());
  // Run from another drive, where somebody made a suite folder of their own.
  const std::string elsewhere = "D:\\Solvane\\Quarn SQL";
  fs.AddDir(elsewhere);
  fs.Put(elsewhere + "\\NTsvc.ocx", "planted");
  platform.unprotected.insert(fakes::Key(elsewhere));
  const InstallerInfo copy{elsewhere, "InstaladorQuarnSQL"};
  auto uninstall = [&] {
    return FrmInstal(InstallerPorts{fs, clock, dates, loop, view, resources, platform, control, fecha}, copy)
        .Desinstalar(false);
  };
  // An entry naming anything but a suite folder (a system folder, a drive's
  // root), however closed it is: nothing is removed there.
  for (const char* wrong : {"C:\\Windows", "C:\\", "C:\\Solvane", "C:\\Program Files\\Quarn SQL"}) {
    fs.AddDir(wrong);
    fs.Put(JoinPath(wrong, "NTsvc.ocx"), "theirs");
    platform.keys[kUninstallKey].installLocation = wrong;
    EXPECT_EQ(uninstall(), kExitFilesNotRemoved) << wrong;
    EXPECT_EQ(fs.Get(JoinPath(wrong, "NTsvc.ocx")), "theirs") << wrong;
  }
  platform.keys[kUninstallKey].installLocation = kSuite;
  EXPECT_EQ(platform.registered.size(), 5u);
  // The registered folder was opened up since: nothing is removed, nothing loaded.
  platform.unprotected.insert(fakes::Key(kSuite));
  EXPECT_EQ(uninstall(), kExitFilesNotRemoved);
  EXPECT_EQ(platform.registered.size(), 5u);
  EXPECT_NE(scm.Find("QuarnSQLService"), nullptr);
  EXPECT_TRUE(fs.Has(kSuite + "\\NTsvc.ocx"));
  // Closed again (a repair): removed; a control opened up alone stays loaded by nobody.
  platform.unprotected.erase(fakes::Key(kSuite));
  platform.unprotected.insert(fakes::Key(kSuite + "\\MSINET.ocx"));
  EXPECT_EQ(uninstall(), kExitOk);
  EXPECT_FALSE(fs.Has(kSuite + "\\NTsvc.ocx"));
  EXPECT_EQ(platform.registered, std::vector<std::string>{kSuite + "\\MSINET.ocx"});
  EXPECT_EQ(fs.Get(elsewhere + "\\NTsvc.ocx"), "planted");
}

}  // namespace
}  // namespace quarn
