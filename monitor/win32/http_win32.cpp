// WinHTTP for the updater's downloads: a worker thread owns each request's
// handles, so that a blocked server never blocks the window.
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

// The reasons a server's certificate is refused, in the words of the logs:
// by WinHTTP's error, or by the flags of its secure-failure notice.
std::string CertificateRefusal(DWORD code, DWORD flags) {
  static const struct {
    DWORD code, flag;
    const char* why;
  } kReasons[] = {
      {ERROR_WINHTTP_SECURE_CERT_REVOKED, WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED, "revogado"},
      {ERROR_WINHTTP_SECURE_INVALID_CA, WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA,
       "emitido por uma autoridade que esta máquina não reconhece"},
      {ERROR_WINHTTP_SECURE_CERT_CN_INVALID, WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID, "emitido para outro nome"},
      {ERROR_WINHTTP_SECURE_CERT_DATE_INVALID, WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID, "fora da validade"},
      {ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE, WINHTTP_CALLBACK_STATUS_FLAG_CERT_WRONG_USAGE,
       "não serve para um servidor"},
      {ERROR_WINHTTP_SECURE_CERT_REV_FAILED, WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED,
       "sem resposta sobre revogação"},
      {ERROR_WINHTTP_SECURE_INVALID_CERT, WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT, "inválido"},
      {ERROR_WINHTTP_SECURE_FAILURE, 0, "recusado na negociação segura"},
      {ERROR_WINHTTP_SECURE_CHANNEL_ERROR, 0, "recusado na negociação segura"},
  };
  for (const auto& r : kReasons)
    if (code == r.code || (flags & r.flag)) return std::string("Certificado do servidor de atualização recusado: ") + r.why;
  return {};
}

VbError HttpError(DWORD code, DWORD secureFlags = 0) {
  std::string text = CertificateRefusal(code, secureFlags);
  // WinHTTP's messages live in its own module.
  if (text.empty()) text = SystemMessage(code, GetModuleHandleW(L"winhttp.dll"));
  return VbError(static_cast<long>(code),
                 text.empty() ? "Falha na transferência HTTP (" + std::to_string(code) + ")" : text);
}

}  // namespace

struct Win32Http::Api {
  UniqueModule module;
  decltype(&::WinHttpOpen) open = nullptr;
  decltype(&::WinHttpConnect) connect = nullptr;
  decltype(&::WinHttpOpenRequest) openRequest = nullptr;
  decltype(&::WinHttpSetOption) setOption = nullptr;
  decltype(&::WinHttpSetTimeouts) setTimeouts = nullptr;
  decltype(&::WinHttpSetStatusCallback) setCallback = nullptr;
  decltype(&::WinHttpSendRequest) send = nullptr;
  decltype(&::WinHttpReceiveResponse) receive = nullptr;
  decltype(&::WinHttpQueryHeaders) query = nullptr;
  decltype(&::WinHttpQueryDataAvailable) available = nullptr;
  decltype(&::WinHttpReadData) read = nullptr;
  decltype(&::WinHttpCrackUrl) crack = nullptr;
  decltype(&::WinHttpCloseHandle) close = nullptr;
};

const std::shared_ptr<const Win32Http::Api>& Win32Http::Bound() {
  if (api_) return api_;
  auto api = std::make_shared<Api>();
  api->module = SystemLibrary(L"winhttp.dll");
  auto bind = [&](auto& fn, const char* name) { BindEntryPoint(fn, api->module.get(), name, "winhttp.dll"); };
  bind(api->open, "WinHttpOpen");
  bind(api->connect, "WinHttpConnect");
  bind(api->openRequest, "WinHttpOpenRequest");
  bind(api->setOption, "WinHttpSetOption");
  bind(api->setTimeouts, "WinHttpSetTimeouts");
  bind(api->setCallback, "WinHttpSetStatusCallback");
  bind(api->send, "WinHttpSendRequest");
  bind(api->receive, "WinHttpReceiveResponse");
  bind(api->query, "WinHttpQueryHeaders");
  bind(api->available, "WinHttpQueryDataAvailable");
  bind(api->read, "WinHttpReadData");
  bind(api->crack, "WinHttpCrackUrl");
  bind(api->close, "WinHttpCloseHandle");
  api_ = std::move(api);
  return api_;
}

