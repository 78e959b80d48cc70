#include "monitor/markers.h"

#include "common/errors.h"

namespace quarn {

std::string LastNonEmptyLine(const std::string& text) {
  std::string last;
  for (auto& line : SplitLines(text))
    if (!line.empty()) last = line;
  return last;
}

std::string LastLine(const std::string& text) {
  const auto lines = SplitLines(text);
  return lines.empty() ? std::string() : lines.back();
}

LocalTime MarkerTime(const std::string& decidingLine, const LocalTime& lastWrite, DateFormat& dates) {
  LocalTime t;
  if (!decidingLine.empty() && dates.ParseDate(decidingLine, t)) return t;
  return lastWrite;
}

std::optional<LocalTime> BelievedMarkerTime(const std::string& decidingLine, const LocalTime& lastWrite,
                                            const LocalTime& now, DateFormat& dates) {
  const auto ahead = [&](const LocalTime& t) { return MinuteBoundaries(now, t) > kFutureToleranceMinutes; };
  LocalTime t = MarkerTime(decidingLine, lastWrite, dates);
  if (ahead(t)) t = lastWrite;
  if (ahead(t)) return std::nullopt;
  return t;
}

void MonitorMarkers::WriteTimeLine(std::string_view name) {
  p.fs.WriteAll(Path(name), p.codec.ToAnsi(p.dates.GeneralDate(p.clock.Now()) + std::string(kCrLf)));
}

void MonitorMarkers::EstouEmUso(bool EmUso) {
  if (EmUso) {
    WriteTimeLine(kMonitorEmUsoFile);
  } else if (p.fs.FileExists(Path(kMonitorEmUsoFile))) {
    p.fs.Delete(Path(kMonitorEmUsoFile));
  }
}

bool MonitorMarkers::OutroServiceEmUso() {
  const std::string path = Path(kServiceEmUsoFile);
  if (!p.fs.FileExists(path)) {
    unreadableSince_.reset();
    return false;
  }
  std::optional<LocalTime> when;
  try {
    const std::string line = LastNonEmptyLine(p.codec.FromAnsi(p.fs.ReadAll(path)));
    when = BelievedMarkerTime(line, p.fs.LastModified(path), p.clock.Now(), p.dates);
  } catch (const VbError&) {
    // Held open by the backup service while it writes it, or just removed: ask
    // again, but a marker nobody can read is busy no longer than a stale one.
    if (!unreadableSince_) unreadableSince_ = p.loop.TickMs();
    return p.loop.TickMs() - *unreadableSince_ < static_cast<uint64_t>(kEmUsoStaleMinutes) * 60 * 1000;
  }
  unreadableSince_.reset();
  const int64_t age = when ? MinuteBoundaries(*when, p.clock.Now()) : kEmUsoStaleMinutes;  // none believed: stale
  if (age < kEmUsoStaleMinutes) return true;
  try {
    p.fs.Delete(path);
  } catch (const VbError&) {
    // Stale all the same; the next look tries to remove it again.
  }
  observer->MarkerWaitGivenUp(kServiceEmUsoFile, age);
  return false;
}

void MonitorMarkers::VerificaSalvarExecutandoQuarn() {
  WriteTimeLine(kMonitorExecutingFile);

  const std::string path = Path(kServiceExecutingFile);
  bool restart = true;  // missing or unreadable
  if (p.fs.FileExists(path)) {
    try {
      const std::string line = LastLine(p.codec.FromAnsi(p.fs.ReadAll(path)));
      const auto when = BelievedMarkerTime(line, p.fs.LastModified(path), p.clock.Now(), p.dates);
      restart = !when || MinuteBoundaries(*when, p.clock.Now()) >= kHeartbeatStaleMinutes;
    } catch (const VbError&) {
      restart = true;  // a heartbeat that cannot be read is no sign of life
    }
  }
  if (!restart) return;
  observer->HeartbeatRestart();

  (void)p.service.PararService();  // the wait reads the state, and ends the process when the stop is not taken
  try {
    WaitStopped(kStopWaitMs, false);
  } catch (const ProgramEnd&) {
    // The monitor was stopped inside the restart: it must not leave the backup
    // service stopped behind it. Events no longer run, and the wait is short.
    WaitStopped(kEndingWaitMs, true);
    (void)p.service.IniciarService();  // nothing more can be done on the way out
    throw;
  }
  (void)p.service.IniciarService();  // a start refused is the watchdog's at its next tick
}

void MonitorMarkers::WaitStopped(uint64_t limitMs, bool ending) {
  const auto wait = [&](uint64_t ms) {
    const uint64_t start = p.loop.TickMs();
    while (p.service.StatusService() != kServiceStopped && p.loop.TickMs() - start < ms) {
      if (ending) {
        p.loop.Pause(kStopPollMs);
      } else {
        p.loop.Idle(kStopPollMs);
      }
    }
  };
  wait(limitMs);
  // A service that accepted the stop and never stopped: its process is ended,
  // so that the start that follows finds it stopped.
  if (fecha && p.service.StatusService() != kServiceStopped) {
    uintptr_t noWindow = 0;
    if (uint32_t id = fecha->PegaIdProcesso(kBackupServiceFile)) fecha->FechaProcesso(id, noWindow);
    wait(kEndingWaitMs);
  }
}

}  // namespace quarn
