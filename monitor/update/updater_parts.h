#pragma once
// What the updater's own files share: the two programs it keeps current, where
// an update keeps its files in the download folder, and a flag held for a scope.
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

}  // namespace update_parts

}  // namespace quarn
