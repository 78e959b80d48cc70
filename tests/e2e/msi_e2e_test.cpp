// The suite's Windows Installer package through its whole life under Wine's
// msiexec, as a deployment tool drives it: installed silently, replaced by the
// next build, removed. One case, in order; the installer's own tests cover what
// the suite then does.
#include <gtest/gtest.h>
#include <windows.h>
#include <aclapi.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "common/win32/handles.h"
#include "common/win32/win_platform.h"
#include "win/win_test_util.h"

namespace quarn {
namespace {

using namespace quarn::wintest;
using win::Narrow;

const std::wstring kSuite = L"C:\\Solvane\\Quarn SQL";
const wchar_t* const kPayload[] = {L"QuarnSQLMonitor.EXE", L"QuarnSQLService.EXE", L"QuarnSQLServiceMonitor.EXE",
                                   L"NTsvc.ocx",           L"MSCOMCTL.ocx",        L"Comdlg32.ocx",
                                   L"MSINET.ocx",          L"richtx32.ocx",        L"AZIP32.DLL",
                                   L"AUNZIP32.DLL"};
const wchar_t* const kControls[] = {L"richtx32.ocx", L"NTsvc.ocx", L"Comdlg32.ocx", L"MSCOMCTL.ocx", L"MSINET.ocx"};
const wchar_t* const kServices[] = {L"QuarnSQLService", L"QuarnSQLServiceMonitor"};

struct MsiRun {
  DWORD exitCode;
  double seconds;
};

// msiexec with these arguments and a verbose log; the log's tail on failure.
MsiRun Msiexec(const std::wstring& args, const std::wstring& log) {
  wchar_t sys[MAX_PATH];
  GetSystemDirectoryW(sys, MAX_PATH);
  const auto start = std::chrono::steady_clock::now();
  win::UniqueKernel p = Launch(std::wstring(sys) + L"\\msiexec.exe", args + L" /l*v \"" + log + L"\"");
  EXPECT_TRUE(p) << "msiexec did not start";
  const DWORD rc = p ? WaitExit(p.get(), 180000) : STILL_ACTIVE;
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (rc != 0) {
    const std::string text = ReadFileBytes(log);
    std::printf("--- %s (tail)\n%s\n", Narrow(log).c_str(),
                text.substr(text.size() > 4000 ? text.size() - 4000 : 0).c_str());
  }
  return {rc, s};
}

// The versions of the package's entries in the list of installed programs.
std::vector<std::string> InstalledEntries() {
  std::vector<std::string> versions;
  HKEY root;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall", 0, KEY_READ,
                    &root) != ERROR_SUCCESS)
    return versions;
  wchar_t name[256];
  for (DWORD i = 0;; ++i) {
    DWORD len = 256;
    if (RegEnumKeyExW(root, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    wchar_t display[256] = L"", version[64] = L"";
    DWORD n = sizeof display;
    RegGetValueW(root, name, L"DisplayName", RRF_RT_REG_SZ, nullptr, display, &n);
    n = sizeof version;
    RegGetValueW(root, name, L"DisplayVersion", RRF_RT_REG_SZ, nullptr, version, &n);
    DWORD msi = 0;
    n = sizeof msi;
    RegGetValueW(root, name, L"WindowsInstaller", RRF_RT_REG_DWORD, nullptr, &msi, &n);
    if (std::wstring(display) == L"Quarn SQL" && msi == 1) versions.push_back(Narrow(version));
  }
  RegCloseKey(root);
  return versions;
}

// What the object's access list lets ordinary users do that they must not:
// write, append, delete, or change permissions or owner. Under Wine Users reads
// back as Everyone; a missing list grants everything.
std::string UserWrites(const std::wstring& path) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                            &sd) != ERROR_SUCCESS)
    return "unreadable";
  std::string found;
  if (!dacl) found = "no access list";
  const DWORD kWrite = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD |
                       DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
  BYTE users[SECURITY_MAX_SID_SIZE], everyone[SECURITY_MAX_SID_SIZE], authenticated[SECURITY_MAX_SID_SIZE];
  DWORD n = sizeof users;
  CreateWellKnownSid(WinBuiltinUsersSid, nullptr, users, &n);
  n = sizeof everyone;
  CreateWellKnownSid(WinWorldSid, nullptr, everyone, &n);
  n = sizeof authenticated;
  CreateWellKnownSid(WinAuthenticatedUserSid, nullptr, authenticated, &n);
  for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
    ACE_HEADER* ace = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace)) || ace->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace);
    PSID sid = &allowed->SidStart;
    if ((EqualSid(sid, users) || EqualSid(sid, everyone) || EqualSid(sid, authenticated)) && (allowed->Mask & kWrite))
      found += "grants 0x" + std::to_string(allowed->Mask) + " ";
  }
  LocalFree(sd);
  return found;
}

