// The updater's other ports on Windows: the extraction library beside the
// program, the registry's update settings and publications, the random source.
#include "monitor/win32/update_win32.h"

#include <bcrypt.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <type_traits>
#include <utility>

#include "common/suite_files.h"
#include "common/errors.h"
#include "common/win32/file_time.h"
#include "common/win32/library_search.h"
#include "common/win32/win_platform.h"

namespace quarn::win {

FARPROC Win32Unzip::Entry(const char* name) {
  if (!module_) {
    // The copy beside the program only: a LocalSystem process must not take a
    // library of that name from the current folder or from PATH.
    std::wstring path = library_;
    if (path.find_first_of(L"\\/") == std::wstring::npos) {
      std::string folder, program;
      ModulePath(folder, program);
      path = Widen(JoinPath(folder, Narrow(library_)));
    }
    module_ = SuiteLibrary(path);
    if (!module_) throw Raise(kErrFileNotFound, Narrow(library_));
  }
  return EntryPoint(module_.get(), name, Narrow(library_));
}

namespace {
using ShortOfShort = short(WINAPI*)(short);
using ShortOfText = short(WINAPI*)(const char*);
using LongOfNothing = long(WINAPI*)();
}  // namespace

int16_t Win32Unzip::addUNZIP_Overwrite(int16_t mode) { return FunctionAs<ShortOfShort>(Entry("addUNZIP_Overwrite"))(mode); }
int16_t Win32Unzip::addUNZIP_ArchiveName(const std::string& archive) {
  auto f = FunctionAs<ShortOfText>(Entry("addUNZIP_ArchiveName"));
  return f(AcpCodec().ToAnsi(archive).c_str());
}
int16_t Win32Unzip::addUNZIP_Include(const std::string& include) {
  auto f = FunctionAs<ShortOfText>(Entry("addUNZIP_Include"));
  return f(AcpCodec().ToAnsi(include).c_str());
}
int16_t Win32Unzip::addUNZIP_ExtractTo(const std::string& folder) {
  auto f = FunctionAs<ShortOfText>(Entry("addUNZIP_ExtractTo"));
  return f(AcpCodec().ToAnsi(folder).c_str());
}
int16_t Win32Unzip::addUNZIP_RestoreStructure(int16_t restore) {
  return FunctionAs<ShortOfShort>(Entry("addUNZIP_RestoreStructure"))(restore);
}
int32_t Win32Unzip::addUNZIP() { return FunctionAs<LongOfNothing>(Entry("addUNZIP"))(); }

DWORD WINAPI Win32Unzip::Work(void* self) {
  auto* u = static_cast<Win32Unzip*>(self);
  u->result_ = u->run_();
  return 0;
}

void Win32Unzip::Start() {
  Join();
  run_ = FunctionAs<LongOfNothing>(Entry("addUNZIP"));  // a missing library is raised here, on the window thread
  result_ = 0;
  worker_.reset(CreateThread(nullptr, 0, &Win32Unzip::Work, this, 0, nullptr));
  if (!worker_) result_ = run_();  // no thread to be had: here, as it always was
}

bool Win32Unzip::Finished() { return !worker_ || WaitForSingleObject(worker_.get(), 0) == WAIT_OBJECT_0; }

void Win32Unzip::Join() {
  if (worker_) WaitForSingleObject(worker_.get(), INFINITE);
  worker_.reset();
}

int32_t Win32Unzip::Result() {
  Join();
  return static_cast<int32_t>(result_);
}

uint64_t RegistryPublications::Highest(const std::string& program) {
  ULONGLONG value = 0;
  DWORD size = sizeof value;
  const LSTATUS e = RegGetValueW(HKEY_LOCAL_MACHINE, kPublicationsKeyW, Widen(program).c_str(), RRF_RT_REG_QWORD,
                                 nullptr, &value, &size);
  if (e == ERROR_FILE_NOT_FOUND) return 0;
  if (e != ERROR_SUCCESS) throw VbError(e, "Não foi possível ler a publicação instalada de " + program);
  return value;
}

void RegistryPublications::Record(const std::string& program, uint64_t number) {
  HKEY opened = nullptr;
  LSTATUS e =
      RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPublicationsKeyW, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &opened, nullptr);
  if (e == ERROR_SUCCESS) {
    const UniqueRegKey key(opened);
    const ULONGLONG value = number;
    e = RegSetValueExW(key.get(), Widen(program).c_str(), 0, REG_QWORD, reinterpret_cast<const BYTE*>(&value),
                       sizeof value);
    RegFlushKey(key.get());  // a power cut must not bring back an older number
  }
  if (e != ERROR_SUCCESS) throw VbError(e, "Não foi possível gravar a publicação instalada de " + program);
}

