#pragma once
// A whole Windows machine for the updater's fault tests: one drive, the
// service manager, the process list, the update server and the extraction
// library, acting as Windows does where an update can trip on it: a running
// program's image and loaded libraries cannot be deleted, written or renamed
// over (they can be renamed away, and stay in use under the new name); a file
// held open without share-delete cannot be deleted, written or renamed at all;
// an ended process lingers a moment; a service is stop-pending until its
// process is gone, and starts only from a whole program file. Every operation that changes anything passes the
// injector, which can make the N-th one fail or stop the whole machine.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/errors.h"
#include "common/event_loop.h"
#include "common/process_control.h"
#include "aunzip32/name_policy.h"
#include "common/service_control.h"
#include "common/suite_files.h"
#include "fakes/control_fakes.h"
#include "fakes/fakes.h"
#include "fakes/update_fakes.h"
#include "monitor/update/update_ports.h"

namespace quarn::fakes {

// The machine lost power here. Product code catches VbError and ProgramEnd
// only, so nothing of it can swallow this.
struct PowerLoss {};

class Injector {
 public:
  // kFail: the N-th operation fails; kFailFrom: it and every later one fail
  // (a disk that stays full); kCrash: the power goes at the N-th; kFailRead:
  // the N-th read of a file's bytes fails.
  enum class Mode { kNone, kFail, kFailFrom, kCrash, kFailRead };
  Mode mode = Mode::kNone;
  int at = 0;     // the operation that fails or crashes, counted from 1 once armed
  int count = 0;  // operations that changed something since arming
  bool armed = false;
  bool down = false;               // power lost: every later operation finds a dead machine
  std::vector<std::string> ops;    // what each counted operation was
  std::vector<std::string> reads;  // each file read since arming

  void Arm(Mode m, int n) {
    mode = m;
    at = n;
    count = 0;
    armed = true;
    ops.clear();
    reads.clear();
  }
  void Disarm() { armed = false; }
  void Alive() const {
    if (down) throw PowerLoss{};
  }
  // Before a read: true when this one must fail.
  bool Read(const std::string& path) {
    Alive();
    if (!armed) return false;
    reads.push_back(path);
    return mode == Mode::kFailRead && static_cast<int>(reads.size()) == at;
  }
  // Before an operation that changes anything: true when this one must fail.
  // `beforeCrash` leaves what a cut-off operation leaves on disk.
  bool Step(const std::string& what, const std::function<void()>& beforeCrash = {}) {
    Alive();
    if (!armed) return false;
    ops.push_back(what);
    if (mode == Mode::kFailFrom) return ++count >= at;
    if (++count != at) return false;
    if (mode == Mode::kCrash) {
      if (beforeCrash) beforeCrash();
      down = true;
      throw PowerLoss{};
    }
    return mode == Mode::kFail;
  }
};

class Machine;

class MachineProcesses final : public ProcessPort {
 public:
  explicit MachineProcesses(Machine& m) : m_(m) {}
  bool Snapshot(std::vector<ProcessEntry>& out) override;
  uint32_t WindowProcess(uintptr_t) override { return 0; }
  void EnableDebugPrivilege() override {}
  bool Terminate(uint32_t id) override;

 private:
  Machine& m_;
};

class MachineServices final : public ServiceManager {
 public:
  explicit MachineServices(Machine& m) : m_(m) {}
  int32_t Status(const std::string& name) override;
  int32_t ReadAccount(const std::string& name, std::string& account) override;
  int32_t Create(const ServiceSpec&) override { return 5; }
  int32_t Remove(const std::string&) override { return 5; }
  int32_t Start(const std::string& name) override;
  int32_t Stop(const std::string& name) override;
  bool Disabled(const std::string& name) override;
  std::optional<uint32_t> ProcessId(const std::string& name) override;
  std::string LogonDomain() override { return {}; }
  std::function<void()> onStop;  // runs after a stop request was accepted

 private:
  Machine& m_;
};

class MachineInet final : public InetTransfer {
 public:
  MachineInet(Machine& m, FakeInet& inner) : m_(m), inner_(inner) {}
  bool InternetGetConnectedState() override { return inner_.InternetGetConnectedState(); }
  void Execute(const std::string& url, const std::string& op, const RequestOptions& o) override;
  bool StillExecuting() override { return inner_.StillExecuting(); }
  int ResponseCode() override { return inner_.ResponseCode(); }
  std::string GetHeader(const std::string& name) override { return inner_.GetHeader(name); }
  std::string GetChunk(int size) override { return inner_.GetChunk(size); }
  void Cancel() override { inner_.Cancel(); }

