// The updater's Win32 adapters: WinHTTP against the session's local update
// server, and the extraction library bound by name.
#include <gtest/gtest.h>

#include <ctime>
#include <windows.h>

#include "common/win32/service_manager_win32.h"
#include "common/win32/win_event_loop.h"
#include "common/win32/win_platform.h"
#include "monitor/update/updater.h"
#include "monitor/win32/crypto_win32.h"
#include "common/win32/instance_object.h"
#include "monitor/win32/update_win32.h"
#include "win_test_util.h"

namespace quarn {
namespace {

using namespace quarn::win;
using namespace quarn::wintest;

// The session's server: its URL and a Windows path into the folder it serves.
std::string ServerUrl() {
  char buf[256];
  const DWORD n = GetEnvironmentVariableA("QUARN_UPDATE_URL", buf, sizeof buf);
  return n && n < sizeof buf ? std::string(buf) : std::string();
}

std::string ServerRoot() {
  char buf[1024];
  const DWORD n = GetEnvironmentVariableA("QUARN_UPDATE_ROOT", buf, sizeof buf);
  std::string p = "Z:";
  for (DWORD i = 0; i < n && n < sizeof buf; ++i) p += buf[i] == '/' ? '\\' : buf[i];
  return p;
}

void Serve(const std::string& path, const std::string& body) {
  std::string dir = ServerRoot();
  std::string rel = path;
  for (size_t s = rel.find('/'); s != std::string::npos; s = rel.find('/', s + 1)) {
    CreateDirectoryA((dir + "\\" + rel.substr(0, s)).c_str(), nullptr);
  }
  for (auto& c : rel)
    if (c == '/') c = '\\';
  Win32FileSystem().WriteAll(dir + "\\" + rel, body);
}

void Faults(const std::string& json) { Win32FileSystem().WriteAll(ServerRoot() + "\\faults.json", json); }

struct Downloads : ::testing::Test {
  Win32FileSystem fs;
  AcpCodec codec;
  Win32Clock clock;
  Win32DateFormat dates;
  Win32EventLoop loop{nullptr};
  Win32Http inet{Win32Http::Timeouts{3000, 3000, 6000}};
  Win32Unzip unzip;
  RegistryUpdateServer server;
  Win32ServiceManager scm;
  Win32Processes procs;
  FechaExe fecha{procs};
  std::string account, password;
  std::string folder = Narrow(FreshFolder(L"downloads"));
  std::string temp = folder + "\\";
  MonitorServiceControl service{scm, account, password, folder};
  MonitorLogs logs{LogContext{fs, codec, clock, dates, folder}};
  std::unique_ptr<Timer> watchdog = loop.CreateTimer(1000, [] {});
  RegistryUpdatePolicy policy;
  UpdateMutex lock;
  Updater updater{UpdaterPorts{fs, codec, loop, inet, unzip, server, service, fecha, policy, lock}, folder, logs,
                  *watchdog, temp};

