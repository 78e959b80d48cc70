// The updater: the two programs it keeps current, its records' lines and the
// extraction it drives.
#include "monitor/update/updater.h"

#include <algorithm>
#include <climits>

#include "common/suite_files.h"
#include "monitor/service_stop.h"
#include "monitor/update/manifest.h"
#include "monitor/update/recovery_plan.h"
#include "monitor/update/reports.h"
#include "monitor/update/settle.h"
#include "monitor/update/updater_parts.h"

namespace quarn {

using namespace update_parts;

const Updater::Program& Updater::ProgramFor(const std::string& name) {
  static const Program service{kBackupServiceName,
                               kServiceVersionRecord,
                               kServiceVersionArchive,
                               "VersaoQuarnSQLService.Local: ",
                               "VersaoQuarnSQLService.Net: ",
                               "Verificando atualizações disponíveis para o Serviço QuarnSQlService.",
                               "VersaoQuarnSQLService",
                               &Updater::VLocalService,
                               &Updater::VNetService,
                               true};
  static const Program monitor{kGuiMonitorName,
                               kGuiVersionRecord,
                               kGuiVersionArchive,
                               "VersaoQuarnSqlMonitor.Local: ",
                               "VersaoQuarnSqlMonitorEXE.Net: ",
                               "Verificando atualizações disponíveis para o QuarnSqlMonitor.",
                               "VersaoQuarnSqlMonitor",
                               &Updater::VLocalExe,
                               &Updater::VNetExe,
                               false};
  return name == service.name ? service : monitor;
}

std::string TrimSpaces(const std::string& s) {
  const size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

std::string RecordLine(std::string_view bytes, bool last) {
  if (bytes.size() > kMaxRecordBytes) throw RecordTooLarge(bytes.size());
  const auto lines = SplitLines(bytes);
  if (lines.empty()) {
    if (!last) throw Raise(kErrPastEnd);  // a server's record names a version
    return {};
  }
  const std::string& line = last ? lines.back() : lines.front();
  if (line.size() > kMaxRecordLineBytes) {
    std::string quote = line.substr(0, kRecordQuoteBytes);
    for (char& c : quote)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    throw Raise(kErrBadFileFormat, "linha do registro de versão de " + std::to_string(line.size()) +
                                       " bytes (máximo " + std::to_string(kMaxRecordLineBytes) + "): \"" +
                                       Cp1252Codec().FromAnsi(quote) + "\"...");
  }
  return Cp1252Codec().FromAnsi(line);
}

int32_t ParseContentLength(const std::string& text) {
  const std::string t = TrimSpaces(text);
  size_t i = 0;
  if (i < t.size() && t[i] == '+') ++i;
  if (i == t.size()) throw Raise(kErrTypeMismatch);
  int64_t value = 0;
  for (; i < t.size(); ++i) {
    if (t[i] < '0' || t[i] > '9') throw Raise(kErrTypeMismatch);
    value = value * 10 + (t[i] - '0');
    if (value > INT32_MAX) throw Raise(kErrOverflow);
  }
  return static_cast<int32_t>(value);
}

bool PrecisaAtualizar(const std::string& local, const std::string& net) {
  return local != kVersionError && net != kVersionError && local != net;
}

bool IsWindowsProgram(std::string_view b) {
  auto u16 = [&](size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8);
  };
  if (b.size() < 0x40 || b.substr(0, 2) != "MZ") return false;
  const uint32_t pe = u16(0x3C) | u16(0x3E) << 16;
  if (pe > b.size() || b.size() - pe < 26 || b.substr(pe, 4) != std::string_view("PE\0\0", 4)) return false;
  const uint32_t characteristics = u16(pe + 22), magic = u16(pe + 24);
  constexpr uint32_t kExecutable = 0x0002, kDll = 0x2000;
  return (characteristics & kExecutable) && !(characteristics & kDll) && (magic == 0x10b || magic == 0x20b);
}

Updater::Updater(UpdaterPorts ports, std::string appPath, MonitorLogs& logs, Timer& watchdog, std::string pastaTemp,
                 BuildVerifier* verifier, UpdateObserver* observer)
    : p_(ports),
      app_(std::move(appPath)),
      logs_(logs),
      watchdog_(watchdog),
      temp_(std::move(pastaTemp)),
      verifier_(verifier),
      observer_(observer ? observer : &UpdateObserver::None()) {
  probationTimer_ = p_.loop.CreateTimer(kProbationTickMs, [this] { AcompanhaProvacao(); });
  probationTimer_->SetEnabled(false);
}

Updater::~Updater() = default;

std::string Updater::LocalRecordPath(const Program& prog) const {
  return JoinPath(LogsFolderOf(app_), prog.recordFile);
}

// ---- extraction ----------------------------------------------------------------

int32_t Updater::DesCompacta(const std::string& archive, const std::string& include, const std::string& target,
                             bool restoreStructure) {
  try {
    p_.unzip.addUNZIP_Overwrite(11);
    p_.unzip.addUNZIP_ArchiveName(archive);
    p_.unzip.addUNZIP_Include(include);
    p_.unzip.addUNZIP_ExtractTo(target);
    p_.unzip.addUNZIP_RestoreStructure(restoreStructure ? -1 : 0);
    // A big build unpacks while the window keeps running its events; the
    // library is never left writing after the monitor has gone on.
    p_.unzip.Start();
    try {
      while (!p_.unzip.Finished()) Wait(kTransferPollMs);
    } catch (...) {
      p_.unzip.Join();
      throw;
    }
    const int32_t result = p_.unzip.Result();
    if (result < SHRT_MIN || result > SHRT_MAX) throw Raise(kErrOverflow);
    return result;
  } catch (const VbError& e) {
    Report("DesCompacta" + include + " " + ErrorText(e), kCorVermelha);
    logs_.SalvaLogErro("DesCompacta " + include + " " + ErrorText(e));
  }
  return -1;
}

}  // namespace quarn
