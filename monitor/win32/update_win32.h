#pragma once
// The updater's ports on Win32: WinHTTP, the extraction library bound by name,
// and the update server's address and proxy from the registry.
#include <windows.h>
#include <winhttp.h>

#include <memory>
#include <string>

#include "common/win32/handles.h"
#include "monitor/update/manifest.h"
#include "monitor/update/probation.h"
#include "monitor/update/update_ports.h"

namespace quarn::win {

// An HTTP transfer in the manner of the Internet Transfer control, over
// WinHTTP, the stack Windows makes for services: Execute starts the request on
// a worker thread and returns; the window thread polls StillExecuting while it
// lets events run, then takes the body in chunks that the worker reads ahead
// into a bounded buffer, asking ChunkReady first so that it never waits on the
// network itself. Every wait of the window thread is bounded, whatever the
// server or the network does. Redirects come back as answers (the updater
// follows them by its own rules); no credentials are sent to any server or
// proxy, nor cookies; an https server's certificate is checked against the
// machine's roots by name, chain, dates and, where the platform can answer,
// revocation. WinHTTP is loaded from the system folder at the first request
// and let go by Release once no worker still uses it.
class Win32Http final : public InetTransfer {
 public:
  struct Timeouts {
    DWORD connectMs = 15000;  // name resolution and the connection each
    DWORD receiveMs = 30000;  // longest wait for the next bytes of a body
    DWORD requestMs = 30000;  // longest wait for an answer's headers
  };
  Win32Http() : Win32Http(Timeouts{}) {}
  explicit Win32Http(Timeouts t) : t_(t) {}
  ~Win32Http() override { Cancel(); }

  // Connected while an interface other than loopback is up (asked of
  // iphlpapi: no traffic, and no WinINet in a service).
  bool InternetGetConnectedState() override;
  void Execute(const std::string& url, const std::string& operation, const RequestOptions& options) override;
  bool StillExecuting() override;
  int ResponseCode() override;
  std::string GetHeader(const std::string& name) override;
  std::string GetChunk(int size) override;
  bool ChunkReady(int size) override;
  void Cancel() override;
  // Ends the transfer and lets WinHTTP go (a worker left behind keeps it until it returns).
  void Release() noexcept;

  struct Request;  // shared with the worker thread
  struct Api;      // WinHTTP's entry points, shared with the worker thread

 private:
  void RaiseIfFailed();
  bool Done() const;
  const std::shared_ptr<const Api>& Bound();  // raises a VbError when WinHTTP cannot be loaded

  Timeouts t_;
  std::shared_ptr<const Api> api_;
  std::shared_ptr<Request> req_;
  UniqueKernel thread_;
  bool timedOut_ = false;
  ULONGLONG started_ = 0;
};

// Binds the library at its first use from the program's own folder (a bare
// name is taken there; a full path as given), and keeps it loaded. Start runs
// the extraction on a worker thread, so that the window keeps its events.
class Win32Unzip final : public UnzipLibrary {
 public:
  explicit Win32Unzip(std::wstring library = L"aunzip32.dll") : library_(std::move(library)) {}
  ~Win32Unzip() override { Join(); }
  int16_t addUNZIP_Overwrite(int16_t mode) override;
  int16_t addUNZIP_ArchiveName(const std::string& archive) override;
  int16_t addUNZIP_Include(const std::string& include) override;
  int16_t addUNZIP_ExtractTo(const std::string& folder) override;
  int16_t addUNZIP_RestoreStructure(int16_t restore) override;
  int32_t addUNZIP() override;
  void Start() override;
  bool Finished() override;
  int32_t Result() override;
  void Join() override;
  // Unloads the library; the next call binds it again.
  void Release() noexcept {
    Join();  // never under a running extraction
    module_.reset();
  }

 private:
  FARPROC Entry(const char* name);
  static DWORD WINAPI Work(void* self);
  std::wstring library_;
  UniqueModule module_;
  UniqueKernel worker_;
  long(WINAPI* run_)() = nullptr;
  long result_ = 0;
};

// The highest publication installed of each program, in
// HKLM\SOFTWARE\Solvane\Quarn SQL\Publicacoes (REG_QWORD per program): only
// SYSTEM and Administrators write there, and the installer never resets it.
class RegistryPublications final : public PublicationStore {
 public:
  uint64_t Highest(const std::string& program) override;
  void Record(const std::string& program, uint64_t number) override;
  int64_t UtcNow() override;
};

// Four bytes from the system's random source; false when it has none to give.
bool SystemRandom(uint32_t& value);

// The machine's WinHTTP proxy and its bypass list (WinHttpSettings, as
// netsh winhttp set proxy writes it); both empty when it has none.
void MachineProxy(std::string& proxy, std::string& bypass);

// HKLM\SOFTWARE\Solvane\Quarn SQL, value UpdateServer (REG_SZ), else the maker's host.
class RegistryUpdateServer final : public UpdateServer {
 public:
  static constexpr char kDefault[] = "http://atualizacao.solvane.com.br";
  std::string BaseUrl() override;
  DownloadLimits Limits(const std::string& url) override;
  // UpdateProxy (REG_SZ) beside UpdateServer, and the machine's WinHTTP proxy.
  ProxySettings Proxy() override;
  // Set only by the monitor's test build: the DWORD value TestDownloadDeadlineMs
  // beside UpdateServer may then shorten a download's deadline, never lengthen it.
  bool testDeadline = false;
};

// HKLM\SOFTWARE\Solvane\Quarn SQL, DWORD UpdateProbationSeconds: how long a new
// build of the backup service must do its job before the old one's copy goes.
class RegistryUpdatePolicy final : public UpdatePolicy {
 public:
  // The test build's floor, so that its tests wait seconds, not minutes.
  explicit RegistryUpdatePolicy(uint32_t minimumSeconds = kProbationMinSeconds) : minimum_(minimumSeconds) {}
  std::optional<uint32_t> ProbationSeconds() override;
  uint32_t MinimumProbationSeconds() override { return minimum_; }
  // DWORD RolloutBucket, drawn from the system's random source the first time
  // and written there; an administrator may set it (0 to 9999).
  uint32_t RolloutBucket() override;
  bool ReportsEnabled() override;  // DWORD UpdateReports, 1 unless set to 0
  int64_t UtcNow() override { return RegistryPublications().UtcNow(); }

 private:
  uint32_t minimum_;
  std::optional<uint32_t> bucket_;
};

}  // namespace quarn::win
