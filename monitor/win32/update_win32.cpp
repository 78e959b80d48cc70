#include "monitor/win32/update_win32.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <type_traits>
#include <utility>

#include "common/suite_files.h"
#include "common/errors.h"
#include "common/win32/library_search.h"
#include "common/win32/win_platform.h"

namespace quarn::win {

namespace {

constexpr DWORD kReadBlock = 64 * 1024;

VbError InetError(DWORD code) {
  // WinINet's messages live in its own module.
  const std::string text = SystemMessage(code, GetModuleHandleW(L"wininet.dll"));
  return VbError(static_cast<long>(code),
                 text.empty() ? "Falha na transferência HTTP (" + std::to_string(code) + ")" : text);
}

}  // namespace

struct Win32Inet::Api {
  UniqueModule module;
  decltype(&::InternetOpenW) open = nullptr;
  decltype(&::InternetOpenUrlW) openUrl = nullptr;
  decltype(&::HttpQueryInfoW) queryInfo = nullptr;
  decltype(&::InternetReadFile) read = nullptr;
  decltype(&::InternetCloseHandle) close = nullptr;
  decltype(&::InternetSetOptionW) setOption = nullptr;
  decltype(&::InternetGetConnectedState) connected = nullptr;
};

const std::shared_ptr<const Win32Inet::Api>& Win32Inet::Bound() {
  if (api_) return api_;
  auto api = std::make_shared<Api>();
  api->module.reset(LoadLibraryExW(L"wininet.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
  if (!api->module) throw Raise(kErrFileNotFound, "wininet.dll");
  auto bind = [&](auto& fn, const char* name) { BindEntryPoint(fn, api->module.get(), name, "wininet.dll"); };
  bind(api->open, "InternetOpenW");
  bind(api->openUrl, "InternetOpenUrlW");
  bind(api->queryInfo, "HttpQueryInfoW");
  bind(api->read, "InternetReadFile");
  bind(api->close, "InternetCloseHandle");
  bind(api->setOption, "InternetSetOptionW");
  bind(api->connected, "InternetGetConnectedState");
  api_ = std::move(api);
  return api_;
}

void Win32Inet::Release() noexcept {
  Cancel();
  api_.reset();
}

// The request as the worker thread sees it. The worker owns the handles; it
// outlives the transfer object when a blocked worker is left behind.
struct Win32Inet::Request {
  static constexpr size_t kMaxBuffered = 1 << 20;

  std::shared_ptr<const Api> api;  // WinINet stays loaded while the worker may call it
  std::wstring url;
  UniqueInternet session;
  UniqueInternet request;  // closed by whoever takes it first: the worker or Cancel
  std::mutex m;
  std::condition_variable cv;
  bool headersIn = false;  // status and headers below are set
  DWORD error = 0;         // the request failed with this
  DWORD status = 0;
  std::wstring rawHeaders;
  std::string data;  // body bytes read ahead, from readPos on
  size_t readPos = 0;
  bool eof = false;
  DWORD readError = 0;
  bool cancelled = false;
};

namespace {

DWORD WINAPI InetWorker(LPVOID p) {
  std::unique_ptr<std::shared_ptr<Win32Inet::Request>> hold(static_cast<std::shared_ptr<Win32Inet::Request>*>(p));
  Win32Inet::Request& r = **hold;
  const Win32Inet::Api& net = *r.api;
  HINTERNET h = nullptr;
  try {
    h = net.openUrl(r.session.get(), r.url.c_str(), nullptr, 0,
                    INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE |
                        INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_AUTO_REDIRECT,
                    0);
    const DWORD openError = h ? 0 : GetLastError();
    if (h) {
      UniqueInternet opened(h, net.close);
      std::lock_guard<std::mutex> lock(r.m);
      if (r.cancelled) {
        opened.reset();
        h = nullptr;
      } else {
        r.request = std::move(opened);  // h stays usable until whoever takes it closes it
      }
    }
    DWORD status = 0, size = sizeof status;
    std::wstring raw;
    if (h) {
      if (!net.queryInfo(h, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr)) status = 0;
      DWORD bytes = 0;
      net.queryInfo(h, HTTP_QUERY_RAW_HEADERS_CRLF, nullptr, &bytes, nullptr);
      raw.resize(bytes / sizeof(wchar_t) + 1);
      bytes = static_cast<DWORD>(raw.size() * sizeof(wchar_t));
      if (net.queryInfo(h, HTTP_QUERY_RAW_HEADERS_CRLF, raw.data(), &bytes, nullptr))
        raw.resize(bytes / sizeof(wchar_t));
      else
        raw.clear();
    }
    {
      std::lock_guard<std::mutex> lock(r.m);
      r.error = openError;
      r.status = status;
      r.rawHeaders = std::move(raw);
      r.headersIn = true;
    }
    r.cv.notify_all();

    // Read the body ahead, never more than the buffer holds.
    std::string block(kReadBlock, '\0');
    while (h) {
      {
        std::unique_lock<std::mutex> lock(r.m);
        r.cv.wait(lock, [&] { return r.cancelled || r.data.size() - r.readPos < Win32Inet::Request::kMaxBuffered; });
        if (r.cancelled) break;
      }
      DWORD got = 0;
      const BOOL ok = net.read(h, block.data(), static_cast<DWORD>(block.size()), &got);
      const DWORD err = ok ? 0 : GetLastError();
      {
        std::lock_guard<std::mutex> lock(r.m);
        if (!ok)
          r.readError = err;
        else if (got == 0)
          r.eof = true;
        else
          r.data.append(block.data(), got);
      }
      r.cv.notify_all();
      if (!ok || got == 0) break;
    }
  } catch (...) {
    // Nothing may end the process from here: the request fails, and the window
    // thread reports it as it reports any failed request.
    try {
      std::lock_guard<std::mutex> lock(r.m);
      if (!r.headersIn) {
        r.error = ERROR_INTERNAL_ERROR;
        r.headersIn = true;
      } else if (!r.eof) {
        r.readError = ERROR_INTERNAL_ERROR;
      }
    } catch (...) {
    }
    r.cv.notify_all();
  }
  UniqueInternet request, session;
  {
    std::lock_guard<std::mutex> lock(r.m);
    request = std::move(r.request);
    session = std::move(r.session);
  }
  request.reset();
  session.reset();
  return 0;
}

}  // namespace

bool Win32Inet::Done() const {
  if (!req_) return true;
  std::lock_guard<std::mutex> lock(req_->m);
  return req_->headersIn;
}

void Win32Inet::Execute(const std::string& url, const std::string& operation) {
  if (!Done()) throw Raise(kErrStillExecuting);
  Cancel();
  if (operation != "GET") throw VbError(kErrInetRequest, "Operação não suportada: " + operation);
  const Api& net = *Bound();
  auto req = std::make_shared<Request>();
  req->api = api_;
  req->url = Widen(url);
  req->session =
      UniqueInternet(net.open(L"QuarnSQLServiceMonitor", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0), net.close);
  if (!req->session) throw InetError(GetLastError());
  DWORD v = t_.connectMs;
  net.setOption(req->session.get(), INTERNET_OPTION_CONNECT_TIMEOUT, &v, sizeof v);
  v = t_.receiveMs;
  net.setOption(req->session.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &v, sizeof v);
  net.setOption(req->session.get(), INTERNET_OPTION_SEND_TIMEOUT, &v, sizeof v);
  timedOut_ = false;
  started_ = GetTickCount64();
  auto* forWorker = new std::shared_ptr<Request>(req);
  thread_.reset(CreateThread(nullptr, 0, &InetWorker, forWorker, 0, nullptr));
  if (!thread_) {
    const DWORD err = GetLastError();
    delete forWorker;
    req->session.reset();
    throw Win32Error(err);
  }
  req_ = std::move(req);
}

bool Win32Inet::StillExecuting() {
  if (Done()) return false;
  if (GetTickCount64() - started_ > t_.requestMs) {
    timedOut_ = true;
    return false;
  }
  return true;
}

void Win32Inet::RaiseIfFailed() {
  if (timedOut_) throw Raise(kErrRequestTimeout);
  if (!req_) throw VbError(kErrInetRequest, "Nenhuma solicitação em andamento");
  if (!Done()) throw Raise(kErrStillExecuting);
  if (req_->error != 0) throw InetError(req_->error);
}

int Win32Inet::ResponseCode() {
  RaiseIfFailed();
  return static_cast<int>(req_->status);
}

std::string Win32Inet::GetHeader(const std::string& name) {
  RaiseIfFailed();
  // Raw headers: the status line, then "Name: value" lines, CRLF between them.
  const std::wstring& raw = req_->rawHeaders;
  const std::wstring wanted = Widen(name);
  size_t pos = raw.find(L"\r\n");
  while (pos != std::wstring::npos) {
    const size_t start = pos + 2;
    const size_t end = raw.find(L"\r\n", start);
    const std::wstring line = raw.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
    const size_t colon = line.find(L':');
    if (colon != std::wstring::npos && colon == wanted.size() &&
        CompareStringOrdinal(line.c_str(), static_cast<int>(colon), wanted.c_str(), static_cast<int>(colon), TRUE) ==
            CSTR_EQUAL) {
      std::wstring value = line.substr(colon + 1);
      while (!value.empty() && value.front() == L' ') value.erase(0, 1);
      while (!value.empty() && value.back() == L' ') value.pop_back();
      return Narrow(value);
    }
    pos = end;
  }
  return {};
}

std::string Win32Inet::GetChunk(int size) {
  RaiseIfFailed();
  Request& r = *req_;
  std::unique_lock<std::mutex> lock(r.m);
  const auto available = [&] { return r.data.size() - r.readPos; };
  const bool ready = r.cv.wait_for(lock, std::chrono::milliseconds(t_.receiveMs), [&] {
    return available() >= static_cast<size_t>(size) || r.eof || r.readError != 0;
  });
  if (!ready) throw VbError(kErrRequestTimeout, "O servidor parou de enviar dados");
  if (available() == 0 && r.readError != 0) throw InetError(r.readError);
  const size_t take = std::min(available(), static_cast<size_t>(size));
  std::string out = r.data.substr(r.readPos, take);
  r.readPos += take;
  if (r.readPos > Request::kMaxBuffered / 2) {
    r.data.erase(0, r.readPos);
    r.readPos = 0;
  }
  lock.unlock();
  r.cv.notify_all();
  return out;
}

bool Win32Inet::ChunkReady(int size) {
  if (!req_ || !Done()) return true;  // GetChunk raises at once
  Request& r = *req_;
  std::lock_guard<std::mutex> lock(r.m);
  return r.data.size() - r.readPos >= static_cast<size_t>(size) || r.eof || r.readError != 0;
}

void Win32Inet::Cancel() {
  if (!req_) return;
  UniqueInternet session, request;
  {
    std::lock_guard<std::mutex> lock(req_->m);
    req_->cancelled = true;
    // Closing the session aborts whatever the worker is blocked in before the
    // answer; closing the request aborts a read of the body.
    if (!req_->headersIn) session = std::move(req_->session);
    request = std::move(req_->request);
  }
  req_->cv.notify_all();
  request.reset();
  session.reset();
  // A worker that does not return promptly is left behind with its own share
  // of the request; the window thread never waits on the network here.
  if (thread_) WaitForSingleObject(thread_.get(), 200);
  thread_.reset();
  req_.reset();
}

bool Win32Inet::InternetGetConnectedState() {
  DWORD flags = 0;
  return Bound()->connected(&flags, 0) != FALSE;
}

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
    module_.reset(
        LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32));
    if (!module_ && GetLastError() == ERROR_INVALID_PARAMETER)  // Windows 7 without its library-search update
      module_.reset(LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!module_) throw Raise(kErrFileNotFound, Narrow(library_));
  }
  return EntryPoint(module_.get(), name, Narrow(library_));
}