 private:
  Machine& m_;
  FakeInet& inner_;
};

// Unpacks registered archives entry by entry through the drive, so a fault can
// fall between two entries; answers as the library does (count, or negative).
class MachineUnzip final : public UnzipLibrary {
 public:
  explicit MachineUnzip(Machine& m) : m_(m) {}
  std::map<std::string, std::vector<std::pair<std::string, std::string>>> archives;  // by bytes
  int16_t addUNZIP_Overwrite(int16_t) override { return 0; }
  int16_t addUNZIP_ArchiveName(const std::string& a) override {
    archive_ = a;
    return 0;
  }
  int16_t addUNZIP_Include(const std::string& i) override {
    include_ = i;
    return 0;
  }
  int16_t addUNZIP_ExtractTo(const std::string& f) override {
    target_ = f;
    return 0;
  }
  int16_t addUNZIP_RestoreStructure(int16_t) override { return 0; }
  int32_t addUNZIP() override;

 private:
  Machine& m_;
  std::string archive_, target_, include_;
};

class Machine {
 public:
  struct Process {
    uint32_t id;
    std::vector<std::string> mapped;  // the image first, then loaded libraries; by Key()
    std::vector<std::string> open;    // held open without share-delete; by Key()
    uint64_t endsAt = 0;              // 0 while it runs; then gone once the clock reaches it
    bool stopping = false;            // told to stop by the service manager, and never doing so
    const std::string& image() const { return mapped.front(); }
  };
  struct Service {
    std::string programPath;
    bool automatic = true;
    bool disabled = false;  // by an administrator: it runs on, but will not start
    uint32_t process = 0;
  };
  // What a program holds while it runs, by file name beside its image.
  std::map<std::string, std::vector<std::string>> libraries, openFiles;  // by image file name
  static constexpr uint64_t kLingerMs = 30;

  MemoryFileSystem fs;
  Injector inj;
  std::vector<Process> processes;
  std::map<std::string, Service> services;      // by name as given
  std::set<std::string> wholePrograms;          // the bytes a program file may hold and still start
  std::set<std::string> exitsAtOnce;            // programs that start and end straight away
  std::set<std::string> ignoresStop;            // programs that accept a stop and never stop
  std::map<std::string, uint64_t> diesAfterMs;  // programs that run a while after each start, then end
  std::set<std::string> noHeartbeat;            // service programs that run and never write their heartbeat
  static constexpr int kHeartbeatMs = 5000;     // a running service's heartbeat, at its start and then this often
  // The registry's settings of the updater, the trusted key and the installed
  // publications: all of it survives a power cut.
  FakePolicy policy;
  FakeKeySource keys;
  FakePublications publications;
  FakeUpdateLock lock;
  std::unique_ptr<VirtualEventLoop> loop = std::make_unique<VirtualEventLoop>();
  FakeInet server;
  MachineProcesses procs{*this};
  MachineServices scm{*this};
  MachineInet inet{*this, server};
  MachineUnzip unzip{*this};

  // Once set, any file operation on a path outside this folder is recorded:
  // nothing the monitor does, on any input, may reach beyond the suite folder.
  std::string confine;
  std::vector<std::string> outside;

  Machine() {
    StartHeartbeats();
    fs.beforeChange = [this](const std::string& op, const std::string& path, const std::string& to) {
      OnChange(op, path, to);
    };
    fs.onAccess = [this](const std::string& path) {
      if (!confine.empty() && !Within(confine, path)) outside.push_back(path);
    };
    fs.beforeRead = [this](const std::string& path) {
      if (inj.Read(path)) throw FileError(kErrPermissionDenied);
    };
  }
  static bool Within(const std::string& folder, const std::string& path) {
    const std::string k = Key(path), root = Key(folder);
    if (k != root && k.compare(0, root.size() + 1, root + "\\") != 0) return false;
    return k.find('/') == std::string::npos && ("\\" + k + "\\").find("\\..\\") == std::string::npos;
  }

