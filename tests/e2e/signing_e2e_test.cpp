// Signed builds, end to end: publications made by quarn-publish (and damaged
// afterwards by tests/e2e/signed_cases.sh), served by nginx, fetched and
// checked by the installed monitor under Wine.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "common/win32/file_time.h"
#include "common/win32/handles.h"
#include "common/win32/win_platform.h"
#include "e2e/suite_helpers.h"
#include "win/win_test_util.h"

namespace quarn {
namespace {

using namespace quarn::wintest;
using e2e::BuildOnDisk;
using e2e::CheckDone;
using e2e::RestartMonitorAndCheck;
using win::Narrow;
using win::UniqueKernel;
using win::Widen;

using e2e::kBackup;
using e2e::kBackupExe;
using e2e::kFormatted;
using e2e::kSuite;

std::wstring UnixFolder(const char* variable) {
  std::string p = "Z:";
  for (char c : Env(variable)) p += c == '/' ? '\\' : c;
  return Widen(p);
}
std::wstring Cases() { return UnixFolder("WINEPREFIX") + L"\\casos-assinados\\"; }

// A report that begins so: a refusal ends with the reason's details.
bool Reported(const std::string& prefix) {
  for (const auto& m : LogMessages(kFormatted))
    if (m.rfind(prefix, 0) == 0) return true;
  return false;
}

void SetKeys(const std::string& keys) {
  HKEY k;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Solvane\\Quarn SQL", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                      nullptr) != ERROR_SUCCESS)
    return;
  RegDeleteValueW(k, L"UpdatePublicKeys");
  if (!keys.empty()) {
    const std::wstring v = Widen(keys);
    RegSetValueExW(k, L"UpdatePublicKeys", 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()),
                   static_cast<DWORD>((v.size() + 1) * sizeof(wchar_t)));
  }
  RegCloseKey(k);
}

// Puts a case's archives where nginx serves them, each case a second later
// than the last: a copy keeps its source's time, and nginx's validators are
// the time in seconds and the size, which two cases served within one second
// may share (two statements' archives often have one size).
bool Serve(const std::wstring& name) {
  static ULONGLONG last = 0;  // 100 ns units
  const std::wstring root = UnixFolder("QUARN_NGINX_ROOT");
  bool ok = true;
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  last = std::max(win::FileTimeTicks(ft), last + win::kTicksPerSecond);
  const FILETIME now = win::TicksToFileTime(last);
  for (const wchar_t* f : {L"QuarnSQLService.zip", L"VersaoQuarnSQLService.zip"}) {
    const std::wstring to = root + L"\\" + f;
    ok &= CopyFileW((Cases() + name + L"\\" + f).c_str(), to.c_str(), FALSE) != 0;
    const win::UniqueFile h(CreateFileW(to.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    ok &= h && SetFileTime(h.get(), nullptr, nullptr, &now);
  }
  return ok;
}

struct SignedBuilds : ::testing::Test {
  static void SetUpTestSuite() {
    EndSuite();
    RemoveTree(kSuite);
    // The key the test build carries, and no other: the shipped default.
    SetKeys("");
    SetAllowUnsigned(false);
    SetProbationSeconds(2);
    SetUpdateServer(Env("QUARN_NGINX_URL"));
    Serve(L"base");
    // The installation's first check brings the signed base build.
    const std::wstring installer = L"C:\\Instalador\\InstaladorQuarnSQL.exe";
    CreateDirectoryW(L"C:\\Instalador", nullptr);
    CopyFileW((BinFolder() + L"\\InstaladorQuarnSQL.exe").c_str(), installer.c_str(), FALSE);
    UniqueKernel p = Launch(installer, L"");
    if (HWND w = WaitInstallerSuccess(60000)) PostMessageW(w, WM_KEYDOWN, VK_RETURN, 0);
    if (p) WaitExit(p.get(), 10000);
    WaitFor([] { return BuildOnDisk(kBackupExe) == "s1" && CheckDone(); }, 90000);
  }
  static void TearDownTestSuite() {
    SetKeys("");
    SetAllowUnsigned(true);  // the cases after these serve the scripted server's unsigned builds
    SetUpdateServer(Env("QUARN_UPDATE_URL"));
    if (Env("QUARN_E2E_KEEP") != "1") EndSuite();
  }
  void SetUp() override {
    ASSERT_FALSE(Env("QUARN_NGINX_URL").empty()) << "no nginx in this session";
    ASSERT_TRUE(Exists(Cases() + L"chave.hex")) << "no publications: tests/e2e/signed_cases.sh did not run";
  }
};

TEST_F(SignedBuilds, OnlyABuildSignedByATrustedKeyAndUntouchedSinceIsInstalled) {
  ASSERT_EQ(BuildOnDisk(kBackupExe), "s1") << ReadFileBytes(kSuite + L"\\ErrorQuarn.ini");
  struct Row {
    const wchar_t* folder;
    bool withKey;          // false: unsigned builds allowed by the administrator
    std::string installs;  // the build that lands, or "" when refused with:
    std::string refusal;   // after "Update Sistema QuarnSQLService " unless it is the record's
    bool ran = false;      // refused only once the new build had been started
  };
  const std::string net = "VersaoQuarnSQLService.Net: erro ";
  const std::vector<Row> rows = {
      {L"assinado", true, "s2", ""},
      {L"antiga", true, "", net + "7108-Publicação mais antiga que a instalada: publicação 3, instalada 5"},
      {L"vencida", true, "", net + "7109-Publicação vencida: válida até "},
      {L"plantado", true, "s-plantado", ""},
      {L"nao-inicia", true, "", "7117-O novo build falhou no período de prova: o QuarnSQLService s-nao-inicia ", true},
      // The whole publication under another key: its statement is refused first.
      {L"outra-chave", true, "",
       net + "7112-Assinatura da declaração de publicação não confere com nenhuma chave confiável"},
      {L"alterado", true, "", "7105-SHA-256 de QuarnSQLService.exe difere do manifesto"},
      {L"adicionado", true, "", "7105-Arquivo fora do manifesto: extra.dll"},
      {L"removido", true, "", "7105-Arquivo do manifesto ausente no pacote: QuarnSQLService.build"},
      {L"outro-programa", true, "", "7103-Manifesto de outro programa: QuarnSQLMonitor"},
      {L"outra-versao", true, "",
       "7104-Versão do manifesto (s-outra-versao-assinada) difere da publicada (s-outra-versao)"},
      {L"truncado", true, "", "7102-Manifesto inválido: "},
      {L"vazio", true, "", "7102-Manifesto inválido: manifesto vazio"},
      {L"lixo", true, "", "7102-Manifesto inválido: "},
      {L"sem-manifesto", true, "", "7101-Pacote sem manifesto assinado (QuarnManifest.txt)"},
      {L"sem-chave", false, "", "7101-Pacote sem manifesto assinado (QuarnManifest.txt)"},
      {L"grande", true, "s-grande", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Narrow(row.folder));
    const std::string before = BuildOnDisk(kBackupExe);
    SetAllowUnsigned(!row.withKey);
    ASSERT_TRUE(Serve(row.folder));
    const ULONGLONG t0 = GetTickCount64();
    ASSERT_TRUE(RestartMonitorAndCheck(120000)) << ReadFileBytes(kSuite + L"\\ErrorQuarn.ini");
    std::printf("%-16s -> build %s on disk, check took %.1f s\n", Narrow(row.folder).c_str(),
                BuildOnDisk(kBackupExe).c_str(), (GetTickCount64() - t0) / 1000.0);
    if (!row.installs.empty()) {
      EXPECT_EQ(BuildOnDisk(kBackupExe), row.installs);
      EXPECT_TRUE(Reported("Uma nova versão do QuarnSQLService foi instalada."));
    } else {
      const std::string text =
          row.refusal.rfind("Versao", 0) == 0 ? row.refusal : "Update Sistema QuarnSQLService " + row.refusal;
      EXPECT_EQ(BuildOnDisk(kBackupExe), before);
      EXPECT_TRUE(Reported(text)) << ReadFileBytes(kFormatted);
      EXPECT_EQ(Reported("Parando o QuarnSQLService."), row.ran);
      EXPECT_NE(win::AcpCodec().FromAnsi(ReadFileBytes(kSuite + L"\\ErrorQuarn.ini")).find(text), std::string::npos);
    }
    // Nothing of a version archive but its record and statement is written.
    for (const wchar_t* planted : {L"\\temp\\plantado.txt", L"\\temp\\versao\\plantado.txt", L"\\plantado.txt",
                                   L"\\temp\\QuarnSQLMonitor.pendente"})
      EXPECT_FALSE(Exists(kSuite + planted)) << Narrow(planted);
    EXPECT_TRUE(Exists(L"C:\\windows\\win.ini"));
    EXPECT_FALSE(Exists(kSuite + L"\\QuarnManifest.txt"));
    EXPECT_FALSE(Exists(kSuite + L"\\extra.dll"));
    EXPECT_TRUE(WaitFor([] { return ServicePid(kBackup) != 0; }, 10000)) << "the backup service does not run";
  }
}

// A machine in bucket 5000 waits while a publication reaches 1 % of the
// fleet, takes it once widened to all, keeps it under the publisher's hold;
// each step reaches nginx's access log as a report.
TEST_F(SignedBuilds, AStagedRolloutIsWaitedForTakenWhenWidenedAndKeptUnderAHold) {
  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSuiteKeyW, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &k, nullptr),
            ERROR_SUCCESS);
  const DWORD bucket = 5000;
  RegSetValueExW(k, L"RolloutBucket", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&bucket), sizeof bucket);
  RegCloseKey(k);
  SetAllowUnsigned(false);
  const std::string before = BuildOnDisk(kBackupExe);
  const std::wstring general = kSuite + L"\\Logs\\LogGeralMonitor.INI";
  ASSERT_TRUE(Serve(L"gradual"));
  ASSERT_TRUE(RestartMonitorAndCheck(120000));
  EXPECT_EQ(BuildOnDisk(kBackupExe), before);
  EXPECT_NE(win::AcpCodec().FromAnsi(ReadFileBytes(general)).find(
                "Publicação 20 em implantação gradual (1%): esta máquina aguarda"),
            std::string::npos);
  ASSERT_TRUE(Serve(L"ampliada"));
  ASSERT_TRUE(RestartMonitorAndCheck(120000));
  EXPECT_EQ(BuildOnDisk(kBackupExe), "s-gradual");
  const std::wstring access = UnixFolder("WINEPREFIX") + L"\\nginx\\access.log";
  const std::string report = "/CentralUpdate/QuarnSqlSolvane/relatorio?programa=QuarnSQLService&de=" + before +
                             "&para=s-gradual&publicacao=";
  // Kept once its probation passed, and said so.
  EXPECT_TRUE(WaitFor([&] { return ReadFileBytes(access).find(report + "21&resultado=mantido&balde=5000") != std::string::npos; },
                      30000));
  ASSERT_TRUE(Serve(L"suspensa"));
  ASSERT_TRUE(RestartMonitorAndCheck(120000));
  EXPECT_EQ(BuildOnDisk(kBackupExe), "s-gradual");  // a hold never takes a build back
  const std::string log = ReadFileBytes(access);
  for (const std::string step : {"20&resultado=aguardando", "21&resultado=instalado"})
    EXPECT_NE(log.find(report + step + "&balde=5000"), std::string::npos) << step;
}

}  // namespace
}  // namespace quarn