  void SetUp() override {
    ASSERT_FALSE(ServerUrl().empty()) << "no update server in this session";
    Faults("{}");
  }
  long ErrorOf(const std::string& path) {
    try {
      updater.BaixaArquivo(ServerUrl() + path, temp + "out.bin");
    } catch (const VbError& e) {
      return e.Number();
    }
    return 0;
  }
};

TEST_F(Downloads, BodiesArriveByteForByte) {
  std::string body;
  for (int i = 0; i < 300000; ++i) body += static_cast<char>(i * 7 % 256);
  Serve("d/big.bin", body);
  Serve("d/empty.bin", "");
  fs.WriteAll(temp + "out.bin", std::string(400000, 'o'));  // an older, longer file
  EXPECT_TRUE(updater.BaixaArquivo("  " + ServerUrl() + "/d/big.bin ", temp + "out.bin"));
  EXPECT_EQ(fs.ReadAll(temp + "out.bin"), body);
  EXPECT_TRUE(updater.BaixaArquivo(ServerUrl() + "/d/empty.bin", temp + "out.bin"));
  EXPECT_EQ(fs.ReadAll(temp + "out.bin"), "");
}

TEST_F(Downloads, FailuresRaiseAndLeaveNoFile) {
  Serve("d/f.bin", std::string(5000, 'x'));
  const std::string port = ServerUrl().substr(ServerUrl().rfind(':'));
  struct Case {
    std::string fault;
    long number;
  } cases[] = {{"404", 404},
               {"500", 500},
               {"nolength", 13},
               {"length:abc", 13},
               {"length:-5", 13},
               {"length:99999999999", 6},
               {"short", 62},
               {"length:268435457", 6},
               {"redirect:/d/f.bin", 302},
               {"redirect:ftp://127.0.0.1/d/f.bin", 302},
               {"redirect:http://localhost" + port + "/d/f.bin", 302}};  // the same machine, another name
  for (const auto& c : cases) {
    Faults("{\"/d/f.bin\": \"" + c.fault + "\"}");
    DeleteFileA((temp + "out.bin").c_str());
    EXPECT_EQ(ErrorOf("/d/f.bin"), c.number) << c.fault;
    EXPECT_FALSE(fs.FileExists(temp + "out.bin")) << c.fault;
  }
  Faults("{}");
  EXPECT_EQ(ErrorOf("/d/missing.bin"), 404);
}

TEST_F(Downloads, RedirectsAreFollowedByHand) {
  Serve("d/f.bin", "corpo");
  // Host-relative, then relative to the folder, then absolute.
  Faults(
      "{\"/d/r1.bin\": \"redirect:/d/sub/r2.bin\", \"/d/sub/r2.bin\": \"redirect:../r3.bin\", "
      "\"/d/r3.bin\": \"redirect:" +
      ServerUrl() + "/d/f.bin\"}");
  EXPECT_TRUE(updater.BaixaArquivo(ServerUrl() + "/d/r1.bin", temp + "out.bin"));
  EXPECT_EQ(fs.ReadAll(temp + "out.bin"), "corpo");
}

TEST_F(Downloads, AServerThatNeverAnswersEndsInBoundedTime) {
  Serve("d/h.bin", "x");
  Faults("{\"/d/h.bin\": \"hang\"}");
  const ULONGLONG t0 = GetTickCount64();
  EXPECT_NE(ErrorOf("/d/h.bin"), 0);
  EXPECT_LT(GetTickCount64() - t0, 20000u);
}

TEST_F(Downloads, NobodyListeningIsAFailure) {
  EXPECT_EQ(ErrorOf("/x"), 404);  // the server exists and says so
  long n = 0;
  try {
    updater.BaixaArquivo("http://127.0.0.1:9/nada.zip", temp + "out.bin");
  } catch (const VbError& e) {
    n = e.Number();
  }
  EXPECT_NE(n, 0);
  EXPECT_FALSE(fs.FileExists(temp + "out.bin"));
}

// nginx's own answers: a 304 for an unchanged file, the rest of a cut one,
// and the whole file again once it changed.
TEST_F(Downloads, NginxAnswersConditionalAndRangeRequests) {
  const std::string nginx = Env("QUARN_NGINX_URL");
  ASSERT_FALSE(nginx.empty()) << "no nginx in this session";
  const std::string served = HostPath(Env("QUARN_NGINX_ROOT")) + "\\parcial.bin";
  std::string body(300000, '\0'), changed(200000, 'm');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 31 % 251);
  fs.WriteAll(served, body);
  const std::string url = nginx + "/CentralUpdate/QuarnSqlSolvane/parcial.bin";
  Updater::Fetch whole;
  updater.Baixa(url, temp + "out.bin", whole);
  ASSERT_FALSE(whole.validator.etag.empty());
  Updater::Fetch again;
  again.ifChanged = whole.validator;
  updater.Baixa(url, temp + "again.bin", again);
  EXPECT_TRUE(again.notModified);
  EXPECT_FALSE(fs.FileExists(temp + "again.bin"));
  for (const std::string* now : {&body, &changed}) {
    if (now == &changed) fs.WriteAll(served, changed);
    fs.WriteAll(temp + "resumed.bin", body.substr(0, 100000));
    Updater::Fetch rest;
    rest.resumeFrom = 100000;
    rest.resumeValidator = whole.validator;
    updater.Baixa(url, temp + "resumed.bin", rest);
    EXPECT_EQ(fs.ReadAll(temp + "resumed.bin"), *now);
  }
  const std::string access = ReadFileBytes(Widen(HostPath(Env("WINEPREFIX")) + "\\nginx\\access.log"));
  EXPECT_NE(access.find("parcial.bin HTTP/1.1\" 304 "), std::string::npos);
  EXPECT_NE(access.find("parcial.bin HTTP/1.1\" 206 200000 "), std::string::npos);
}

// https against nginx with a certificate for localhost from the session's own
// root: refused with the reason while the root is not the machine's, taken
// once it is, never for another name. One process each: a process's chain
// engine keeps the roots it first read.
struct Https : Downloads {
  std::string url = Env("QUARN_NGINX_HTTPS_URL") + "/CentralUpdate/QuarnSqlSolvane/tls.bin";
  void SetUp() override {
    Downloads::SetUp();
    ASSERT_FALSE(Env("QUARN_NGINX_HTTPS_URL").empty()) << "no https server in this session";
    fs.WriteAll(HostPath(Env("QUARN_NGINX_ROOT")) + "\\tls.bin", "seguro");
  }
  std::string Refusal(const std::string& u) {
    try {
      updater.BaixaArquivo(u, temp + "out.bin");
    } catch (const VbError& e) {
      return e.Description();
    }
    return std::string();
  }
};
constexpr char kRefused[] = "Certificado do servidor de atualização recusado: ";

TEST_F(Https, AnUnknownRootIsRefused) {
  ASSERT_TRUE(SetMachineRoot(HostPath(Env("QUARN_TEST_ROOT_DER")), false));
  EXPECT_EQ(Refusal(url).rfind(kRefused, 0), 0u);
  EXPECT_FALSE(fs.FileExists(temp + "out.bin"));
}

TEST_F(Https, TheMachinesRootIsTrustedForItsNameOnly) {
  ASSERT_TRUE(SetMachineRoot(HostPath(Env("QUARN_TEST_ROOT_DER")), true));
  EXPECT_EQ(Refusal(url), "");
  EXPECT_EQ(fs.ReadAll(temp + "out.bin"), "seguro");
  const std::string byAddress = "https://127.0.0.1" + url.substr(url.rfind(':'));
  EXPECT_EQ(Refusal(byAddress).rfind(kRefused, 0), 0u);
}

TEST(UnzipBinding, AMissingLibraryOrEntryPointIsAnError) {
  Win32Unzip missing(L"nao-existe-aunzip32.dll");
  try {
    missing.addUNZIP_Overwrite(11);
    FAIL();
  } catch (const VbError& e) {
    EXPECT_EQ(e.Number(), 53);
  }
  Win32Unzip wrong(wintest::BinFolder() + L"\\AZIP32.DLL");  // a library, but not the extraction one
  try {
    wrong.addUNZIP_Overwrite(11);
    FAIL();
  } catch (const VbError& e) {
    EXPECT_EQ(e.Number(), 453);
    EXPECT_NE(e.Description().find("addUNZIP_Overwrite"), std::string::npos);
  }
}

TEST(UpdateServerAddress, TheRegistryValueWinsOverTheBuiltInHost) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSuiteKeyW, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegDeleteValueW(key, L"UpdateServer");
  EXPECT_EQ(RegistryUpdateServer().BaseUrl(), RegistryUpdateServer::kDefault);
  const wchar_t value[] = L"http://127.0.0.1:8080/";
  RegSetValueExW(key, L"UpdateServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(value), sizeof value);
  EXPECT_EQ(RegistryUpdateServer().BaseUrl(), "http://127.0.0.1:8080");
  RegDeleteValueW(key, L"UpdateServer");
  RegCloseKey(key);
}

// The RFC 6979 P-256/SHA-256 vector, checked through CNG: the key blob and
// the r||s layout are the ones the publishing tool writes.
TEST(SignedBuilds, CngVerifiesP256SignaturesAndHashesInChunks) {
  std::string key, sig, digest;
  FromHex(
      "60fed4ba255a9d31c961eb74c6356d68c049b8923b61fa6ce669622e60f29fb6"
      "7903fe1008b8bc99a41ae9e95628bc64f2f1b20c2d7e9f5177a3c294d4462299",
      key);
  FromHex(
      "efd48b2aacb6a8fd1140dd9cd45e81d69d2c877b56aaf991c34d0ea84eaf3716"
      "f7cb1c942d657c41d436c7a1b6e29f65f3e900dbb9aff4064dc4ab2f843acda8",
      sig);
  CngCrypto crypto;
  auto h = crypto.NewSha256();
  h->Update("sam");
  h->Update("ple");
  digest = h->Finish();
  EXPECT_EQ(ToHex(digest), "af2bdbe1aa9b6ec1e2ade1d694f41fc71a831d0268e9891562113d8a62add1bf");
  EXPECT_TRUE(crypto.VerifyP256(key, digest, sig));
  sig[40] ^= 1;
  EXPECT_FALSE(crypto.VerifyP256(key, digest, sig));
  EXPECT_FALSE(crypto.VerifyP256(std::string(64, '\x01'), digest, sig));  // no point of the curve
  // Only the system's copy of bcrypt.dll serves, loaded by name at run time.
  EXPECT_NE(GetModuleHandleW(L"bcrypt.dll"), nullptr);
}

TEST(SignedBuilds, RegistryKeysAreReadAsTextAndAnyOtherTypeIsAProblem) {
  HKEY k;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSuiteKeyW, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
            ERROR_SUCCESS);
  RegDeleteValueW(k, L"UpdatePublicKeys");
  EXPECT_TRUE(RegistryUpdateKeys("").Settings().empty());
  EXPECT_EQ(RegistryUpdateKeys("ab").Settings().size(), 1u);
  const wchar_t multi[] = L"k1\0k2\0";
  RegSetValueExW(k, L"UpdatePublicKeys", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(multi), sizeof multi);
  auto s = RegistryUpdateKeys("").Settings();
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].problem, "");
  EXPECT_EQ(s[0].text.substr(0, 6), "k1;k2;");
  const DWORD number = 7;
  RegSetValueExW(k, L"UpdatePublicKeys", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
  s = RegistryUpdateKeys("").Settings();
  ASSERT_EQ(s.size(), 1u);
  EXPECT_NE(s[0].problem, "");  // set but unreadable: updates are refused, not let through
  RegDeleteValueW(k, L"UpdatePublicKeys");

  // The opt-out counts only as the DWORD 1.
  for (const DWORD v : {1u, 0u, 2u}) {
    RegSetValueExW(k, L"AllowUnsignedUpdates", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
    EXPECT_EQ(RegistryUpdateKeys("").AllowUnsigned(), v == 1) << v;
  }
  RegSetValueExW(k, L"AllowUnsignedUpdates", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"1"), 4);
  EXPECT_FALSE(RegistryUpdateKeys("").AllowUnsigned());
  RegDeleteValueW(k, L"AllowUnsignedUpdates");
  EXPECT_FALSE(RegistryUpdateKeys("").AllowUnsigned());

  // The highest publication survives the object, as it survives the program.
  RegDeleteKeyW(k, L"Publicacoes");
  EXPECT_EQ(RegistryPublications().Highest("QuarnSQLService"), 0u);
  RegistryPublications().Record("QuarnSQLService", 5000000000ull);
  EXPECT_EQ(RegistryPublications().Highest("QuarnSQLService"), 5000000000ull);
  EXPECT_EQ(RegistryPublications().Highest("QuarnSQLMonitor"), 0u);
  const int64_t now = RegistryPublications().UtcNow();
  EXPECT_NEAR(static_cast<double>(now), static_cast<double>(std::time(nullptr)), 5.0);
  RegDeleteKeyW(k, L"Publicacoes");
  RegCloseKey(k);
}

}  // namespace
}  // namespace quarn
