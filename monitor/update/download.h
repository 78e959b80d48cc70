#pragma once
// The bounds of a download from the update server, and how a redirect's
// Location is followed.
#include <cstdint>
#include <string>

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

}  // namespace quarn
