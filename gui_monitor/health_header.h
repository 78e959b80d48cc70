#pragma once
// The GUI monitor's health header: what the suite's files say about the backup
// service, in one line a person reads in a second, green, amber or red.
// Portable on purpose (no <windows.h>): the window reads the files and their
// ages; the decisions are here, tested on their own.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarn::gui {

struct MetricSample {
  std::string name;
  std::string labels;  // as written between the braces, e.g. program="QuarnSQLService"
  double value = 0;
};

// The samples of a Prometheus text file; comments and lines it cannot read are skipped.
inline std::vector<MetricSample> ParseMetrics(std::string_view text) {
  std::vector<MetricSample> out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (line.empty() || line[0] == '#') continue;
    MetricSample s;
    size_t nameEnd = line.find_first_of("{ ");
    if (nameEnd == std::string_view::npos) continue;
    s.name = std::string(line.substr(0, nameEnd));
    size_t valueAt = nameEnd;
    if (line[nameEnd] == '{') {
      const size_t close = line.rfind('}');
      if (close == std::string_view::npos || close < nameEnd) continue;
      s.labels = std::string(line.substr(nameEnd + 1, close - nameEnd - 1));
      valueAt = close + 1;
    }
    try {
      s.value = std::stod(std::string(line.substr(valueAt)));
    } catch (...) {
      continue;
    }
    out.push_back(std::move(s));
  }
  return out;
}

// A label's value in a sample's label text (escapes undone), or empty.
inline std::string LabelValue(const std::string& labels, std::string_view name) {
  const std::string key = std::string(name) + "=\"";
  size_t at = 0;
  while ((at = labels.find(key, at)) != std::string::npos) {
    if (at == 0 || labels[at - 1] == ',') break;
    ++at;
  }
  if (at == std::string::npos) return {};
  std::string v;
  for (size_t i = at + key.size(); i < labels.size() && labels[i] != '"'; ++i) {
    if (labels[i] == '\\' && i + 1 < labels.size()) {
      ++i;
      v += labels[i] == 'n' ? '\n' : labels[i];
    } else {
      v += labels[i];
    }
  }
  return v;
}

enum class HealthLevel { Green, Amber, Red };

struct HealthInputs {
  std::optional<std::string> metrics;          // the metrics file's text; empty when missing
  std::optional<int64_t> heartbeatAgeSeconds;  // the backup service's heartbeat file, by its write time
  std::string lastBackupText;                  // the last backup marker's time, as written
  int64_t nowUtc = 0;
};

struct HealthHeader {
  HealthLevel level = HealthLevel::Green;
  std::string text;  // UTF-8, two lines: the backup service, then the builds and updates
};

inline constexpr int64_t kHeartbeatStaleSeconds = 50 * 60;  // the monitor restarts the service then
inline constexpr int64_t kHeartbeatLateSeconds = 5 * 60;    // it writes every 30 s

namespace detail {
inline std::string Age(int64_t seconds) {
  if (seconds < 0) return "no futuro";
  if (seconds < 120) return std::to_string(seconds) + " s";
  if (seconds < 2 * 3600) return std::to_string(seconds / 60) + " min";
  if (seconds < 2 * 86400) return std::to_string(seconds / 3600) + " h";
  return std::to_string(seconds / 86400) + " dias";
}
inline void Worse(HealthLevel& level, HealthLevel to) {
  if (static_cast<int>(to) > static_cast<int>(level)) level = to;
}
// A refused build, or a new one that failed its probation: red.
inline bool IsRefusal(int64_t number) { return (number >= 7101 && number <= 7107) || number == 7117; }
}  // namespace detail

