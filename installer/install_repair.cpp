// Over a running suite: its programs ended, its services stopped, and what a
// cut update left settled before anything is written.
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

void FrmInstal::EsqueceVersaoLocal(const std::string& programFile) {
  // A repair puts this installer's build back over whatever the monitor had
  // updated to; the record of that newer build would stop the monitor from
  // fetching it again. Without the record the monitor's next check does.
  static const std::pair<const char*, const char*> kRecords[] = {
      {QUARN_BACKUP_SERVICE_STEM ".EXE", kServiceVersionRecord},
      {QUARN_GUI_MONITOR_STEM ".EXE", kGuiVersionRecord},
  };
  for (const auto& [program, record] : kRecords) {
    if (programFile != program) continue;
    const std::string path = JoinPath(JoinPath(strPastaInstalacao_, kLogsFolder), record);
    try {
      if (p_.fs.FileExists(path)) p_.fs.Delete(path);
    } catch (const VbError& e) {
      p_.view.MessageBoxOk(path + "\r\n" + std::to_string(e.Number()) + " - " + e.Description());
    }
  }
}

std::vector<std::string> FrmInstal::AcertaAtualizacoesPendentes() {
  std::vector<std::string> unsettled;
  const Cp1252Codec codec;  // the records are written again whole below, or forgotten
  static const std::pair<const char*, const char*> kPrograms[] = {{kBackupServiceName, kServiceVersionRecord},
                                                                  {kGuiMonitorName, kGuiVersionRecord}};
  for (const auto& entry : kPrograms) {
    const std::string program = entry.first;
    if (!SettlePendingUpdate(p_.fs, codec, strPastaInstalacao_, program, entry.second,
                             [&](const std::string& what, const VbError& e) {
                               p_.view.MessageBoxOk(program + " " + what + "\r\n" + std::to_string(e.Number()) + " - " +
                                                    e.Description());
                             },
                             [&](const std::string& path) { return p_.platform.Sha256(path); }))
      unsettled.push_back(program);
  }
  return unsettled;
}

void FrmInstal::AguardaIntervalo(int index, int ms) {
  SetStep(index, StepLook::Current);
  // The pauses are there for a person to read the steps; a silent run has none.
  if (info_.quiet) {
    p_.loop.DoEvents();
    return;
  }
  blnTempoEsgotado = false;
  Timer1_->SetInterval(ms);
  Timer1_->SetEnabled(true);
  while (!blnTempoEsgotado) p_.loop.Idle(kPollMs);
}

void FrmInstal::WaitWhile(const std::function<bool()>& busy) {
  const uint64_t start = p_.loop.TickMs();
  while (busy()) {
    if (p_.loop.TickMs() - start >= kStopWaitMs) return;  // the next steps show what did not stop
    p_.loop.Idle(kPollMs);
  }
}

void FrmInstal::EndIfRunning(const char* exe, bool repairing) {
  uint32_t id = p_.fecha.PegaIdProcesso(exe);
  if (id == 0) return;
  uintptr_t noWindow = 0;
  p_.fecha.FechaProcesso(id, noWindow);
  if (repairing) SetCaption(2, kRepairCaption);
}

void FrmInstal::VerificaSeTemService() {
  panel_.AtualizaStatusService(0);
  panel_.AtualizaStatusService(1);

  EndIfRunning(kGuiMonitorFile, true);
  WaitWhile([&] { return Running(kGuiMonitorFile); });

  ServiceLabels& service = panel_.Labels(0);
  ServiceLabels& monitor = panel_.Labels(1);
  // The monitor first: it starts the backup service again the moment it sees
  // it stop.
  if (monitor.startCaption == kStopService) {
    SetCaption(2, kRepairCaption);
    (void)p_.control.PararService(1);  // the wait below sees whether it stopped
  }
  if (service.startCaption == kStopService) {
    SetCaption(2, kRepairCaption);
    (void)p_.control.PararService(0);  // likewise
  }
  WaitWhile([&] {
    if (service.startCaption != kStopService && monitor.startCaption != kStopService) return false;
    p_.loop.DoEvents();
    panel_.AtualizaStatusService(0);
    panel_.AtualizaStatusService(1);
    return service.startCaption == kStopService || monitor.startCaption == kStopService;
  });

  EndIfRunning(kBackupServiceFile, true);
  EndIfRunning(kMonitorServiceFile, true);
  WaitWhile([&] {
    const bool any = Running(kBackupServiceFile) || Running(kMonitorServiceFile);
    if (any) {
      EndIfRunning(kBackupServiceFile, false);
      EndIfRunning(kMonitorServiceFile, false);
    }
    return any;
  });
}

}  // namespace quarn
