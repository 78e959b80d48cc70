#pragma once
// Fakes of the service manager and the process list, acting as Windows does:
// the same error codes, the same states.
#include <algorithm>
#include <cctype>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/event_loop.h"
#include "common/process_control.h"
#include "common/service_control.h"
#include "common/service_notifications.h"

namespace quarn::fakes {

inline constexpr int32_t kErrServiceDoesNotExist = 1060;
inline constexpr int32_t kErrServiceExists = 1073;
inline constexpr int32_t kErrServiceAlreadyRunning = 1056;
inline constexpr int32_t kErrServiceNotActive = 1062;
inline constexpr int32_t kErrServiceRequestTimeout = 1053;

struct FakeService {
  std::string displayName;
  std::string programPath;
  std::string account;
  std::optional<std::string> password;
  int32_t state = kServiceStopped;
  bool refusesToStart = false;  // its start fails and it stays stopped
  bool slowToStop = false;      // a stop leaves it stop-pending
  int stoppedAfterQueries = 0;  // when set, stop-pending turns stopped at that many status queries
  int runningAfterQueries = 0;  // when set, start-pending turns running at that many status queries
  bool disabled = false;        // start type disabled by an administrator
  uint32_t processId = 0;       // while running; 0 is none
};

class FakeServiceManager final : public ServiceManager {
 public:
  std::map<std::string, FakeService> services;  // by lower-case name
  std::string domain;
  std::vector<std::string> calls;
  int32_t createError = 0;  // when set, every creation fails with it
  int32_t removeError = 0;  // when set, a removal stops the service, which stays, and fails with it
  int startPendingQueries = 0;  // when set, a start stays pending for that many status queries

  FakeService* Find(const std::string& name) {
    auto it = services.find(Lower(name));
    return it == services.end() ? nullptr : &it->second;
  }
  FakeService& Add(const std::string& name, int32_t state = kServiceStopped) {
    FakeService& s = services[Lower(name)];
    s.state = state;
    s.displayName = name;
    return s;
  }

  std::optional<uint32_t> ProcessId(const std::string& name) override {
    FakeService* s = Find(name);
    if (!s) return std::nullopt;
    return s->state == kServiceRunning ? s->processId : 0u;
  }
  int32_t Status(const std::string& name) override {
    calls.push_back("Status " + name);
    FakeService* s = Find(name);
    if (s && s->state == kServiceStopPending && s->stoppedAfterQueries > 0 && --s->stoppedAfterQueries == 0)
      s->state = kServiceStopped;
    if (s && s->state == kServiceStartPending && s->runningAfterQueries > 0 && --s->runningAfterQueries == 0)
      s->state = kServiceRunning;
    return s ? s->state : 0;
  }
  int32_t ReadAccount(const std::string& name, std::string& account) override {
    calls.push_back("ReadAccount " + name);
    FakeService* s = Find(name);
    if (!s) return kErrServiceDoesNotExist;
    account = s->account.substr(0, 255);
    return 0;
  }
  int32_t Create(const ServiceSpec& wanted) override {
    calls.push_back("Create " + wanted.name);
    if (createError) return createError;
    if (Find(wanted.name)) return kErrServiceExists;
    FakeService& s = Add(wanted.name);
    s.displayName = wanted.displayName;
    s.programPath = wanted.programPath;
    s.account = wanted.account;
    s.password = wanted.password;
    return 0;
  }
  int32_t Remove(const std::string& name) override {
    calls.push_back("Remove " + name);
    if (removeError) return Stop(name), removeError;
    if (!Find(name)) return kErrServiceDoesNotExist;
    services.erase(Lower(name));
    return 0;
  }
  int32_t Start(const std::string& name) override {
    calls.push_back("Start " + name);
    FakeService* s = Find(name);
    if (!s) return kErrServiceDoesNotExist;
    if (s->state != kServiceStopped) return kErrServiceAlreadyRunning;
    if (s->refusesToStart) return kErrServiceRequestTimeout;
    s->runningAfterQueries = startPendingQueries;
    s->state = startPendingQueries > 0 ? kServiceStartPending : kServiceRunning;
    return 0;
  }
  int32_t Stop(const std::string& name) override {
    calls.push_back("Stop " + name);
    FakeService* s = Find(name);
    if (!s) return kErrServiceDoesNotExist;
    if (s->state == kServiceStopped) return kErrServiceNotActive;
    s->state = s->slowToStop ? kServiceStopPending : kServiceStopped;
    return 0;
  }
  bool Disabled(const std::string& name) override {
    FakeService* s = Find(name);
    return s && s->disabled;
  }
  std::string LogonDomain() override {
    calls.push_back("LogonDomain");
    return domain;
  }

 private:
  static std::string Lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  }
};

// The service manager's word of a change: one per request, given at once for a
// service already stopped, delivered as an event of the loop.
class FakeServiceNotifications final : public ServiceChangeNotifications {
 public:
  FakeServiceNotifications(FakeServiceManager& scm, VirtualEventLoop& loop) : scm_(scm), loop_(loop) {}
  int arms = 0;
  int32_t failWith = 0;  // when set, every request fails with it

  int32_t Arm(const std::string& service, std::function<void()> onChange) override {
    ++arms;
    pending_ = nullptr;
    if (failWith) return failWith;
    pending_ = std::move(onChange);
    const FakeService* s = scm_.Find(service);
    if (s && s->state == kServiceStopped) Tell();
    return 0;
  }
  // The service stopped, went or came: the pending request is told.
  void Tell() {
    if (pending_) loop_.Post(std::exchange(pending_, nullptr));
  }
  bool Pending() const { return static_cast<bool>(pending_); }

 private:
  FakeServiceManager& scm_;
  VirtualEventLoop& loop_;
  std::function<void()> pending_;
};

class FakeProcesses final : public ProcessPort {
 public:
  std::vector<ProcessEntry> running;
  std::map<uintptr_t, uint32_t> windows;
  bool snapshotFails = false;
  int privilegeRequests = 0;
  std::vector<uint32_t> terminated;
  bool refusesToEnd = false;  // every termination fails and the programs run on

  uint32_t Run(const std::string& exe) {
    running.push_back(ProcessEntry{nextId_, exe});
    return nextId_++;
  }
  bool Snapshot(std::vector<ProcessEntry>& out) override {
    if (snapshotFails) return false;
    out = running;
    return true;
  }
  uint32_t WindowProcess(uintptr_t window) override {
    auto it = windows.find(window);
    return it == windows.end() ? 0 : it->second;
  }
  void EnableDebugPrivilege() override { ++privilegeRequests; }
  bool Terminate(uint32_t id) override {
    if (refusesToEnd) return false;
    auto it = std::find_if(running.begin(), running.end(), [&](const ProcessEntry& e) { return e.id == id; });
    if (it == running.end()) return false;
    running.erase(it);
    terminated.push_back(id);
    return true;
  }

 private:
  uint32_t nextId_ = 100;
};

}  // namespace quarn::fakes
