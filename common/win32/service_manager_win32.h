#pragma once
// The service manager and the process list of the local machine.
#include "common/process_control.h"
#include "common/service_control.h"

namespace quarn::win {

class Win32ServiceManager final : public ServiceManager {
 public:
  int32_t Status(const std::string& name) override;
  int32_t ReadAccount(const std::string& name, std::string& account) override;
  int32_t Create(const ServiceSpec& wanted) override;
  int32_t Remove(const std::string& name) override;
  int32_t Start(const std::string& name) override;
  int32_t Stop(const std::string& name) override;
  std::string LogonDomain() override;
};

class Win32Processes final : public ProcessPort {
 public:
  bool Snapshot(std::vector<ProcessEntry>& out) override;
  uint32_t WindowProcess(uintptr_t window) override;
  void EnableDebugPrivilege() override;
  bool Terminate(uint32_t id) override;
};

}  // namespace quarn::win