// A suite folder someone made beforehand and opened to everyone, with a file
// below it: the package must take both back.
void PlantOpenFolder() {
  for (const std::wstring& dir : {std::wstring(L"C:\\Solvane"), kSuite, kSuite + L"\\Logs"})
    CreateDirectoryW(dir.c_str(), nullptr);
  win::Win32FileSystem().WriteAll(Narrow(kSuite + L"\\Logs\\antigo.ini"), "x\r\n");
  BYTE everyone[SECURITY_MAX_SID_SIZE];
  DWORD n = sizeof everyone;
  ASSERT_TRUE(CreateWellKnownSid(WinWorldSid, nullptr, everyone, &n));
  for (const std::wstring& path : {kSuite, kSuite + L"\\Logs", kSuite + L"\\Logs\\antigo.ini"}) {
    const bool dir = path.find(L".ini") == std::wstring::npos;
    EXPLICIT_ACCESSW ea{};
    ea.grfAccessPermissions = FILE_ALL_ACCESS;
    ea.grfAccessMode = SET_ACCESS;
    ea.grfInheritance = dir ? SUB_CONTAINERS_AND_OBJECTS_INHERIT : NO_INHERITANCE;
    ea.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    ea.Trustee.ptstrName = reinterpret_cast<LPWSTR>(everyone);
    PACL acl = nullptr;
    ASSERT_EQ(SetEntriesInAclW(1, &ea, nullptr, &acl), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, acl, nullptr),
              static_cast<DWORD>(ERROR_SUCCESS));
    LocalFree(acl);
    ASSERT_NE(UserWrites(path), "") << "the planted list does not read back";
  }
}

void ExpectInstalled(const std::string& version) {
  for (const wchar_t* svc : kServices) {
    SCOPED_TRACE(Narrow(svc));
    EXPECT_TRUE(WaitFor([&] { return ServiceState(svc) == SERVICE_RUNNING; }, 15000)) << ServiceState(svc);
    const ServiceConfig cfg = QueryConfig(svc);
    EXPECT_EQ(cfg.path, L"\"" + kSuite + L"\\" + svc + L".EXE\"");
    EXPECT_EQ(cfg.account, L"LocalSystem");
    EXPECT_EQ(cfg.startType, static_cast<DWORD>(SERVICE_AUTO_START));
  }
  for (const wchar_t* control : kControls) EXPECT_TRUE(ControlRegistered(control)) << Narrow(control);
  // Every folder and program file of the suite, as the services see them.
  std::vector<std::wstring> paths = {kSuite, kSuite + L"\\Temp", kSuite + L"\\Logs", kSuite + L"\\Logs\\antigo.ini"};
  for (const wchar_t* file : kPayload) paths.push_back(kSuite + L"\\" + file);
  for (const auto& path : paths) {
    EXPECT_TRUE(Exists(path)) << Narrow(path);
    EXPECT_EQ(UserWrites(path), "") << Narrow(path);
  }
  EXPECT_EQ(InstalledEntries(), std::vector<std::string>{version});
  EXPECT_EQ(EventMessageFile(), L"c:\\solvane\\quarn sql\\quarnsqlservicemonitor.exe");
}

TEST(MsiPackage, InstallsUpgradesAndRemovesTheSuiteSilently) {
  EndSuite();
  RemoveTree(L"C:\\Solvane");
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Solvane\\Quarn SQL\\Controles");
  PlantOpenFolder();
  if (HasFatalFailure()) return;
  const std::wstring share = FreshFolder(L"msi");
  const std::wstring first = share + L"\\QuarnSQL.msi", next = share + L"\\QuarnSQL-next.msi";
  const std::wstring win = BinFolder().substr(0, BinFolder().find_last_of(L'\\'));
  ASSERT_TRUE(CopyFileW((win + L"\\QuarnSQL.msi").c_str(), first.c_str(), FALSE));
  ASSERT_TRUE(CopyFileW((TestsFolder() + L"\\QuarnSQL-next.msi").c_str(), next.c_str(), FALSE));

  MsiRun r = Msiexec(L"/i \"" + first + L"\" /qn", share + L"\\install.log");
  ASSERT_EQ(r.exitCode, 0u);
  std::printf("install %.2f s\n", r.seconds);
  {
    SCOPED_TRACE("installed");
    ExpectInstalled(QUARN_MSI_VERSION);
  }

  // As if the monitor had updated the backup service since.
  win::Win32FileSystem().WriteAll(Narrow(kSuite + L"\\Logs\\VersaoQuarnSQLService.ini"), "9.9.9\r\n");
  r = Msiexec(L"/i \"" + next + L"\" /qn", share + L"\\upgrade.log");
  ASSERT_EQ(r.exitCode, 0u);
  std::printf("upgrade %.2f s\n", r.seconds);
  {
    SCOPED_TRACE("upgraded");
    ExpectInstalled(QUARN_MSI_NEXT_VERSION);
    EXPECT_NE(ReadFileBytes(kSuite + L"\\Logs\\VersaoQuarnSQLService.ini"), "9.9.9\r\n")
        << "the record of a build the package replaced is kept";
  }

  r = Msiexec(L"/x \"" + next + L"\" /qn", share + L"\\uninstall.log");
  ASSERT_EQ(r.exitCode, 0u);
  std::printf("uninstall %.2f s\n", r.seconds);
  for (const wchar_t* svc : kServices) EXPECT_FALSE(ServiceExists(svc)) << Narrow(svc);
  for (const wchar_t* file : kPayload) EXPECT_FALSE(Exists(kSuite + L"\\" + file)) << Narrow(file);
  for (const wchar_t* control : kControls) EXPECT_FALSE(ControlRegistered(control)) << Narrow(control);
  EXPECT_TRUE(InstalledEntries().empty());
  EXPECT_EQ(EventMessageFile(), L"");
  EXPECT_EQ(CountProcesses(L"QuarnSQLService.exe") + CountProcesses(L"QuarnSQLServiceMonitor.exe"), 0);
  EXPECT_TRUE(Exists(kSuite + L"\\Logs\\antigo.ini")) << "the user's data goes with the suite";
}

}  // namespace
}  // namespace quarn
