#pragma once
// What the monitor's window asks of the updater: the two checks it runs at
// start-up and every three hours.

namespace quarn {

class UpdateChecks {
 public:
  virtual ~UpdateChecks() = default;
  virtual void VerificarSeTemAtualService() = 0;
  virtual void VerificarSeTemAtualExe() = 0;
};

}  // namespace quarn
