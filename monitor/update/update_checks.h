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
  // How long from now the update server asked the next check to wait (a
  // Retry-After); none while the regular schedule holds.
  virtual std::optional<uint64_t> ServerWaitMs() { return std::nullopt; }
};

}  // namespace quarn
