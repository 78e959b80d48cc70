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
  if (!p.fs.FileExists(path)) return false;
  LocalTime when;
  try {
    const std::string line = LastNonEmptyLine(p.codec.FromAnsi(p.fs.ReadAll(path)));
    when = MarkerTime(line, p.fs.LastModified(path), p.dates);
  } catch (const VbError&) {
    // Held open by the backup service while it writes it, or just removed: ask again.
    return true;
  }
  const int64_t age = MinuteBoundaries(when, p.clock.Now());
  if (age < kEmUsoStaleMinutes) return true;
  p.fs.Delete(path);
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
      const LocalTime when = MarkerTime(line, p.fs.LastModified(path), p.dates);
      restart = MinuteBoundaries(when, p.clock.Now()) >= kHeartbeatStaleMinutes;
    } catch (const VbError&) {
      restart = true;  // a heartbeat that cannot be read is no sign of life
    }
  }
  if (!restart) return;
  observer->HeartbeatRestart();

  p.service.PararService();
  const uint64_t start = p.loop.TickMs();
  try {
    while (p.service.StatusService() != kServiceStopped && p.loop.TickMs() - start < kStopWaitMs)
      p.loop.Idle(kStopPollMs);
  } catch (const ProgramEnd&) {
    // The monitor was stopped inside the restart: it must not leave the backup
    // service stopped behind it. Events no longer run, and the wait is short.
    const uint64_t ending = p.loop.TickMs();
    while (p.service.StatusService() != kServiceStopped && p.loop.TickMs() - ending < kEndingWaitMs)
      p.loop.Pause(kStopPollMs);
    p.service.IniciarService();
    throw;
  }
  p.service.IniciarService();
}

}  // namespace quarn