namespace {
using ShortOfShort = short(WINAPI*)(short);
using ShortOfText = short(WINAPI*)(const char*);
using LongOfNothing = long(WINAPI*)();

// Through void(*)(), the one cast from FARPROC the compiler takes as deliberate.
template <typename F>
F As(FARPROC entry) {
  return reinterpret_cast<F>(reinterpret_cast<void (*)()>(entry));
}
}  // namespace

int16_t Win32Unzip::addUNZIP_Overwrite(int16_t mode) { return As<ShortOfShort>(Entry("addUNZIP_Overwrite"))(mode); }
int16_t Win32Unzip::addUNZIP_ArchiveName(const std::string& archive) {
  auto f = As<ShortOfText>(Entry("addUNZIP_ArchiveName"));
  return f(AcpCodec().ToAnsi(archive).c_str());
}
int16_t Win32Unzip::addUNZIP_Include(const std::string& include) {
  auto f = As<ShortOfText>(Entry("addUNZIP_Include"));
  return f(AcpCodec().ToAnsi(include).c_str());
}
int16_t Win32Unzip::addUNZIP_ExtractTo(const std::string& folder) {
  auto f = As<ShortOfText>(Entry("addUNZIP_ExtractTo"));
  return f(AcpCodec().ToAnsi(folder).c_str());
}
int16_t Win32Unzip::addUNZIP_RestoreStructure(int16_t restore) {
  return As<ShortOfShort>(Entry("addUNZIP_RestoreStructure"))(restore);
}
int32_t Win32Unzip::addUNZIP() { return As<LongOfNothing>(Entry("addUNZIP"))(); }

DWORD WINAPI Win32Unzip::Work(void* self) {
  auto* u = static_cast<Win32Unzip*>(self);
  u->result_ = u->run_();
  return 0;
}

void Win32Unzip::Start() {
  Join();
  run_ = As<LongOfNothing>(Entry("addUNZIP"));  // a missing library is raised here, on the window thread
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

int64_t RegistryPublications::UtcNow() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  const uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return static_cast<int64_t>(ticks / 10000000ull) - 11644473600ll;
}

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

std::optional<uint32_t> RegistryUpdatePolicy::ProbationSeconds() {
  DWORD seconds = 0, size = sizeof seconds;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kSuiteKeyW, L"UpdateProbationSeconds", RRF_RT_REG_DWORD, nullptr, &seconds,
                   &size) != ERROR_SUCCESS)
    return std::nullopt;
  return seconds;
}

}  // namespace quarn::win
