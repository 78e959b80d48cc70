#pragma once
// What the updater's own files share: the two programs it keeps current, where
// an update keeps its files in the download folder, and a flag held for a scope.
#include <optional>
#include <string>

#include "monitor/update/settle.h"
#include "monitor/update/updater.h"

namespace quarn {

// The two programs the updater keeps current, with their names as the server
// and the records spell them.
struct Updater::Program {
  const char* name;        // program file without ".exe", and its archive's name
  const char* recordFile;  // local record and server record
  const char* versionZip;  // server record archive
  const char* localLabel;
  const char* netLabel;
  const char* checking;     // first report of the server reader
  const char* savingLabel;  // "Salvando ..." and "... Salva..."
  std::string Updater::*local;
  std::string Updater::*net;
  bool isService;
};

template <class Step>
bool Updater::Finishing(Step step) {
  try {
    return step();
  } catch (const ProgramEnd&) {
    if (ending_) throw;
    // Told to stop inside a wait: the same steps again, letting no event run,
    // so that the program ends with a whole build in place.
    ending_ = true;
    try {
      step();
    } catch (const VbError&) {
      // Reported where it failed; the program ends all the same.
    }
    throw;
  }
}

namespace update_parts {

using Paths = UpdatePaths;

// Set while a check, an update or a recovery runs.
struct Busy {
  bool& flag;
  bool was;
  explicit Busy(bool& f) : flag(f), was(f) { flag = true; }
  ~Busy() { flag = was; }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;
};

// What the updater's files report and how they leave an update.
inline std::string ErrorText(const VbError& e) { return std::to_string(e.Number()) + "-" + e.Description(); }

inline void EmptyFolder(FileSystem& fs, const std::string& folder) {
  if (!fs.DirExists(folder)) {
    fs.CreateDir(folder);
    return;
  }
  for (const auto& f : fs.ListFiles(folder)) fs.Delete(JoinPath(folder, f));
}

// Whatever way an update or a recovery is left (a report that cannot be
// written, a failed rollback, a stop), the watchdog is on again and the
// backup service it stopped has been asked to start. Nothing here waits or
// lets events run: a stop-pending service is the watchdog's next tick's work.
// Armed, it holds the claim on the backup service until then.
class BackOn {
 public:
  BackOn(Timer& watchdog, MonitorServiceControl& service) : watchdog_(watchdog), service_(service) {}
  BackOn(const BackOn&) = delete;
  BackOn& operator=(const BackOn&) = delete;
  void Arm() {
    armed_ = true;
    if (!claim_) claim_.emplace(service_);
  }
  ~BackOn() {
    if (!armed_) return;
    try {
      if (service_.StatusService() != kServiceRunning) (void)service_.IniciarService();  // best effort, on the way out
    } catch (...) {
      // The watchdog below starts it.
    }
    watchdog_.SetEnabled(true);
  }

 private:
  Timer& watchdog_;
  MonitorServiceControl& service_;
  bool armed_ = false;
  std::optional<MonitorServiceControl::Claim> claim_;
};

// A refusal of the signed path: it goes to the error log as well.
inline VbError RecordTooLarge(uint64_t size) {
  return Raise(kErrBadFileFormat, "registro de versão de " + std::to_string(size) + " bytes (máximo " +
                                      std::to_string(kMaxRecordBytes) + ")");
}

inline bool SecurityRefusal(const VbError& e) { return e.Number() >= kErrManifestMissing && e.Number() <= kErrJournalInvalid; }

}  // namespace update_parts

}  // namespace quarn
