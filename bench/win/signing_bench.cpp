// Under Wine: how fast the monitor checks a signed 50 MB build through CNG, and
// the longest stretch for which that check keeps the window thread from its
// events (a stop request, the watchdog's tick). The build is the "grande"
// publication of tests/e2e/signed_cases.sh, unpacked by our extraction library.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "bench/figure.h"
#include "common/suite_files.h"
#include "common/win32/win_event_loop.h"
#include "common/win32/win_platform.h"
#include "monitor/update/manifest.h"
#include "monitor/win32/crypto_win32.h"
#include "monitor/win32/update_win32.h"
#include "monitor/win32/update_win32.h"
#include "tests/win/win_test_util.h"

using namespace quarn;
using namespace quarn::win;
using namespace quarn::wintest;

namespace {

// The window's loop, timed: every pump of events is a moment the thread was free.
class TimedLoop final : public EventLoop {
 public:
  explicit TimedLoop(EventLoop& inner) : inner_(inner) {}
  void DoEvents() override {
    Mark();
    inner_.DoEvents();
  }
  void Idle(int maxMs) override {
    Mark();
    inner_.Idle(maxMs);
  }
  void Pause(int ms) override { inner_.Pause(ms); }
  uint64_t TickMs() override { return inner_.TickMs(); }
  std::unique_ptr<Timer> CreateTimer(int ms, std::function<void()> f) override {
    return inner_.CreateTimer(ms, std::move(f));
  }
  void Start() {
    last_ = Now();
    longest_ = 0;
  }
  double Finish() {
    Mark();
    return longest_;
  }

 private:
  static double Now() {
    LARGE_INTEGER c, f;
    QueryPerformanceCounter(&c);
    QueryPerformanceFrequency(&f);
    return 1000.0 * static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
  }
  void Mark() {
    const double now = Now();
    longest_ = std::max(longest_, now - last_);
    last_ = now;
  }
  EventLoop& inner_;
  double last_ = 0, longest_ = 0;
};

struct Keys final : UpdateKeySource {
  std::string hex;
  std::vector<KeySetting> Settings() override { return {{"compiladas", hex, ""}}; }
};

}  // namespace

int main() {
  std::string cases = "Z:";
  for (char c : Env("WINEPREFIX")) cases += c == '/' ? '\\' : c;
  cases += "\\casos-assinados\\";
  Win32FileSystem fs;
  if (!fs.FileExists(cases + "chave.hex")) {
    std::printf("no publications: run tests/e2e/signed_cases.sh in this session first\n");
    return 1;
  }
  const std::string folder = Narrow(FreshFolder(L"bench signing"));
  Win32Unzip unzip(BinFolder() + L"\\AUNZIP32.DLL");
  unzip.addUNZIP_Overwrite(11);
  unzip.addUNZIP_ArchiveName(cases + "grande\\" QUARN_BACKUP_SERVICE_STEM ".zip");
  unzip.addUNZIP_Include("");
  unzip.addUNZIP_RestoreStructure(0);

  AcpCodec codec;
  Win32Clock clock;
  Win32DateFormat dates;
  Win32EventLoop windowLoop(nullptr);
  TimedLoop loop(windowLoop);
  CngCrypto crypto;
  Win32FileChunks chunks;
  Keys keys;
  keys.hex = fs.ReadAll(cases + "chave.hex");
  MonitorLogs logs(LogContext{fs, codec, clock, dates, folder});
  RegistryPublications publications;
  BuildVerifier verifier(BuildCheckPorts{fs, chunks, loop, crypto, keys, publications});

  {
    // Where the time goes: reading the file, hashing it.
    const ULONGLONG r0 = GetTickCount64();
    unzip.addUNZIP_ExtractTo(folder);
    unzip.addUNZIP();
    const std::string data = fs.ReadAll(folder + "\\" QUARN_BACKUP_SERVICE_STEM ".exe");
    const ULONGLONG r1 = GetTickCount64();
    auto h = crypto.NewSha256();
    for (size_t at = 0; at < data.size(); at += 1 << 20) h->Update(std::string_view(data).substr(at, 1 << 20));
    h->Finish();
    const ULONGLONG r2 = GetTickCount64();
    std::printf("read %.1f MB: %llu ms; SHA-256 (CNG): %llu ms\n", data.size() / 1e6, r1 - r0, r2 - r1);
  }
  double bestRate = 0, worstHold = 0;
  uint64_t bytes = 0;
  for (int run = 0; run < 3; ++run) {
    const std::string staging = folder + "\\staging" + std::to_string(run);
    fs.CreateDir(staging);
    unzip.addUNZIP_ExtractTo(staging);
    unzip.addUNZIP();
    bytes = 0;
    for (const auto& f : fs.ListFiles(staging)) bytes += fs.Stamp(staging + "\\" + f).size;
    const ULONGLONG t0 = GetTickCount64();
    loop.Start();
    try {
      verifier.VerificaPacote(staging, QUARN_BACKUP_SERVICE_STEM, "s-grande", Publication{}, logs);
    } catch (const VbError& e) {
      std::printf("refused: %ld-%s\n", e.Number(), e.Description().c_str());
      return 1;
    }
    const double hold = loop.Finish();
    const double secs = std::max<ULONGLONG>(GetTickCount64() - t0, 1) / 1000.0;
    bestRate = std::max(bestRate, bytes / 1e6 / secs);
    worstHold = std::max(worstHold, hold);
    std::printf("check of a %.1f MB signed build: %.3f s, %.0f MB/s, window thread held at most %.1f ms\n", bytes / 1e6,
                secs, bytes / 1e6 / secs, hold);
  }
  bench::Figure("signed build check, 50 MB through CNG (rate)", bench::Fmt("%.0f MB/s", bestRate), "", ">= 200 MB/s");
  bench::Figure("signed build check: longest hold of the window thread", bench::Fmt("%.1f ms", worstHold), "",
                "< 1000 ms (one watchdog tick)");
  return 0;
}
