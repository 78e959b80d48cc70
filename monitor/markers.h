#pragma once
// The run-state markers the monitor shares with the backup service: the in-use
// markers ("...EmUso.ti") and the heartbeats ("...Executing.ini").
#include <cstdint>
#include <optional>
#include <string>

#include "common/ansi_text.h"
#include "common/event_loop.h"
#include "common/file_system.h"
#include "common/process_control.h"
#include "common/service_control.h"
#include "common/suite_files.h"
#include "common/time_text.h"
#include "monitor/health_events.h"

namespace quarn {

inline constexpr int64_t kEmUsoStaleMinutes = 60;
inline constexpr int64_t kHeartbeatStaleMinutes = 50;
// A clock corrected backwards must not make a marker fresh for ever: a time
// further ahead than this is not believed.
inline constexpr int64_t kFutureToleranceMinutes = 5;

// What start-up and the timers ask of the markers.
class RunStateMarkers {
 public:
  virtual ~RunStateMarkers() = default;
  virtual bool OutroServiceEmUso() = 0;
  virtual void EstouEmUso(bool EmUso) = 0;
  virtual void VerificaSalvarExecutandoQuarn() = 0;
};

// The time a marker holds: its deciding line read as a date or, when that line
// is empty or not a date, the file's last write. Never "fresh for ever".
LocalTime MarkerTime(const std::string& decidingLine, const LocalTime& lastWrite, DateFormat& dates);
// The marker's time as the monitor believes it at `now`: the later of its
// deciding line's date and the file's last write, leaving out a time further
// ahead of the clock than the tolerance; when both are, there is none (the
// marker is stale).
std::optional<LocalTime> BelievedMarkerTime(const std::string& decidingLine, const LocalTime& lastWrite,
                                            const LocalTime& now, DateFormat& dates);

// A marker's age as the monitor has seen it while it runs: the time it has
// seen the file unchanged (bytes and last write), on its own steady clock, so
// that a clock set back or forward, or a change of summer time, neither ages
// nor freshens it. The file's own times speak only at the first look, and
// after a change, when they can make it no older than the look before it.
class SteadyAge {
 public:
  // `believedMs`: the age the file's times give at this look (none: not
  // believed). Returns the age in ms, or none (stale) when the first look
  // believed no time and the file has not changed since.
  std::optional<uint64_t> Look(const std::string& bytes, const FileStamp& stamp, std::optional<uint64_t> believedMs,
                               uint64_t nowMs);
  void Gone() { last_.reset(); }

 private:
  struct Seen {
    size_t bytes = 0;  // their hash: a planted giant is not kept twice
    FileStamp stamp;
    uint64_t at = 0;
    std::optional<int64_t> born;  // steady ms the content dates from
  };
  std::optional<Seen> last_;
};

// The last non-empty line, or empty when there is none.
std::string LastNonEmptyLine(const std::string& text);
// The last line read, empty or not (a final line end starts no new line).
std::string LastLine(const std::string& text);

struct MarkerPorts {
  FileSystem& fs;
  const TextCodec& codec;
  Clock& clock;
  DateFormat& dates;
  EventLoop& loop;
  MonitorServiceControl& service;
  FechaExe& fecha;  // ends the process of a backup service that accepted a stop and never stopped
};

class MonitorMarkers final : public RunStateMarkers {
 public:
  // The wait for the backup service to stop, and its process to be gone, is at
  // most this long; then its process is ended, and the start is asked for.
  static constexpr uint64_t kStopWaitMs = 60 * 1000;
  // The same wait once the monitor is ending: within the service manager's stop hint.
  static constexpr uint64_t kEndingWaitMs = 5 * 1000;

  MarkerPorts p;
  std::string logsFolder;  // application folder + "\Logs\"
  MonitorObserver* observer;  // told of restarts and stale markers

  MonitorMarkers(MarkerPorts ports, std::string logs, MonitorObserver& told = MonitorObserver::None())
      : p(ports), logsFolder(std::move(logs)), observer(&told) {}

  bool OutroServiceEmUso() override;
  void EstouEmUso(bool EmUso) override;
  void VerificaSalvarExecutandoQuarn() override;

 private:
  std::string Path(std::string_view name) const { return JoinPath(logsFolder, name); }
  void WriteTimeLine(std::string_view name);
  // Since when (monotonic) the in-use marker could not be read: busy at most the stale limit.
  std::optional<uint64_t> unreadableSince_;
  // The age in whole minutes of a marker read now, or none (stale).
  std::optional<int64_t> AgeMinutes(SteadyAge& age, const std::string& path, const std::string& decidingLine,
                                    const std::string& bytes);
  SteadyAge emUsoAge_, heartbeatAge_;
};

}  // namespace quarn
