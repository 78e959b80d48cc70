#pragma once
// Fakes of the core's ports for unit tests: an in-memory drive with injectable
// failures, a settable clock, and recorders for the service host and the shell.
#include <algorithm>
#include <cctype>
#include <functional>
#include <optional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/errors.h"
#include "common/file_system.h"
#include "common/time_text.h"
#include "monitor/frm_backup.h"
#include "monitor/service_host.h"

namespace quarn::fakes {

// Where the tests install the suite, and its logs.
inline const std::string kApp = "C:\\Solvane\\Quarn SQL";
inline const std::string kLogs = kApp + "\\Logs\\";

// Paths compare without regard to case, as on Windows.
inline std::string Key(const std::string& path) {
  std::string k = path;
  for (auto& c : k) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  while (k.size() > 3 && k.back() == '\\') k.pop_back();
  return k;
}

// A program file as far as the updater looks: a 64-bit Windows program's
// headers, then `tag` telling builds apart.
inline std::string WindowsProgram(const std::string& tag) {
  std::string b(0x40, '\0');
  b[0] = 'M', b[1] = 'Z', b[0x3C] = 0x40;
  std::string coff(20, '\0');
  coff[0] = 0x64, coff[1] = static_cast<char>(0x86), coff[18] = 0x22;  // x64, an executable image
  return b + std::string("PE\0\0", 4) + coff + std::string("\x0b\x02", 2) + tag;
}

class MemoryFileSystem final : public FileSystem {
 public:
  std::map<std::string, std::string> files;  // by Key()
  std::set<std::string> dirs;                // by Key()
  std::set<std::string> locked;              // by Key(): every access fails with 70
  uint64_t clockTick = 1;
  std::map<std::string, uint64_t> writeTimes;
  std::map<std::string, LocalTime> modified;
  std::map<std::string, std::string> original;  // by Key(): the name as last written
  // A power cut loses what was not flushed: for each file written since its
  // last flush, the bytes the disk still holds (none for a new file).
  std::map<std::string, std::string> unflushed;  // by Key()
  uint64_t bytesRead = 0, bytesWritten = 0;
  // Runs before every operation that changes the drive ("CreateDir", "WriteAll",
  // "Append", "Delete", "Rename", "RemoveDir"); it may raise to refuse it.
  std::function<void(const std::string& op, const std::string& path, const std::string& to)> beforeChange;
  // Runs first in every operation, reading ones included, with each path it names.
  std::function<void(const std::string& path)> onAccess;
  // Runs before every read of a file's bytes; it may raise to fail it.
  std::function<void(const std::string& path)> beforeRead;

  MemoryFileSystem() { dirs.insert("c:\\"); }

  // Names and renames survive in order; each unflushed file comes back as
  // the disk happens to have it: `fate` says, per file, 0 whole (the cache got
  // there first), 1 with its earlier bytes, 2 empty.
  void PowerCut(const std::function<int(const std::string& key)>& fate) {
    for (auto& [k, earlier] : unflushed) {
      if (!files.count(k)) continue;
      const int f = fate(k);
      if (f == 1) files[k] = earlier;
      if (f == 2) files[k].clear();
    }
    unflushed.clear();
  }
  void AddDir(const std::string& p) { dirs.insert(Key(p)); }
  void Put(const std::string& p, std::string bytes) {
    Touch(Key(p));
    Remember(p);
    files[Key(p)] = std::move(bytes);
  }
  std::string Get(const std::string& p) const {
    auto it = files.find(Key(p));
    return it == files.end() ? std::string("<missing>") : it->second;
  }
  bool Has(const std::string& p) const { return files.count(Key(p)) != 0; }

