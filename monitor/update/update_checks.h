#pragma once
#include <cstdint>
#include <optional>
// What the monitor's window asks of the updater: the two checks it runs at
// start-up and every three hours.

namespace quarn {

class UpdateChecks {
 public:
  virtual ~UpdateChecks() = default;
  virtual void VerificarSeTemAtualService() = 0;
  virtual void VerificarSeTemAtualExe() = 0;
  // What an interrupted update left is put right at once, when the start-up
  // check itself waits (the checks' start delay).
  virtual void RecuperaPendentes() {}
  // How long from now the update server asked the next check to wait (a
  // Retry-After); none while the regular schedule holds.
  virtual std::optional<uint64_t> ServerWaitMs() { return std::nullopt; }
};

}  // namespace quarn
