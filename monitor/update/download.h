#pragma once
// The bounds of a download from the update server, and how a redirect's
// Location is followed.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quarn {

struct DownloadLimits {
  uint64_t deadlineMs;  // the whole download, from the request to the last byte
  uint64_t stallMs;     // the longest wait for the next chunk of the body
  int64_t maxBytes;     // the body, as announced and as read
};

// A version archive is a few hundred bytes and a build a few MB: both caps and
// both deadlines leave a wide margin, and still bound what a server can hold.
inline constexpr DownloadLimits kVersionArchiveLimits{60 * 1000, 30 * 1000, 64 * 1024};
inline constexpr DownloadLimits kBuildArchiveLimits{10 * 60 * 1000, 30 * 1000, 256 * 1024 * 1024};
inline constexpr int kMaxRedirects = 5;

// By the file the URL names: the version archives ("Versao...zip") or a build.
DownloadLimits DownloadLimitsFor(const std::string& url);

// "http" or "https" in lower case, or "" for any other scheme or no URL.
std::string UrlScheme(const std::string& url);

// Where a redirect from `base` to `location` leads, as a browser resolves it:
// absolute, scheme-relative ("//host/..."), host-relative ("/...") or relative
// to the base's folder, with "." and ".." segments resolved and any fragment
// dropped. Empty when the Location is empty or names a scheme other than
// http or https.
std::string ResolveRedirect(const std::string& base, const std::string& location);

// A server's or an administrator's text in a log line: at most 64 bytes,
// control and non-ASCII bytes masked, "..." when cut.
std::string QuoteForLog(const std::string& text);

// Same scheme, host (in any case) and port (the scheme's own when none is
// written): the only redirects a download follows, so that neither a server
// nor anyone on the path of a plain-http check can send it elsewhere.
bool SameOrigin(const std::string& a, const std::string& b);

// The transfer's errors for a server certificate it refused (WinHTTP's
// numbers): the reason goes to the error log.
bool IsCertificateRefusal(long number);

// What an answer says of its body, for a later request to ask "only if it
// changed" or "the rest of the same file".
struct Validator {
  std::string etag;          // as sent, quotes included
  std::string lastModified;  // an HTTP date, as sent
  bool Empty() const { return etag.empty() && lastModified.empty(); }
  // If-Range takes a strong tag, or a date when there is no tag at all.
  std::string ForIfRange() const;
  // From an answer's (or a kept file's) header values: what is not one
  // well-formed tag or HTTP date is none.
  static Validator From(const std::string& etag, const std::string& lastModified);
};

// "bytes <first>-<last>/<total>" of a 206 answer.
struct ContentRange {
  int64_t first = 0, last = 0, total = 0;
};
std::optional<ContentRange> ParseContentRange(const std::string& text);

// An IMF-fixdate ("Sun, 06 Nov 1994 08:49:37 GMT") as seconds since 1970.
std::optional<int64_t> ParseHttpDate(const std::string& text);

// How long a 429 or 503 asks the next check to wait: Retry-After as seconds
// or as a date. Never under a minute (a server saying "0" would have the
// monitor ask each second) and never over six hours; none when malformed.
inline constexpr int64_t kMinRetryAfterSeconds = 60;
inline constexpr int64_t kMaxRetryAfterSeconds = 6 * 3600;
std::optional<int64_t> RetryAfterSeconds(const std::string& text, int64_t nowUtc);

// How the update server is reached: straight (no proxy) or through one, as
// WinHTTP names a proxy ("host:port", or "http=host:port;https=host:port"),
// with the hosts that bypass it.
struct ProxyRoute {
  std::string proxy;  // empty: direct
  std::string bypass;
  bool operator==(const ProxyRoute& o) const { return proxy == o.proxy && bypass == o.bypass; }
};

// What the machine says of proxies: the value UpdateProxy as an administrator
// set it, and the machine's WinHTTP proxy (as netsh winhttp set proxy writes it).
struct ProxySettings {
  std::optional<std::string> updateProxy;
  std::string machineProxy, machineBypass;  // empty: the machine has none
};

struct ProxyChoice {
  ProxyRoute route;
  std::string description;  // the general log's line
};

// UpdateProxy ("host:port", or "direct") first, then the machine's proxy
// with its bypass list, else direct. An UpdateProxy that is neither is said
// and passed over.
ProxyChoice ChooseProxy(const ProxySettings& settings);

// What a request carries besides its URL.
struct RequestOptions {
  std::vector<std::pair<std::string, std::string>> headers;  // "Range", "If-None-Match", ...
  ProxyRoute proxy;
};

}  // namespace quarn
