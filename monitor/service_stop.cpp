#include "monitor/service_stop.h"

#include "common/suite_files.h"

namespace quarn {

bool PararServiceEAguardar(ServiceStopPorts p, uint64_t limitMs, bool ending) {
  // The process the manager runs it in, read before the stop: none when it cannot say.
  const std::optional<uint32_t> pid = p.service.ProcessoService();
  (void)p.service.PararService();  // refused when it is stopped already; the wait reads the state itself
  // Its process, still running our program under the id it had: an id the
  // system gave to another program since is no process of ours.
  const auto ours = [&] { return pid && *pid != 0 && p.fecha.ProcessoAtivo(*pid, kBackupServiceFile); };
  const auto gone = [&] { return p.service.StatusService() == kServiceStopped && !ours(); };
  const auto wait = [&](uint64_t ms) {
    const uint64_t start = p.loop.TickMs();
    while (!gone()) {
      if (p.loop.TickMs() - start >= ms) return false;
      if (ending) {
        p.loop.Pause(kServiceStopPollMs);
      } else {
        p.loop.Idle(kServiceStopPollMs);
      }
    }
    return true;
  };
  if (wait(limitMs)) return true;
  // Accepted the stop and never stopped, or stopped and its process lingers:
  // that process is ended, never one the manager does not name as ours.
  uint32_t id = 0;
  if (ours()) {
    id = *pid;
  } else if (p.service.StatusService() != kServiceStopped) {
    id = pid && *pid != 0 ? *pid : p.fecha.PegaIdProcesso(kBackupServiceFile);
  }
  uintptr_t noWindow = 0;
  if (id != 0) p.fecha.FechaProcesso(id, noWindow);
  return wait(kServiceEndedWaitMs);
}

}  // namespace quarn