  bool FileExists(const std::string& p) override {
    Seen(p);
    return files.count(Key(p)) != 0;
  }
  bool DirExists(const std::string& p) override {
    Seen(p);
    return dirs.count(Key(p)) != 0;
  }
  void CreateDir(const std::string& p) override {
    Seen(p);
    Check(p);
    Changing("CreateDir", p);
    if (!dirs.count(Parent(p))) throw FileError(kErrPathNotFound);
    if (dirs.count(Key(p)) || files.count(Key(p))) throw FileError(kErrPathFileAccess);
    dirs.insert(Key(p));
  }
  std::string ReadAll(const std::string& p) override {
    Seen(p);
    Check(p);
    if (beforeRead) beforeRead(p);
    auto it = files.find(Key(p));
    if (it == files.end()) throw FileError(kErrFileNotFound);
    bytesRead += it->second.size();
    return it->second;
  }
  void WriteAll(const std::string& p, std::string_view bytes) override {
    Seen(p);
    Check(p);
    Changing("WriteAll", p);
    if (!dirs.count(Parent(p))) throw FileError(kErrPathNotFound);
    Dirty(Key(p));
    files[Key(p)] = std::string(bytes);
    bytesWritten += bytes.size();
    Touch(Key(p));
    Remember(p);
  }
  void Append(const std::string& p, std::string_view bytes) override {
    Seen(p);
    Check(p);
    Changing("Append", p);
    auto it = files.find(Key(p));
    if (it == files.end()) throw FileError(kErrFileNotFound);
    Dirty(it->first);
    it->second.append(bytes);
    bytesWritten += bytes.size();
    Touch(Key(p));
  }
  void Delete(const std::string& p) override {
    Seen(p);
    Check(p);
    Changing("Delete", p);
    if (!files.erase(Key(p))) throw FileError(kErrFileNotFound);
    unflushed.erase(Key(p));
  }
  void Rename(const std::string& from, const std::string& to) override { Move("Rename", from, to); }
  void DurableRename(const std::string& from, const std::string& to) override { Move("DurableRename", from, to); }
  void Flush(const std::string& p) override {
    Seen(p);
    Check(p);
    Changing("Flush", p);
    if (!files.count(Key(p))) throw FileError(kErrFileNotFound);
    unflushed.erase(Key(p));
  }
  FileStamp Stamp(const std::string& p) override {
    Seen(p);
    auto it = files.find(Key(p));
    if (it == files.end()) throw FileError(kErrFileNotFound);
    return FileStamp{it->second.size(), writeTimes[Key(p)]};
  }
  std::vector<std::string> ListFiles(const std::string& folder) override {
    Seen(folder);
    std::vector<std::string> names;
    const std::string prefix = Key(folder) + "\\";
    for (auto& [k, v] : files) {
      (void)v;
      if (k.size() > prefix.size() && k.compare(0, prefix.size(), prefix) == 0 &&
          k.find('\\', prefix.size()) == std::string::npos)
        names.push_back(original.count(k) ? original[k] : k.substr(prefix.size()));
    }
    return names;
  }
  void RemoveDir(const std::string& p) override {
    Seen(p);
    Check(p);
    Changing("RemoveDir", p);
    if (!dirs.erase(Key(p))) throw FileError(kErrPathNotFound);
  }
  LocalTime LastModified(const std::string& p) override {
    Seen(p);
    if (!files.count(Key(p))) throw FileError(kErrFileNotFound);
    return modified[Key(p)];
  }