inline HealthHeader HeaderFor(const HealthInputs& in) {
  HealthHeader h;
  std::vector<MetricSample> samples;
  if (in.metrics) samples = ParseMetrics(*in.metrics);
  auto value = [&](std::string_view name) -> std::optional<double> {
    for (const auto& s : samples)
      if (s.name == name) return s.value;
    return std::nullopt;
  };
  std::string text;
  auto part = [&](const std::string& p) { text += (text.empty() || text.back() == '\n' ? "" : "  \xC2\xB7  ") + p; };

  // The backup service itself.
  const auto state = value("quarn_backup_service_state");
  const bool crashLoop = value("quarn_backup_service_crash_loop").value_or(0) == 1;
  if (!in.metrics) {
    detail::Worse(h.level, HealthLevel::Red);
    part("Sem dados do monitor (quarn_sql.prom)");
  } else if (crashLoop) {
    detail::Worse(h.level, HealthLevel::Red);
    std::string wait;
    const auto delay = value("quarn_watchdog_backoff_seconds");
    if (delay && *delay > 0) wait = ", espera de " + detail::Age(static_cast<int64_t>(*delay));
    if (const auto next = value("quarn_watchdog_next_start_timestamp_seconds"))
      wait += ", pr\xC3\xB3ximo in\xC3\xAD"
              "cio em " +
              detail::Age(std::max<int64_t>(0, static_cast<int64_t>(*next) - in.nowUtc));
    part(
        "Servi\xC3\xA7o de backup: para logo depois de cada in\xC3\xAD"
        "cio" +
        wait);
  } else if (state && *state == 4) {
    part("Servi\xC3\xA7o de backup: em execu\xC3\xA7\xC3\xA3o");
  } else if (state && *state >= 2 && *state <= 7) {
    detail::Worse(h.level, HealthLevel::Amber);
    part("Servi\xC3\xA7o de backup: estado " + std::to_string(static_cast<int>(*state)));
  } else {
    detail::Worse(h.level, HealthLevel::Red);
    part(state && *state == 1 ? "Servi\xC3\xA7o de backup: parado" : "Servi\xC3\xA7o de backup: n\xC3\xA3o instalado");
  }

  if (!in.heartbeatAgeSeconds) {
    detail::Worse(h.level, HealthLevel::Red);
    part("sem batimento");
  } else {
    const int64_t age = *in.heartbeatAgeSeconds;
    if (age >= kHeartbeatStaleSeconds || age < -60)
      detail::Worse(h.level, HealthLevel::Red);
    else if (age >= kHeartbeatLateSeconds)
      detail::Worse(h.level, HealthLevel::Amber);
    part("batimento h\xC3\xA1 " + detail::Age(age < 0 ? 0 : age));
  }
  part("\xC3\xBAltimo backup: " + (in.lastBackupText.empty() ? std::string("nenhum") : in.lastBackupText));

  // The last update check of each program (what went wrong reads first), then the builds.
  text += '\n';
  for (const auto& s : samples) {
    if (s.name != "quarn_update_last_check_result") continue;
    const std::string program = LabelValue(s.labels, "program");
    std::string when;
    for (const auto& t : samples)
      if (t.name == "quarn_update_last_check_timestamp_seconds" && t.labels == s.labels)
        when = " h\xC3\xA1 " + detail::Age(in.nowUtc - static_cast<int64_t>(t.value));
    const int64_t result = static_cast<int64_t>(s.value);
    if (result == 0) {
      part("atualiza\xC3\xA7\xC3\xA3o " + program + when + ": ok");
    } else {
      detail::Worse(h.level, detail::IsRefusal(result) ? HealthLevel::Red : HealthLevel::Amber);
      part("atualiza\xC3\xA7\xC3\xA3o " + program + when + ": " + (detail::IsRefusal(result) ? "recusada" : "erro") +
           " " + std::to_string(result));
    }
  }
  // A held publication: its program keeps the build before it until the next try.
  for (const auto& s : samples) {
    if (s.name != "quarn_update_held" || s.value != 1) continue;
    std::string next;
    for (const auto& t : samples)
      if (t.name == "quarn_update_held_next_try_timestamp_seconds" && t.labels == s.labels)
        next = ", nova tentativa em " + detail::Age(std::max<int64_t>(0, static_cast<int64_t>(t.value) - in.nowUtc));
    detail::Worse(h.level, HealthLevel::Amber);
    part("publica\xC3\xA7\xC3\xA3o " + LabelValue(s.labels, "program") + " retida" + next);
  }
  // A staged rollout this machine is not in yet: it keeps its build, nothing is wrong.
  for (const auto& s : samples)
    if (s.name == "quarn_update_rollout_waiting" && s.value == 1)
      part("publica\xC3\xA7\xC3\xA3o " + LabelValue(s.labels, "program") +
           " em implanta\xC3\xA7\xC3\xA3o gradual, esta m\xC3\xA1quina aguarda");
  std::string builds;
  for (const auto& s : samples)
    if (s.name == "quarn_build_info")
      builds += (builds.empty() ? "" : ", ") + LabelValue(s.labels, "program") + " " + LabelValue(s.labels, "version");
  if (!builds.empty()) part(builds);
  h.text = text;
  return h;
}

}  // namespace quarn::gui
