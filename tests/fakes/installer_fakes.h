#pragma once
// Fakes of the installer's ports: its window, the payload in its resources, and
// the machine under it (processes, ACLs, the registry's uninstall entry) over
// the in-memory drive.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "fakes/fakes.h"
#include "installer/frm_instal.h"
#include "tools/quarn-publish/openssl_crypto.h"

namespace quarn::fakes {

// NOLINTNEXTLINE(bugprone-reserved-identifier): clang-tidy 14 names its implicit copy's parameter
class FakeInstallerView final : public InstallerView {
 public:
  std::string version;
  std::vector<std::string> messages;
  std::vector<std::pair<std::string, StepLook>> steps[6];
  bool shown = false, success = false, closed = false, hostVisible = false;
  std::vector<std::string> failures;  // of the failure panel, when shown
  int adoptAttempts = 0;
  int windowAppearsAfter = 0;  // adopt attempts before the loader's window exists; -1: never
  bool adopted = false;
  std::function<void()> onMessage;

  void SetVersionLine(const std::string& t) override { version = t; }
  void SetStep(int i, const std::string& c, StepLook l) override { steps[i].emplace_back(c, l); }
  void ShowWindow() override { shown = true; }
  void ShowSuccessPanel() override { success = true; }
  void CloseWindow() override { closed = true; }
  void ShowLoadHost(bool v) override { hostVisible = v; }
  bool AdoptWindow(const std::string& title) override {
    EXPECT_EQ(title, "LoadWinSolvane");
    ++adoptAttempts;
    adopted = windowAppearsAfter >= 0 && adoptAttempts > windowAppearsAfter;
    return adopted;
  }
  void MessageBoxOk(const std::string& t) override {
    messages.push_back(t);
    if (onMessage) onMessage();
  }
  void ShowFailurePanel(const std::vector<std::string>& f) override { failures = f; }
  std::vector<std::string> notes;
  void Note(const std::string& t) override { notes.push_back(t); }
  StepLook Last(int i) const { return steps[i].back().second; }
};

class FakePayloadResources final : public PayloadResources {
 public:
  std::set<std::string> missing;
  std::string Read(const std::string& name) override {
    std::string upper = name;
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (missing.count(upper)) throw VbError(1813, "O tipo de recurso especificado não foi encontrado");
    return "bytes of " + upper;
  }
};

class FakeInstallerPlatform final : public InstallerPlatform {
 public:
  explicit FakeInstallerPlatform(MemoryFileSystem& fs) : fs_(fs) {}
  bool prev = false, nt = true, acls = true;
  std::vector<std::string> protectedFolders;  // "+" marks a whole tree
  int ended = 0;
  std::vector<std::string> started, registered;
  std::function<void(const std::string&)> onStart;
  std::function<void()> onEnd;
  bool PrevInstance() override { return prev; }
  void EndProgram() override {
    ++ended;
    if (onEnd) onEnd();
  }
  void StartHidden(const std::string& path) override {
    started.push_back(path);
    if (onStart) onStart(path);
  }
  bool StartWritten(const std::string& path, const std::string& bytes) override {
    if (!fs_.FileExists(path) || fs_.Get(path) != bytes) return false;
    StartHidden(path);
    return true;
  }
  bool KeepsPermissions(const std::string&) override { return acls; }
  std::vector<std::string> ProtectFolder(const std::string& folder, bool tree) override {
    EXPECT_TRUE(fs_.DirExists(folder)) << folder;
    protectedFolders.push_back((tree ? "+" : "") + folder);
    std::vector<std::string> removed;
    for (auto it = links.begin(); tree && it != links.end();)
      if (it->rfind(Key(folder) + "\\", 0) == 0)
        removed.push_back(*it), it = links.erase(it);
      else
        ++it;
    return removed;
  }
  // What someone else made: owners by Key() (Administrators otherwise), links by Key().
  std::map<std::string, std::string> owners;
  std::set<std::string> links, unprotected;
  std::vector<std::string> grants, protectedKeys, holds;
  FolderFacts InspectFolder(const std::string& path) override {
    const std::string k = Key(path);
    const auto o = owners.find(k);
    return {fs_.DirExists(path) || fs_.FileExists(path) || links.count(k), fs_.DirExists(path), links.count(k) != 0,
            o == owners.end() ? kSidAdministrators : o->second};
  }
  void MoveAside(const std::string& path, const std::string& aside) override {
    const std::string k = Key(path), to = Key(aside);
    auto moved = [&](const std::string& p) { return p == k || p.rfind(k + "\\", 0) == 0; };
    // As Windows does: nothing held open moves, nor a folder with such a file in it.
    for (const auto& l : fs_.locked)
      if (moved(l)) throw FileError(70);
    std::map<std::string, std::string> files;
    for (auto& [p, bytes] : fs_.files) files[moved(p) ? to + p.substr(k.size()) : p] = bytes;
    std::set<std::string> dirs;
    for (const auto& d : fs_.dirs) dirs.insert(moved(d) ? to + d.substr(k.size()) : d);
    fs_.files = files;
    fs_.dirs = dirs;
    owners.erase(k);
    links.erase(k);
  }
  std::vector<std::string> Entries(const std::string& folder) override {
    std::set<std::string> names;
    const std::string k = Key(folder) + "\\";
    auto child = [&](const std::string& p) {
      if (p.rfind(k, 0) == 0) names.insert(p.substr(k.size(), p.find('\\', k.size()) - k.size()));
    };
    for (const auto& [p, bytes] : fs_.files) child(p);
    for (const auto& d : fs_.dirs) child(d);
    return {names.begin(), names.end()};
  }
  void CloseToAdministrators(const std::string& folder) override { closed.push_back(Key(folder)); }
  std::vector<std::string> closed;
  std::string InstallingAccount() override { return "S-1-5-21-1-2-3-500"; }
  bool ProtectedAsLeft(const std::string& path) override { return !unprotected.count(Key(path)); }
  std::unique_ptr<FileHold> HoldUnchanged(const std::string& path, const std::string& bytes) override {
    if (!fs_.FileExists(path) || fs_.Get(path) != bytes) return nullptr;
    holds.push_back(path);
    return std::make_unique<FileHold>();
  }
  void GrantModify(const std::string& folder, const std::string& account) override {
    grants.push_back(account + " " + folder);
  }
  void GrantOwnFiles(const std::string& folder, const std::string& account,
                     const std::vector<std::string>& files) override {
    grants.push_back(account + " " + folder + " own");
    for (const std::string& f : files) grants.push_back(account + " " + f);
  }
  void ProtectKey(const std::string& key) override { protectedKeys.push_back(key); }
  std::string Sha256(const std::string& path) override { return publish::Sha256Of(fs_.Get(path)); }
  std::string package;  // the package's InstallLocation
  std::string PackageLocation() override { return package; }
  std::string RegisteredLocation() override {
    return keys.count(kUninstallKey) ? keys[kUninstallKey].installLocation : std::string();
  }
  bool VerificaSeWindowsNT() override { return nt; }
  bool fVBRegServer(const std::string& path, bool reg) override {
    if (reg)
      registered.push_back(path);
    else
      registered.erase(std::remove(registered.begin(), registered.end(), path), registered.end());
    return true;
  }
  std::map<std::string, UninstallEntry> keys;  // HKLM keys the installer owns
  std::set<std::string> stuckKeys;             // keys that cannot be deleted
  std::string self;                            // the running program's file
  bool RegistraDesinstalacao(const UninstallEntry& e) override {
    keys[kUninstallKey] = e;
    return true;
  }
  bool RemoveChave(const std::string& key) override {
    if (!stuckKeys.count(key)) keys.erase(key);
    return !keys.count(key) && !stuckKeys.count(key);
  }
  bool RemoveTree(const std::string& folder) override {
    const std::string k = Key(folder);
    auto below = [&](const std::string& p) { return p == k || p.rfind(k + "\\", 0) == 0; };
    for (auto it = fs_.files.begin(); it != fs_.files.end();)
      it = below(it->first) && !fs_.locked.count(it->first) ? fs_.files.erase(it) : std::next(it);
    for (auto it = fs_.dirs.begin(); it != fs_.dirs.end();) it = below(*it) ? fs_.dirs.erase(it) : std::next(it);
    return true;
  }
  bool RemoveSelf(const std::string& path) override {
    EXPECT_EQ(Key(path), Key(self));
    fs_.files.erase(Key(path));
    return true;
  }

 private:
  MemoryFileSystem& fs_;
};

}  // namespace quarn::fakes
