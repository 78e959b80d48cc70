// A folder that is not ours, or not all ours: what is there is moved aside
// (never deleted), and the Logs folder is granted to the suite's services.
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

bool FrmInstal::PastaDoQuarn(const std::string& folder) {
  // Ours, or the suite's package's: both entries only administrators can write.
  for (std::string entry : {p_.platform.RegisteredLocation(), p_.platform.PackageLocation()}) {
    while (!entry.empty() && entry.back() == '\\') entry.pop_back();
    if (!entry.empty() && SameFileName(entry, folder)) return p_.platform.ProtectedAsLeft(folder);
  }
  return false;
}

std::string FrmInstal::Carimbo() const {
  const LocalTime t = p_.clock.Now();
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04d%02d%02d-%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
  return stamp;
}

void FrmInstal::TomaPosse(const std::string& folder, const std::vector<std::string>& names) {
  // A suite folder that is not the suite's own (no entry of ours names it, or
  // it is not closed as the installer leaves it) is used with nothing in it
  // but what the suite ships: whatever else its maker left there (a backup
  // copy, a journal, a library) goes, before anything runs, into a dated
  // folder beside it that only administrators may read. What cannot go keeps
  // every program from starting.
  const auto shipped = [](const std::string& name) {
    return SameFileName(name, kInstallerCopy) ||
           std::any_of(std::begin(kSuiteFiles), std::end(kSuiteFiles), [&](const char* f) { return SameFileName(name, f); });
  };
  std::vector<std::string> moved;
  for (const std::string& name : names) {
    if (shipped(name)) continue;  // written over, or checked before anything loads it
    try {
      if (takeoverAside_.empty()) {
        const std::string aside = AsideName(folder, Carimbo());
        p_.fs.CreateDir(aside);
        p_.platform.CloseToAdministrators(aside);
        takeoverAside_ = aside;
      }
      p_.platform.MoveAside(JoinPath(folder, name), JoinPath(takeoverAside_, name));
      moved.push_back(name);
    } catch (const VbError& e) {
      takeoverStuck_.push_back(name);
      p_.view.Note(JoinPath(folder, name) + " não pôde ser movido: " + std::to_string(e.Number()) + " - " +
                   e.Description() + ".");
    }
  }
  if (moved.empty()) return;
  // What was moved keeps the list it had: closed now, all of it.
  try {
    p_.platform.CloseToAdministrators(takeoverAside_);
  } catch (const VbError& e) {
    p_.view.Note(takeoverAside_ + ": " + std::to_string(e.Number()) + " - " + e.Description() + ".");
  }
  p_.view.Note(folder + " não era do Quarn SQL: " + JoinedNames(moved) + " movidos para " + takeoverAside_ +
               ", que só administradores leem.");
}

std::unique_ptr<FileHold> FrmInstal::ProgramaIntacto(const PayloadFile& f) {
  try {
    return p_.platform.HoldUnchanged(JoinPath(strPastaInstalacao_, f.target), p_.resources.Read(f.resource));
  } catch (const VbError&) {
    return nullptr;  // no payload to compare with: nothing is trusted
  }
}

void FrmInstal::ConcedeLogs(int index) {
  // A service logging on as its own account has none of SYSTEM's rights in the
  // protected folder: it gets what it needs to write its heartbeat and
  // markers, in Logs\ only. The backup service gets its own files there and
  // no more: it could otherwise delete the monitor's records and journal.
  p_.control.SelecionarService(index);
  std::string account;
  std::swap(account, p_.control.ContaService);
  const bool found = p_.control.LerContaService() == 0;
  std::swap(account, p_.control.ContaService);
  if (!found || !NeedsOwnRights(account)) return;
  const std::string logs = JoinPath(strPastaInstalacao_, kLogsFolder);
  try {
    if (!p_.fs.DirExists(logs)) p_.fs.CreateDir(logs);
    if (index == 0)
      p_.platform.GrantOwnFiles(logs, account,
                                {JoinPath(logs, kServiceExecutingFile), JoinPath(logs, kServiceEmUsoFile),
                                 JoinPath(logs, kServiceUltimoBackupFile)});
    else
      p_.platform.GrantModify(logs, account);
    p_.view.Note(account + " pode gravar em " + logs + ".");
  } catch (const VbError& e) {
    p_.view.MessageBoxOk(logs + "\r\n" + std::to_string(e.Number()) + " - " + e.Description());
  }
}

std::string FrmInstal::NoPermissionsMessage(const std::string& drive) {
  return "A unidade " + drive +
         ": não guarda permissões de arquivos (FAT ou exFAT), e nela o Quarn SQL ficaria "
         "aberto a qualquer usuário. Nada foi instalado: instale a partir de uma unidade NTFS.";
}

}  // namespace quarn