 private:
  static std::string Parent(const std::string& p) {
    std::string k = Key(p);
    const size_t s = k.find_last_of('\\');
    return s == std::string::npos ? std::string() : (s == 2 ? k.substr(0, 3) : k.substr(0, s));
  }
  void Move(const char* op, const std::string& from, const std::string& to) {
    Seen(from);
    Seen(to);
    Check(from);
    Check(to);
    Changing(op, from, to);
    auto it = files.find(Key(from));
    if (it == files.end()) throw FileError(kErrFileNotFound);
    if (!dirs.count(Parent(to))) throw FileError(kErrPathNotFound);
    std::string moved = std::move(it->second);
    files.erase(it);
    files[Key(to)] = std::move(moved);
    // The name moves at once; bytes not yet on the disk move with it, unflushed.
    unflushed.erase(Key(to));
    if (auto d = unflushed.find(Key(from)); d != unflushed.end()) {
      std::string earlier = std::move(d->second);
      unflushed.erase(d);
      unflushed[Key(to)] = std::move(earlier);
    }
    Touch(Key(to));
    Remember(to);
  }
  void Dirty(const std::string& k) {
    if (unflushed.count(k)) return;
    auto it = files.find(k);
    unflushed[k] = it == files.end() ? std::string() : it->second;
  }
  void Seen(const std::string& p) {
    if (onAccess) onAccess(p);
  }
  void Check(const std::string& p) {
    if (locked.count(Key(p))) throw FileError(kErrPermissionDenied);
  }
  void Touch(const std::string& k) { writeTimes[k] = ++clockTick; }
  void Changing(const char* op, const std::string& p, const std::string& to = {}) {
    if (beforeChange) beforeChange(op, p, to);
  }
  void Remember(const std::string& p) {
    const size_t s = p.find_last_of('\\');
    original[Key(p)] = s == std::string::npos ? p : p.substr(s + 1);
  }
};

class FixedClock final : public Clock {
 public:
  LocalTime now{2026, 12, 6, 5, 55, 4};
  LocalTime Now() override { return now; }
  void AddSeconds(int64_t s) { now = FromEpochSeconds(ToEpochSeconds(now) + s); }
};

class RecordingHost final : public ServiceHost {
 public:
  struct Event {
    int32_t type, id;
    std::string text;
  };
  std::vector<Event> events;
  std::vector<std::string> calls;
  std::function<void()> onStartService;  // may throw a VbError
  std::function<void()> onUninstall;
  bool Install() override {
    calls.push_back("Install:" + DisplayName + (Interactive ? ":interactive" : ""));
    return true;
  }
  bool Uninstall() override {
    calls.push_back("Uninstall");
    if (onUninstall) onUninstall();
    return true;
  }
  void StartService() override {
    calls.push_back("StartService:" + std::to_string(ControlsAccepted));
    if (onStartService) onStartService();
  }
  void LogEvent(int32_t type, int32_t id, const std::string& text) override { events.push_back({type, id, text}); }
};

class RecordingShell final : public AppShell {
 public:
  bool prevInstance = false;
  bool hidden = false;
  int ended = 0;
  std::function<void()> onEnd;
  bool PrevInstance() override { return prevInstance; }
  void HideFromTaskList() override { hidden = true; }
  void EndProgram() override {
    ++ended;
    if (onEnd) onEnd();
  }
};

// Markers and update checks that record their calls; the wait and the checks
// can be scripted.
class ScriptedWork final : public RunStateMarkers, public UpdateChecks {
 public:
  std::vector<std::string> calls;
  std::function<bool()> busy = [] { return false; };
  std::function<void()> onCheck;
  std::function<void()> onHeartbeat;
  bool OutroServiceEmUso() override {
    calls.push_back("OutroServiceEmUso");
    return busy();
  }
  void EstouEmUso(bool on) override { calls.push_back(on ? "EstouEmUso(true)" : "EstouEmUso(false)"); }
  void VerificaSalvarExecutandoQuarn() override {
    calls.push_back("VerificaSalvarExecutandoQuarn");
    if (onHeartbeat) onHeartbeat();
  }
  void VerificarSeTemAtualService() override {
    calls.push_back("VerificarSeTemAtualService");
    if (onCheck) onCheck();
  }
  void VerificarSeTemAtualExe() override { calls.push_back("VerificarSeTemAtualExe"); }
  void RecuperaPendentes() override { calls.push_back("RecuperaPendentes"); }
  std::optional<uint64_t> serverWaitMs;  // a Retry-After, as the updater reports it
  std::optional<uint64_t> ServerWaitMs() override { return serverWaitMs; }
  size_t Count(const std::string& call) const {
    return static_cast<size_t>(std::count(calls.begin(), calls.end(), call));
  }
};

class RecordingView final : public PanelView {
 public:
  int depth = 0, updates = 0, shown = 0;
  void BeginUpdate() override { ++depth; }
  void EndUpdate() override {
    --depth;
    ++updates;
  }
  void Show() override { ++shown; }
};

}  // namespace quarn::fakes