int64_t RegistryPublications::UtcNow() { return UtcNowSeconds(); }

std::string RegistryUpdateServer::BaseUrl() {
  wchar_t buf[1024];
  DWORD size = sizeof buf;
  std::string url = kDefault;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kSuiteKeyW, L"UpdateServer", RRF_RT_REG_SZ, nullptr, buf, &size) ==
      ERROR_SUCCESS) {
    const std::string configured = Narrow(buf);
    if (!configured.empty()) url = configured;
  }
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url;
}

ProxySettings RegistryUpdateServer::Proxy() {
  ProxySettings s;
  wchar_t buf[512];
  DWORD size = sizeof buf;
  const LSTATUS e = RegGetValueW(HKEY_LOCAL_MACHINE, kSuiteKeyW, L"UpdateProxy", RRF_RT_REG_SZ, nullptr, buf, &size);
  if (e == ERROR_SUCCESS)
    s.updateProxy = Narrow(buf);
  else if (e != ERROR_FILE_NOT_FOUND)
    s.updateProxy = "(ilegível: erro " + std::to_string(e) + ")";  // set, but not as a short string
  MachineProxy(s.machineProxy, s.machineBypass);
  return s;
}

DownloadLimits RegistryUpdateServer::Limits(const std::string& url) {
  DownloadLimits limits = DownloadLimitsFor(url);
  DWORD ms = 0, size = sizeof ms;
  if (testDeadline &&
      RegGetValueW(HKEY_LOCAL_MACHINE, kSuiteKeyW, L"TestDownloadDeadlineMs", RRF_RT_REG_DWORD, nullptr, &ms, &size) ==
          ERROR_SUCCESS &&
      ms > 0 && ms < limits.deadlineMs)
    limits.deadlineMs = ms;
  return limits;
}

bool SystemRandom(uint32_t& value) {
  // CNG's preferred generator, bound from the system folder as CNG is.
  try {
    const UniqueModule bcrypt = SystemLibrary(L"bcrypt.dll");
    decltype(&::BCryptGenRandom) random = nullptr;
    BindEntryPoint(random, bcrypt.get(), "BCryptGenRandom", "bcrypt.dll");
    return random(nullptr, reinterpret_cast<PUCHAR>(&value), sizeof value, BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
  } catch (const VbError&) {
    return false;
  }
}

uint32_t RegistryUpdatePolicy::RolloutBucket() {
  if (bucket_) return *bucket_;  // one draw a run, even when it could not be kept
  DWORD bucket = 0, size = sizeof bucket;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kSuiteKeyW, L"RolloutBucket", RRF_RT_REG_DWORD, nullptr, &bucket, &size) ==
          ERROR_SUCCESS &&
      bucket < kRolloutAll)
    return bucket;
  uint32_t draw = 0;
  if (!SystemRandom(draw)) return kRolloutAll - 1;  // no draw to be had: the last of the fleet, never the first
  bucket = draw % kRolloutAll;
  HKEY opened = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSuiteKeyW, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &opened, nullptr) ==
      ERROR_SUCCESS) {
    const UniqueRegKey key(opened);
    RegSetValueExW(key.get(), L"RolloutBucket", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&bucket), sizeof bucket);
  }
  bucket_ = bucket;
  return bucket;
}

bool RegistryUpdatePolicy::ReportsEnabled() {
  DWORD on = 1, size = sizeof on;
  return RegGetValueW(HKEY_LOCAL_MACHINE, kSuiteKeyW, L"UpdateReports", RRF_RT_REG_DWORD, nullptr, &on, &size) !=
             ERROR_SUCCESS ||
         on != 0;
}

std::optional<uint32_t> RegistryUpdatePolicy::ProbationSeconds() {
  DWORD seconds = 0, size = sizeof seconds;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kSuiteKeyW, L"UpdateProbationSeconds", RRF_RT_REG_DWORD, nullptr, &seconds,
                   &size) != ERROR_SUCCESS)
    return std::nullopt;
  return seconds;
}

}  // namespace quarn::win