  uint32_t Run(const std::string& image) {
    Process p{nextId_, {Key(image)}, {}};
    const std::string folder = image.substr(0, image.find_last_of('\\'));
    const std::string name = image.substr(image.find_last_of('\\') + 1);
    for (const auto& lib : libraries[name])
      if (fs.Has(JoinPath(folder, lib))) p.mapped.push_back(Key(JoinPath(folder, lib)));
    for (const auto& file : openFiles[name])
      if (fs.Has(JoinPath(folder, file))) p.open.push_back(Key(JoinPath(folder, file)));
    processes.push_back(p);
    return nextId_++;
  }
  bool Running(const std::string& image) {
    Reap();
    for (auto& p : processes)
      if (p.image() == Key(image)) return true;
    return false;
  }
  const Process* Find(uint32_t id) {
    Reap();
    for (auto& p : processes)
      if (p.id == id) return &p;
    return nullptr;
  }
  // Ends processes whose time has come; a service whose process is gone is stopped.
  void Reap() {
    const uint64_t now = loop->TickMs();
    for (auto it = processes.begin(); it != processes.end();) {
      if (it->endsAt != 0 && now >= it->endsAt) {
        for (auto& [name, s] : services)
          if (s.process == it->id) s.process = 0;
        it = processes.erase(it);
      } else {
        ++it;
      }
    }
  }
  void End(uint32_t id) {
    for (auto& p : processes)
      if (p.id == id && p.endsAt == 0) p.endsAt = loop->TickMs() + kLingerMs;
  }
  // What a power cut leaves of each unflushed file (see MemoryFileSystem::PowerCut).
  std::function<int(const std::string& key)> cutFate = [](const std::string&) { return 2; };

  // Power comes back: what was not flushed is lost, every process is gone,
  // the service manager starts the automatic services from whatever program
  // file is there.
  void Boot() {
    if (inj.down) fs.PowerCut(cutFate);
    inj.down = false;
    inj.Disarm();
    processes.clear();
    for (auto& [name, s] : services) s.process = 0;
    heartbeats_.reset();
    loop = std::make_unique<VirtualEventLoop>();
    StartHeartbeats();
    for (auto& [name, s] : services)
      if (s.automatic) scm.Start(name);
  }
  // Each running service writes its heartbeat beside its program, in the Logs
  // folder, as the backup service does (not through the injector: it is not
  // the monitor's doing).
  void Heartbeat(const Service& s) {
    if (!s.process || !Find(s.process) || noHeartbeat.count(fs.Get(s.programPath))) return;
    const std::string logs = s.programPath.substr(0, s.programPath.find_last_of('\\')) + "\\Logs";
    if (fs.DirExists(logs)) fs.Put(logs + "\\" + kServiceExecutingFile, "heartbeat\r\n");
  }

