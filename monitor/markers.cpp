#include "monitor/markers.h"

#include <algorithm>
#include <functional>

#include "common/errors.h"
#include "monitor/service_stop.h"

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
  std::optional<LocalTime> best;
  for (const LocalTime& t : {MarkerTime(decidingLine, lastWrite, dates), lastWrite})
    if (!ahead(t) && (!best || ToEpochSeconds(t) > ToEpochSeconds(*best))) best = t;
  return best;
}

std::optional<uint64_t> SteadyAge::Look(const std::string& bytes, const FileStamp& stamp,
                                        std::optional<uint64_t> believedMs, uint64_t nowMs) {
  const int64_t now = static_cast<int64_t>(nowMs);
  const size_t hash = std::hash<std::string>{}(bytes);
  if (last_ && last_->bytes == hash && last_->stamp == stamp) {
    last_->at = nowMs;
  } else {
    std::optional<int64_t> born;
    if (last_) {
      // Written since the last look: no older than that, whatever its times say.
      const uint64_t since = nowMs - last_->at;
      born = now - static_cast<int64_t>(believedMs ? std::min(*believedMs, since) : since);
    } else if (believedMs) {
      born = now - static_cast<int64_t>(*believedMs);
    }
    last_ = Seen{hash, stamp, nowMs, born};
  }
  if (!last_->born) return std::nullopt;
  return static_cast<uint64_t>(std::max<int64_t>(0, now - *last_->born));
}

std::optional<int64_t> MonitorMarkers::AgeMinutes(SteadyAge& age, const std::string& path,
                                                  const std::string& decidingLine, const std::string& bytes) {
  const LocalTime now = p.clock.Now();
  const auto when = BelievedMarkerTime(decidingLine, p.fs.LastModified(path), now, p.dates);
  std::optional<uint64_t> believed;
  if (when) believed = static_cast<uint64_t>(std::max<int64_t>(0, MinuteBoundaries(*when, now))) * 60000;
  const auto ms = age.Look(bytes, p.fs.Stamp(path), believed, p.loop.TickMs());
  if (!ms) return std::nullopt;
  return static_cast<int64_t>(*ms / 60000);
}

void MonitorMarkers::WriteTimeLine(std::string_view name) {
  ReplaceFile(p.fs, Path(name), p.codec.ToAnsi(p.dates.GeneralDate(p.clock.Now()) + std::string(kCrLf)));
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
    emUsoAge_.Gone();
    return false;
  }
  std::optional<int64_t> minutes;
  try {
    const std::string bytes = p.fs.ReadAll(path);
    minutes = AgeMinutes(emUsoAge_, path, LastNonEmptyLine(p.codec.FromAnsi(bytes)), bytes);
  } catch (const VbError&) {
    // Held open by the backup service while it writes it, or just removed: ask
    // again, but a marker nobody can read is busy no longer than a stale one.
    if (!unreadableSince_) unreadableSince_ = p.loop.TickMs();
    return p.loop.TickMs() - *unreadableSince_ < static_cast<uint64_t>(kEmUsoStaleMinutes) * 60 * 1000;
  }
  unreadableSince_.reset();
  const int64_t age = minutes ? *minutes : kEmUsoStaleMinutes;  // none believed: stale
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
      const std::string bytes = p.fs.ReadAll(path);
      const auto minutes = AgeMinutes(heartbeatAge_, path, LastLine(p.codec.FromAnsi(bytes)), bytes);
      restart = !minutes || *minutes >= kHeartbeatStaleMinutes;
    } catch (const VbError&) {
      restart = true;  // a heartbeat that cannot be read is no sign of life
    }
  } else {
    heartbeatAge_.Gone();
  }
  if (!restart) return;
  // A stopped service is the watchdog's to start, with its patience in a crash loop.
  if (p.service.StatusService() == kServiceStopped) return;
  // An update acting on the service: the next heartbeat looks again.
  const MonitorServiceControl::Claim claim(p.service);
  if (!claim.Held()) return;
  observer->HeartbeatRestart();

  const ServiceStopPorts stop{p.service, p.fecha, p.loop};
  try {
    (void)PararServiceEAguardar(stop, kStopWaitMs, false);  // its process ended past the bound
  } catch (const ProgramEnd&) {
    // The monitor was stopped inside the restart: it must not leave the backup
    // service stopped behind it. Events no longer run, and the wait is short.
    (void)PararServiceEAguardar(stop, kEndingWaitMs, true);
    (void)p.service.IniciarService();  // nothing more can be done on the way out
    throw;
  }
  (void)p.service.IniciarService();  // a start refused is the watchdog's at its next tick
}

}  // namespace quarn