void Win32Http::Release() noexcept {
  Cancel();
  api_.reset();
}

// The request as the worker thread sees it. The worker owns the handles; it
// outlives the transfer object when a blocked worker is left behind.
struct Win32Http::Request {
  static constexpr size_t kMaxBuffered = 1 << 20;

  std::shared_ptr<const Api> api;  // WinHTTP stays loaded while the worker may call it
  Timeouts timeouts;
  std::wstring url, headers, proxy, bypass;
  // The worker's alone: a handle closed under a call in progress, or reused
  // for the next request, would be read by the wrong request. A cancelled
  // worker ends at its next step, bounded by the timeouts.
  UniqueInternet session;
  std::mutex m;
  std::condition_variable cv;
  bool headersIn = false;  // status and headers below are set
  DWORD error = 0;         // the request failed with this
  DWORD secureFlags = 0;   // why the server's certificate was refused
  DWORD status = 0;
  std::wstring rawHeaders;
  std::string data;  // body bytes read ahead, from readPos on
  size_t readPos = 0;
  bool eof = false;
  DWORD readError = 0;
  bool cancelled = false;
};

namespace {

void CALLBACK SecureFailure(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD length) {
  if (status != WINHTTP_CALLBACK_STATUS_SECURE_FAILURE || !context || !info || length < sizeof(DWORD)) return;
  auto* r = reinterpret_cast<Win32Http::Request*>(context);
  std::lock_guard<std::mutex> lock(r->m);
  r->secureFlags = *static_cast<DWORD*>(info);
}

// One exchange with the server, up to its headers; the request handle is
// left open for the body. 0, or the error it failed with.
DWORD Exchange(Win32Http::Request& r, HINTERNET session, bool checkRevocation, UniqueInternet& request,
               UniqueInternet& connection, DWORD& status, std::wstring& raw) {
  const Win32Http::Api& net = *r.api;
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  wchar_t host[256] = {}, path[4096] = {};
  parts.lpszHostName = host;
  parts.dwHostNameLength = static_cast<DWORD>(std::size(host));
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = static_cast<DWORD>(std::size(path));
  wchar_t extra[2048] = {};
  parts.lpszExtraInfo = extra;
  parts.dwExtraInfoLength = static_cast<DWORD>(std::size(extra));
  if (!net.crack(r.url.c_str(), 0, 0, &parts)) return GetLastError();
  const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  connection = UniqueInternet(net.connect(session, host, parts.nPort, 0), net.close);
  if (!connection) return GetLastError();
  const std::wstring object = std::wstring(path) + extra;
  request = UniqueInternet(net.openRequest(connection.get(), L"GET", object.c_str(), nullptr, WINHTTP_NO_REFERER,
                                           WINHTTP_DEFAULT_ACCEPT_TYPES,
                                           WINHTTP_FLAG_REFRESH | (secure ? WINHTTP_FLAG_SECURE : 0)),
                           net.close);
  if (!request) return GetLastError();
  // Redirects come back to the updater, which follows them by its rules; no
  // credentials of the machine go to any server, nor cookies.
  DWORD v = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
  net.setOption(request.get(), WINHTTP_OPTION_REDIRECT_POLICY, &v, sizeof v);
  v = WINHTTP_AUTOLOGON_SECURITY_LEVEL_HIGH;
  net.setOption(request.get(), WINHTTP_OPTION_AUTOLOGON_POLICY, &v, sizeof v);
  v = WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_AUTHENTICATION;
  net.setOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &v, sizeof v);
  if (secure && checkRevocation) {
    v = WINHTTP_ENABLE_SSL_REVOCATION;
    net.setOption(request.get(), WINHTTP_OPTION_ENABLE_FEATURE, &v, sizeof v);
  }
  DWORD_PTR context = reinterpret_cast<DWORD_PTR>(&r);
  net.setOption(request.get(), WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context);
  net.setCallback(request.get(), &SecureFailure, WINHTTP_CALLBACK_FLAG_SECURE_FAILURE, 0);
  {
    std::lock_guard<std::mutex> lock(r.m);
    if (r.cancelled) return ERROR_WINHTTP_OPERATION_CANCELLED;
  }
  if (!net.send(request.get(), r.headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : r.headers.c_str(),
                r.headers.empty() ? 0 : static_cast<DWORD>(-1L), WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
      !net.receive(request.get(), nullptr))
    return GetLastError();
  DWORD size = sizeof status;
  if (!net.query(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                 &status, &size, WINHTTP_NO_HEADER_INDEX))
    status = 0;
  DWORD bytes = 0;
  net.query(request.get(), WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER,
            &bytes, WINHTTP_NO_HEADER_INDEX);
  raw.resize(bytes / sizeof(wchar_t) + 1);
  bytes = static_cast<DWORD>(raw.size() * sizeof(wchar_t));
  if (net.query(request.get(), WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX, raw.data(), &bytes,
                WINHTTP_NO_HEADER_INDEX))
    raw.resize(bytes / sizeof(wchar_t));
  else
    raw.clear();
  return 0;
}

DWORD WINAPI HttpWorker(LPVOID p) {
  std::unique_ptr<std::shared_ptr<Win32Http::Request>> hold(static_cast<std::shared_ptr<Win32Http::Request>*>(p));
  Win32Http::Request& r = **hold;
  const Win32Http::Api& net = *r.api;
  UniqueInternet request, connection;
  try {
    const HINTERNET session = r.session.get();
    DWORD status = 0;
    std::wstring raw;
    DWORD error = Exchange(r, session, true, request, connection, status, raw);
    bool revocationUnanswered = false;
    {
      std::lock_guard<std::mutex> lock(r.m);
      // Windows says "no answer on revocation" in the failure's flags; Wine
      // fails the handshake with no flags at all. A revoked certificate is
      // flagged as such, and refused.
      revocationUnanswered = error == ERROR_WINHTTP_SECURE_CERT_REV_FAILED ||
                             (error == ERROR_WINHTTP_SECURE_FAILURE &&
                              r.secureFlags == WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED) ||
                             (error == ERROR_WINHTTP_SECURE_CHANNEL_ERROR && r.secureFlags == 0);
      if (revocationUnanswered) r.secureFlags = 0;
      revocationUnanswered = revocationUnanswered && !r.cancelled;
    }
    // Revocation is checked where the platform can answer; a chain that is
    // good in every other way is not refused because nobody said.
    if (revocationUnanswered) {
      request.reset();
      connection.reset();
      error = Exchange(r, session, false, request, connection, status, raw);
    }
    {
      std::lock_guard<std::mutex> lock(r.m);
      r.error = error;
      r.status = status;
      r.rawHeaders = std::move(raw);
      r.headersIn = true;
    }
    r.cv.notify_all();

    // Read the body ahead, never more than the buffer holds.
    std::string block(kReadBlock, '\0');
    while (error == 0 && request) {
      {
        std::unique_lock<std::mutex> lock(r.m);
        r.cv.wait(lock, [&] { return r.cancelled || r.data.size() - r.readPos < Win32Http::Request::kMaxBuffered; });
        if (r.cancelled) break;
      }
      // What has arrived, at most a block: a slow body is handed on as it comes.
      DWORD avail = 0, got = 0;
      BOOL ok = net.available(request.get(), &avail);
      if (ok && avail > 0)
        ok = net.read(request.get(), block.data(), std::min<DWORD>(avail, static_cast<DWORD>(block.size())), &got);
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
  request.reset();
  connection.reset();
  r.session.reset();
  return 0;
}

}  // namespace

bool Win32Http::Done() const {
  if (!req_) return true;
  std::lock_guard<std::mutex> lock(req_->m);
  return req_->headersIn;
}

void Win32Http::Execute(const std::string& url, const std::string& operation, const RequestOptions& options) {
  if (!Done()) throw Raise(kErrStillExecuting);
  Cancel();
  if (operation != "GET") throw VbError(kErrInetRequest, "Operação não suportada: " + operation);
  const Api& net = *Bound();
  auto req = std::make_shared<Request>();
  req->api = api_;
  req->timeouts = t_;
  req->url = Widen(url);
  for (const auto& [name, value] : options.headers) req->headers += Widen(name + ": " + value + "\r\n");
  const std::wstring proxy = Widen(options.proxy.proxy), bypass = Widen(options.proxy.bypass);
  req->session = UniqueInternet(
      net.open(L"QuarnSQLServiceMonitor", proxy.empty() ? WINHTTP_ACCESS_TYPE_NO_PROXY : WINHTTP_ACCESS_TYPE_NAMED_PROXY,
               proxy.empty() ? WINHTTP_NO_PROXY_NAME : proxy.c_str(),
               proxy.empty() || bypass.empty() ? WINHTTP_NO_PROXY_BYPASS : bypass.c_str(), 0),
      net.close);
  if (!req->session) throw HttpError(GetLastError());
  const int connectMs = static_cast<int>(t_.connectMs), receiveMs = static_cast<int>(t_.receiveMs);
  net.setTimeouts(req->session.get(), connectMs, connectMs, receiveMs, receiveMs);
  DWORD headersMs = t_.requestMs;  // the answer's headers, as the window thread waits for them
  net.setOption(req->session.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headersMs, sizeof headersMs);
  timedOut_ = false;
  started_ = GetTickCount64();
  auto* forWorker = new std::shared_ptr<Request>(req);
  thread_.reset(CreateThread(nullptr, 0, &HttpWorker, forWorker, 0, nullptr));
  if (!thread_) {
    const DWORD err = GetLastError();
    delete forWorker;
    req->session.reset();
    throw Win32Error(err);
  }
  req_ = std::move(req);
}

bool Win32Http::StillExecuting() {
  if (Done()) return false;
  if (GetTickCount64() - started_ > t_.requestMs) {
    timedOut_ = true;
    return false;
  }
  return true;
}

void Win32Http::RaiseIfFailed() {
  if (timedOut_) throw Raise(kErrRequestTimeout);
  if (!req_) throw VbError(kErrInetRequest, "Nenhuma solicitação em andamento");
  if (!Done()) throw Raise(kErrStillExecuting);
  if (req_->error != 0) throw HttpError(req_->error, req_->secureFlags);
}

int Win32Http::ResponseCode() {
  RaiseIfFailed();
  return static_cast<int>(req_->status);
}

std::string Win32Http::GetHeader(const std::string& name) {
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

std::string Win32Http::GetChunk(int size) {
  RaiseIfFailed();
  Request& r = *req_;
  std::unique_lock<std::mutex> lock(r.m);
  const auto available = [&] { return r.data.size() - r.readPos; };
  const bool ready = r.cv.wait_for(lock, std::chrono::milliseconds(t_.receiveMs), [&] {
    return available() >= static_cast<size_t>(size) || r.eof || r.readError != 0;
  });
  if (!ready) throw VbError(kErrRequestTimeout, "O servidor parou de enviar dados");
  if (available() == 0 && r.readError != 0) throw HttpError(r.readError);
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

bool Win32Http::ChunkReady(int size) {
  if (!req_ || !Done()) return true;  // GetChunk raises at once
  Request& r = *req_;
  std::lock_guard<std::mutex> lock(r.m);
  return r.data.size() - r.readPos >= static_cast<size_t>(size) || r.eof || r.readError != 0;
}

void Win32Http::Cancel() {
  if (!req_) return;
  {
    std::lock_guard<std::mutex> lock(req_->m);
    req_->cancelled = true;
  }
  req_->cv.notify_all();
  // A worker that does not return promptly is left behind with its own share
  // of the request; the window thread never waits on the network here.
  if (thread_) WaitForSingleObject(thread_.get(), 200);
  thread_.reset();
  req_.reset();
}

}  // namespace quarn::win