 private:
  void OnChange(const std::string& op, const std::string& path, const std::string& to) {
    const bool move = op == "Rename" || op == "DurableRename";
    // A cut in the middle of a write leaves the file as the power cut leaves
    // any unflushed file (Boot decides).
    const bool fail = inj.Step(op + " " + path + (to.empty() ? "" : " -> " + to));
    if (fail)
      throw FileError(op == "WriteAll" || op == "Append" || op == "Flush" ? kErrDiskFull : kErrPermissionDenied);
    if (op == "CreateDir" || op == "RemoveDir" || op == "Flush") return;
    Reap();
    const std::string hit = Key(move ? to : path);
    for (auto& p : processes) {
      for (auto& f : p.mapped)
        if (f == hit) throw FileError(kErrPermissionDenied);
      for (auto& f : p.open)
        if (f == hit || (move && f == Key(path))) throw FileError(kErrPermissionDenied);
    }
    if (move)
      for (auto& p : processes)
        for (auto& f : p.mapped)
          if (f == Key(path)) f = Key(to);  // a mapped file can be moved away, and stays in use
  }
  void StartHeartbeats() {
    heartbeats_ = loop->CreateTimer(kHeartbeatMs, [this] {
      if (inj.down) return;
      for (auto& [name, s] : services) Heartbeat(s);
    });
    heartbeats_->SetEnabled(true);
  }
  uint32_t nextId_ = 100;
  std::unique_ptr<Timer> heartbeats_;
};

inline bool MachineProcesses::Snapshot(std::vector<ProcessEntry>& out) {
  m_.inj.Alive();
  m_.Reap();
  out.clear();
  for (auto& p : m_.processes) out.push_back(ProcessEntry{p.id, p.image().substr(p.image().find_last_of('\\') + 1)});
  return true;
}

inline bool MachineProcesses::Terminate(uint32_t id) {
  if (m_.inj.Step("Terminate " + std::to_string(id))) return false;
  if (!m_.Find(id)) return false;
  m_.End(id);
  return true;
}

inline int32_t MachineServices::Status(const std::string& name) {
  m_.inj.Alive();
  auto it = m_.services.find(name);
  if (it == m_.services.end()) return 0;
  const Machine::Process* p = it->second.process ? m_.Find(it->second.process) : nullptr;
  if (!p) return kServiceStopped;
  return p->endsAt || p->stopping ? kServiceStopPending : kServiceRunning;
}

inline int32_t MachineServices::ReadAccount(const std::string& name, std::string& account) {
  m_.inj.Alive();
  if (!m_.services.count(name)) return kErrServiceDoesNotExist;
  account = "LocalSystem";
  return 0;
}

inline int32_t MachineServices::Start(const std::string& name) {
  if (m_.inj.Step("Start " + name)) return kErrServiceRequestTimeout;
  auto it = m_.services.find(name);
  if (it == m_.services.end()) return kErrServiceDoesNotExist;
  if (it->second.disabled) return 1058;  // ERROR_SERVICE_DISABLED
  if (Status(name) != kServiceStopped) return kErrServiceAlreadyRunning;
  const std::string& file = it->second.programPath;
  if (!m_.fs.Has(file)) return 2;                            // ERROR_FILE_NOT_FOUND
  if (!m_.wholePrograms.count(m_.fs.Get(file))) return 193;  // ERROR_BAD_EXE_FORMAT
  it->second.process = m_.Run(file);
  if (m_.exitsAtOnce.count(m_.fs.Get(file))) m_.End(it->second.process);
  auto dies = m_.diesAfterMs.find(m_.fs.Get(file));
  if (dies != m_.diesAfterMs.end())
    for (auto& p : m_.processes)
      if (p.id == it->second.process) p.endsAt = m_.loop->TickMs() + dies->second;
  m_.Heartbeat(it->second);
  return 0;
}

inline std::optional<uint32_t> MachineServices::ProcessId(const std::string& name) {
  m_.inj.Alive();
  auto it = m_.services.find(name);
  if (it == m_.services.end()) return std::nullopt;
  return it->second.process && m_.Find(it->second.process) ? it->second.process : 0u;
}

inline bool MachineServices::Disabled(const std::string& name) {
  m_.inj.Alive();
  auto it = m_.services.find(name);
  return it != m_.services.end() && it->second.disabled;
}

inline int32_t MachineServices::Stop(const std::string& name) {
  if (m_.inj.Step("Stop " + name)) return kErrServiceRequestTimeout;
  if (Status(name) != kServiceRunning) return kErrServiceNotActive;
  Machine::Service& s = m_.services[name];
  if (m_.ignoresStop.count(m_.fs.Get(s.programPath))) {
    for (auto& p : m_.processes)
      if (p.id == s.process) p.stopping = true;
    return 0;
  }
  m_.End(s.process);
  if (onStop) onStop();
  return 0;
}

inline void MachineInet::Execute(const std::string& url, const std::string& op, const RequestOptions& o) {
  if (m_.inj.Step("Execute " + url)) throw VbError(12029, "Não foi possível conectar ao servidor");
  inner_.Execute(url, op, o);
}

inline int32_t MachineUnzip::addUNZIP() {
  m_.inj.Alive();
  if (!m_.fs.Has(archive_)) return -1;
  auto it = archives.find(m_.fs.Get(archive_));
  if (it == archives.end()) return -2;
  // As the library: plain names only, those the include list selects.
  int32_t written = 0;
  try {
    for (auto& [name, content] : it->second) {
      const std::string plain(unzip::PlainName(name));
      if (!unzip::IsSafeFileName(plain) || !unzip::Included(include_, plain)) continue;
      m_.fs.WriteAll(JoinPath(target_, plain), content);
      ++written;
    }
  } catch (const VbError&) {
    return -4;
  }
  return written;
}

}  // namespace quarn::fakes
