// /uninstall: the services stopped and removed, the controls unregistered,
// the files deleted (with /purge, the logs too).
#include "installer/frm_instal.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iterator>
#include <map>
#include <set>
#include <utility>

#include "monitor/update/settle.h"

namespace quarn {

void FrmInstal::StopAndWait(int index) {
  p_.control.SelecionarService(index);
  const int32_t state = p_.control.StatusService();
  if (state == kServiceStopped || state == kServiceUnknown) return;
  (void)p_.control.PararService(index);  // the wait below is bounded and reads the state itself
  WaitWhile([&] {
    p_.control.SelecionarService(index);
    const int32_t s = p_.control.StatusService();
    return s != kServiceStopped && s != kServiceUnknown;
  });
}

int FrmInstal::Desinstalar(bool purge) {
  if (p_.platform.PrevInstance()) return exitCode_ = kExitAnotherCopy;
  // The folder the suite's entry names, wherever this copy was started from;
  // with no entry left (a second removal), the suite folder on this copy's drive.
  strPastaInstalacao_ = p_.platform.RegisteredLocation();
  if (strPastaInstalacao_.empty()) strPastaInstalacao_ = Drive() + ":\\" + kMakerFolder + "\\" + kSuiteFolderName;
  strPastaTemp_ = strPastaInstalacao_ + "\\" + kInstallerTempFolder;
  p_.view.Note("Removendo o Quarn SQL Server de " + strPastaInstalacao_ + (purge ? " (com /purge)." : "."));
  std::vector<std::string> failures;
  int code = kExitOk;
  auto fail = [&](int c, std::string line) {
    if (code == kExitOk) code = c;
    p_.view.Note(line);
    failures.push_back(std::move(line));
  };
  // Only a suite folder: an entry that names a system folder or a drive's root
  // (damaged, or written by hand) would otherwise empty it.
  if (!IsSuiteFolderPath(strPastaInstalacao_)) {
    fail(kExitFilesNotRemoved, "A pasta " + strPastaInstalacao_ + " não é uma pasta do Quarn SQL (" + kMakerFolder +
                                   "\\" + kSuiteFolderName + "): nada foi removido.");
    p_.view.MessageBoxOk("O Quarn SQL Server não foi removido por completo:\r\n" + failures.front());
    return exitCode_ = code;
  }
  // Removing loads the controls found there, with administrator rights: only
  // from a folder still closed as the installer left it. Otherwise nothing is
  // touched; a repair closes it again, and the removal can follow.
  if (p_.fs.DirExists(strPastaInstalacao_) && !p_.platform.ProtectedAsLeft(strPastaInstalacao_)) {
    fail(kExitFilesNotRemoved, "A pasta " + strPastaInstalacao_ +
                                   " não está protegida como o instalador a deixou: nada foi removido. Execute o "
                                   "instalador para repará-la e depois remova.");
    p_.view.MessageBoxOk("O Quarn SQL Server não foi removido por completo:\r\n" + failures.front());
    return exitCode_ = code;
  }

  // The monitor first: while it runs it starts the backup service again.
  StopAndWait(1);
  StopAndWait(0);
  for (const char* exe : {kGuiMonitorFile, kBackupServiceFile, kMonitorServiceFile, kLoaderFile})
    EndIfRunning(exe, false);
  WaitWhile([&] {
    bool any = false;
    for (const char* exe : {kGuiMonitorFile, kBackupServiceFile, kMonitorServiceFile})
      if (Running(exe)) {
        any = true;
        EndIfRunning(exe, false);
      }
    return any;
  });
  auto exists = [&](int index) {
    p_.control.SelecionarService(index);
    std::string account;
    std::swap(account, p_.control.ContaService);
    const bool found = p_.control.LerContaService() == 0;
    std::swap(account, p_.control.ContaService);
    return found;
  };
  for (int index : {1, 0})
    if (exists(index)) (void)p_.control.RemoverService(index);  // the wait and the verdict look again
  WaitWhile([&] { return exists(0) || exists(1); });
  for (int index : {0, 1})
    if (exists(index))
      fail(kExitServiceNotRemoved,
           std::string("O serviço ") + (index == 0 ? kBackupServiceName : kMonitorServiceName) + " não foi removido.");

  // With a service left, the program files stay: the suite can still be removed later.
  if (code == kExitOk) {
    p_.view.Note("Serviços removidos.");
    for (const char* control : kControlsToRegister) {
      const std::string path = JoinPath(strPastaInstalacao_, control);
      if (!p_.fs.FileExists(path)) continue;
      if (p_.platform.ProtectedAsLeft(path))
        p_.platform.fVBRegServer(path, false);
      else
        p_.view.Note(path + " não está protegido como o instalador o deixou: não foi carregado.");
    }
    for (const auto& f : kPayload) {
      const std::string path = JoinPath(strPastaInstalacao_, f.target);
      try {
        if (p_.fs.FileExists(path)) p_.fs.Delete(path);
      } catch (const VbError&) {
      }
      if (p_.fs.FileExists(path)) fail(kExitFilesNotRemoved, std::string("Arquivo não removido: ") + f.target + ".");
    }
    // The loading animation, and the monitor's downloads and staged builds.
    if (!p_.platform.RemoveTree(strPastaTemp_))
      fail(kExitFilesNotRemoved, "Pasta não removida: " + strPastaTemp_ + ".");
    if (purge && !p_.platform.RemoveTree(strPastaInstalacao_))
      fail(kExitFilesNotRemoved, "Pasta não removida: " + strPastaInstalacao_ + ".");
  }
  if (code == kExitOk && !p_.platform.RemoveChave(kControlesKey))
    fail(kExitRegistryNotRemoved, std::string("Chave não removida: HKLM\\") + kControlesKey + ".");
  if (code == kExitOk && !p_.platform.RemoveChave(kEventSourceKey))
    fail(kExitRegistryNotRemoved, std::string("Chave não removida: HKLM\\") + kEventSourceKey + ".");
  // The copy that the list of installed programs runs goes last, with its entry:
  // while anything is left, both stay so that the removal can be run again.
  if (code == kExitOk) {
    const std::string copy = JoinPath(strPastaInstalacao_, kInstallerCopy);
    bool gone = !p_.fs.FileExists(copy);
    if (!gone && LowerCase(copy) == LowerCase(SelfPath())) {
      gone = p_.platform.RemoveSelf(copy);
    } else if (!gone) {
      try {
        p_.fs.Delete(copy);
      } catch (const VbError&) {
      }
      gone = !p_.fs.FileExists(copy);
    }
    if (!gone) fail(kExitFilesNotRemoved, std::string("Arquivo não removido: ") + kInstallerCopy + ".");
  }
  if (code == kExitOk && !p_.platform.RemoveChave(kUninstallKey))
    fail(kExitRegistryNotRemoved, std::string("Chave não removida: HKLM\\") + kUninstallKey + ".");
  const bool kept = p_.fs.DirExists(JoinPath(strPastaInstalacao_, kLogsFolder)) ||
                    (p_.fs.DirExists(strPastaInstalacao_) && !p_.fs.ListFiles(strPastaInstalacao_).empty());
  if (code == kExitOk && !kept) {
    // Folders left empty go; \Solvane is refused by the system while it holds anything else.
    for (const std::string& dir : {strPastaInstalacao_, Drive() + ":\\" + kMakerFolder}) {
      try {
        if (p_.fs.DirExists(dir)) p_.fs.RemoveDir(dir);
      } catch (const VbError&) {
      }
    }
  }

  std::string text;
  if (code == kExitOk) {
    text = "Quarn SQL Server removido.";
    if (kept) text += " Os registros e os dados do serviço foram mantidos em " + strPastaInstalacao_ + ".";
  } else {
    text = "O Quarn SQL Server não foi removido por completo:";
    for (const auto& f : failures) text += "\r\n" + f;
  }
  p_.view.MessageBoxOk(text);
  return exitCode_ = code;
}

}  // namespace quarn
