// The installer's ports on Windows: its payload resources, and everything it
// asks of the machine (processes, folders and their permissions, the registry,
// the controls, removal).
#include "installer/win32/installer_platform.h"

#include "common/win32/event_source.h"
#include "common/win32/handles.h"
#include "common/win32/instance_object.h"
#include "common/win32/win_platform.h"
#include "installer/win32/folder_security.h"
#include "installer/win32/reg_server.h"
#include "monitor/win32/crypto_win32.h"

namespace quarn::win {

namespace {

// Links (junctions, symbolic links) are removed themselves, never entered.
void RemoveTreeW(const std::wstring& folder) {
  const DWORD attrs = GetFileAttributesW(folder.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES) return;
  if (!(attrs & FILE_ATTRIBUTE_REPARSE_POINT)) {
    WIN32_FIND_DATAW fd;
    if (const UniqueFind h = FindFirst((folder + L"\\*").c_str(), &fd)) {
      do {
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = folder + L"\\" + name;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          RemoveTreeW(path);
        } else {
          SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
          DeleteFileW(path.c_str());
        }
      } while (FindNextFileW(h.get(), &fd));
    }
  }
  RemoveDirectoryW(folder.c_str());
}

// A string value of the key (or of its subkey), "" when it is missing or no string.
std::wstring RegSz(HKEY key, const wchar_t* subkey, const wchar_t* value) {
  wchar_t buf[MAX_PATH + 1] = {};
  DWORD size = sizeof buf - sizeof(wchar_t);
  return RegGetValueW(key, subkey, value, RRF_RT_REG_SZ, nullptr, buf, &size) == ERROR_SUCCESS ? std::wstring(buf)
                                                                                               : std::wstring();
}

struct Win32FileHold final : FileHold {
  UniqueFile file;
};

class Win32InstallerPlatform final : public InstallerPlatform {
 public:
  explicit Win32InstallerPlatform(Win32EventLoop& loop) : loop_(loop) {}
  bool PrevInstance() override {
    // In the Windows folder, where only administrators may create a file.
    wchar_t windows[MAX_PATH] = {};
    const UINT n = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring lock = (n && n < MAX_PATH ? std::wstring(windows, n) : L"C:\\Windows") + L"\\InstaladorQuarnSQL.lock";
    return instance_.AnotherCopyRunsHeld(L"Global\\InstaladorQuarnSQL.Instance", lock);
  }
  void EndProgram() override { loop_.EndProgram(); }
  void StartHidden(const std::string& path) override {
    std::wstring cmd = L"\"" + Widen(path) + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(Widen(path).c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
      throw Win32Error(GetLastError());
    // Not waited on: the handles go at once.
    const UniqueKernel thread(pi.hThread), process(pi.hProcess);
  }
  bool StartWritten(const std::string& path, const std::string& bytes) override {
    // From this comparison until the program has started, nobody can write,
    // replace or delete the file.
    const auto held = HoldUnchanged(path, bytes);
    if (!held) return false;
    StartHidden(path);
    return true;
  }
  std::unique_ptr<FileHold> HoldUnchanged(const std::string& path, const std::string& bytes) override {
    // Read access, read sharing only: the program can still be started from it.
    auto held = std::make_unique<Win32FileHold>();
    held->file = UniqueFile(CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!held->file) return nullptr;
    std::string onDisk;
    char buf[64 * 1024];
    DWORD got = 0;
    while (onDisk.size() <= bytes.size() && ReadFile(held->file.get(), buf, sizeof buf, &got, nullptr) && got)
      onDisk.append(buf, got);
    if (onDisk != bytes) return nullptr;
    return held;
  }
  bool KeepsPermissions(const std::string& folder) override { return VolumeKeepsPermissions(Widen(folder)); }
  std::vector<std::string> ProtectFolder(const std::string& folder, bool tree) override {
    std::vector<std::wstring> links;
    if (const DWORD e = win::ProtectFolder(Widen(folder), tree, &links)) throw Win32Error(e);
    std::vector<std::string> out;
    for (const auto& l : links) out.push_back(Narrow(l));
    return out;
  }
  FolderFacts InspectFolder(const std::string& path) override { return win::InspectFolder(Widen(path)); }
  std::vector<std::string> Entries(const std::string& folder) override {
    std::vector<std::string> names;
    WIN32_FIND_DATAW fd;
    const UniqueFind h = FindFirst((Widen(folder) + L"\\*").c_str(), &fd);
    if (!h) return names;
    do {
      const std::wstring n = fd.cFileName;
      if (n != L"." && n != L"..") names.push_back(Narrow(n));
    } while (FindNextFileW(h.get(), &fd));
    return names;
  }
  void CloseToAdministrators(const std::string& folder) override {
    if (const DWORD e = win::ProtectFolder(Widen(folder), true, nullptr, true)) throw Win32Error(e);
  }
  void MoveAside(const std::string& path, const std::string& aside) override {
    if (const DWORD e = win::MoveAside(Widen(path), Widen(aside))) throw Win32Error(e);
  }
  std::string InstallingAccount() override {
    static const std::string account = win::InstallingAccount();
    return account;
  }
  bool ProtectedAsLeft(const std::string& path) override {
    return win::ProtectedAsLeft(Widen(path), InstallingAccount());
  }
  void GrantModify(const std::string& folder, const std::string& account) override {
    if (const DWORD e = win::GrantModify(Widen(folder), Widen(account))) throw Win32Error(e);
  }
  void GrantOwnFiles(const std::string& folder, const std::string& account,
                     const std::vector<std::string>& files) override {
    std::vector<std::wstring> wide;
    for (const std::string& f : files) wide.push_back(Widen(f));
    if (const DWORD e = win::GrantOwnFiles(Widen(folder), Widen(account), wide)) throw Win32Error(e);
  }
  void ProtectKey(const std::string& key) override {
    if (const DWORD e = win::ProtectSuiteKey(Widen(key))) throw Win32Error(e);
  }
  std::string RegisteredLocation() override {
    return Narrow(RegSz(HKEY_LOCAL_MACHINE, Widen(kUninstallKey).c_str(), L"InstallLocation"));
  }
  std::string Sha256(const std::string& path) override {
    // CNG, loaded from the system folder when first needed.
    const auto file = Win32FileChunks().Open(path);
    const auto h = crypto_.NewSha256();
    std::string buf(1 << 20, '\0');
    while (const size_t n = file->Read(buf.data(), buf.size())) h->Update(std::string_view(buf.data(), n));
    return h->Finish();
  }
  std::string PackageLocation() override {
    const wchar_t* list = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
    HKEY raw = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, list, 0, KEY_READ, &raw) != ERROR_SUCCESS) return {};
    const UniqueRegKey key(raw);
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
      DWORD n = 256;
      if (RegEnumKeyExW(key.get(), i, name, &n, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) return {};
      if (RegSz(key.get(), name, L"DisplayName") == L"Quarn SQL" && RegSz(key.get(), name, L"Publisher") == L"Solvane")
        return Narrow(RegSz(key.get(), name, L"InstallLocation"));
    }
  }
  bool VerificaSeWindowsNT() override {
    OSVERSIONINFOA v{};
    v.dwOSVersionInfoSize = sizeof v;  // 148 bytes
    return GetVersionExA(&v) && v.dwPlatformId == VER_PLATFORM_WIN32_NT;
  }
  bool fVBRegServer(const std::string& path, bool blnRegister) override { return reg_.fVBRegServer(path, blnRegister); }
  bool RegistraDesinstalacao(const UninstallEntry& e) override {
    HKEY opened = nullptr;
    const std::wstring path = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + Widen(e.key);
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &opened, nullptr) != ERROR_SUCCESS)
      return false;
    const UniqueRegKey key(opened);
    bool ok = true;
    auto text = [&](const wchar_t* name, const std::string& value) {
      const std::wstring v = Widen(value);
      ok &= RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()),
                           static_cast<DWORD>((v.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    };
    auto number = [&](const wchar_t* name, DWORD value) {
      ok &= RegSetValueExW(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value) ==
            ERROR_SUCCESS;
    };
    text(L"DisplayName", e.displayName);
    text(L"DisplayVersion", e.displayVersion);
    text(L"Publisher", e.publisher);
    text(L"InstallLocation", e.installLocation);
    text(L"DisplayIcon", e.displayIcon);
    text(L"UninstallString", e.uninstallString);
    text(L"QuietUninstallString", e.quietUninstallString);
    number(L"EstimatedSize", e.estimatedSizeKb);
    number(L"NoModify", 1);
    number(L"NoRepair", 1);
    return ok;
  }
  bool RegistraFonteEventos(const std::string& monitorFile) override {
    return RegisterMonitorEventSource(Widen(monitorFile)) == ERROR_SUCCESS;
  }
  bool RemoveChave(const std::string& key) override {
    const std::wstring k = Widen(key);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, k.c_str());
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, k.c_str(), KEY_WOW64_64KEY, 0);
    HKEY open = nullptr;
    const LSTATUS rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, k.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &open);
    const UniqueRegKey left(rc == ERROR_SUCCESS ? open : nullptr);
    return rc == ERROR_FILE_NOT_FOUND;
  }
  bool RemoveTree(const std::string& folder) override {
    RemoveTreeW(Widen(folder));
    return GetFileAttributesW(Widen(folder).c_str()) == INVALID_FILE_ATTRIBUTES;
  }
  bool RemoveSelf(const std::string& path) override {
    // A running program's file can be moved on its volume, not deleted: out of
    // the suite folder into Temp, deleted there at the next restart.
    const std::wstring self = Widen(path);
    wchar_t temp[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
    const std::wstring moved = std::wstring(temp, n) + L"InstaladorQuarnSQL-" + std::to_wstring(GetCurrentProcessId()) +
                               L"-" + std::to_wstring(GetTickCount64()) + L".exe";
    if (n && MoveFileExW(self.c_str(), moved.c_str(), MOVEFILE_REPLACE_EXISTING)) {
      MoveFileExW(moved.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
      return true;
    }
    // Temp on another volume: the file stays where it is until the restart deletes it.
    MoveFileExW(self.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    return GetFileAttributesW(self.c_str()) == INVALID_FILE_ATTRIBUTES;
  }

  UpdateLock& SuiteUpdateLock() override { return updateLock_; }

 private:
  Win32EventLoop& loop_;
  InstanceObject instance_;
  CngCrypto crypto_;
  UpdateMutex updateLock_;
  ClssRegServer reg_;
};

}  // namespace

std::unique_ptr<InstallerPlatform> MakeInstallerPlatform(Win32EventLoop& loop) {
  return std::make_unique<Win32InstallerPlatform>(loop);
}

std::string Win32PayloadResources::Read(const std::string& name) {
  HRSRC r = FindResourceExW(nullptr, L"CUSTOM", Widen(name).c_str(),
                            MAKELANGID(LANG_PORTUGUESE, SUBLANG_PORTUGUESE_BRAZILIAN));
  if (!r) throw Win32Error(GetLastError());
  HGLOBAL g = LoadResource(nullptr, r);
  const void* p = g ? LockResource(g) : nullptr;
  if (!p) throw Win32Error(GetLastError());
  return std::string(static_cast<const char*>(p), SizeofResource(nullptr, r));
}

}  // namespace quarn::win
