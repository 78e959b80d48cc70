#pragma once
// What the updater needs of the platform: an HTTP transfer in the manner of the
// Internet Transfer control, the extraction library bound by name, and the
// update server's address.
#include <cstdint>
#include <optional>
#include <string>

#include "monitor/update/download.h"

namespace quarn {

class InetTransfer {
 public:
  virtual ~InetTransfer() = default;
  // Whether the machine has a connection at all; no request is made without one.
  virtual bool InternetGetConnectedState() = 0;
  // Starts the request, with its extra headers and through its proxy, and
  // returns at once; raises a VbError when it cannot start. Redirects and
  // authentication challenges come back as answers: none is acted on here.
  virtual void Execute(const std::string& url, const std::string& operation, const RequestOptions& options) = 0;
  // True while the request runs (until the answer's headers are in, or it failed).
  virtual bool StillExecuting() = 0;
  // The HTTP status of the finished request; raises the transfer's failure.
  virtual int ResponseCode() = 0;
  // A response header's value; empty when the answer has none.
  virtual std::string GetHeader(const std::string& name) = 0;
  // The next bytes of the body, at most `size`; fewer only at the body's end.
  // Raises a VbError when the transfer fails.
  virtual std::string GetChunk(int size) = 0;
  // True when GetChunk(size) would return at once: that many bytes are in, or
  // the body has ended or failed. The download lets events run until then. A
  // transfer whose GetChunk blocks keeps this default and is waited on there.
  virtual bool ChunkReady(int size) {
    (void)size;
    return true;
  }
  // Ends the request and frees what it holds.
  virtual void Cancel() = 0;
};

// The extraction library's six functions. Each raises a VbError when the
// library or the function cannot be found.
class UnzipLibrary {
 public:
  virtual ~UnzipLibrary() = default;
  virtual int16_t addUNZIP_Overwrite(int16_t mode) = 0;
  virtual int16_t addUNZIP_ArchiveName(const std::string& archive) = 0;
  virtual int16_t addUNZIP_Include(const std::string& include) = 0;
  virtual int16_t addUNZIP_ExtractTo(const std::string& folder) = 0;
  virtual int16_t addUNZIP_RestoreStructure(int16_t restore) = 0;
  virtual int32_t addUNZIP() = 0;

  // addUNZIP started and then waited on, so that a platform can run it off the
  // window thread; here it runs at once. Join waits until it has ended.
  virtual void Start() { result_ = addUNZIP(); }
  virtual bool Finished() { return true; }
  virtual int32_t Result() { return result_; }
  virtual void Join() {}

 private:
  int32_t result_ = 0;
};

class UpdateServer {
 public:
  virtual ~UpdateServer() = default;
  // "http://host[:port]", without a trailing slash.
  virtual std::string BaseUrl() = 0;
  // The bounds of one download of `url` from this server.
  virtual DownloadLimits Limits(const std::string& url) { return DownloadLimitsFor(url); }
  // What the machine says of proxies, read again at each check.
  virtual ProxySettings Proxy() { return {}; }
};

// The administrator's settings of an update, and the wall clock holds are kept by.
class UpdatePolicy {
 public:
  virtual ~UpdatePolicy() = default;
  // UpdateProbationSeconds as set; none when unset or unreadable.
  virtual std::optional<uint32_t> ProbationSeconds() { return std::nullopt; }
  // The least probation the build accepts (a test tree's allows less).
  virtual uint32_t MinimumProbationSeconds() = 0;
  // Seconds since 1970, UTC.
  virtual int64_t UtcNow() = 0;
  // This machine's place in a staged rollout, 0 to 9999: it takes a
  // publication whose rollout is above it.
  virtual uint32_t RolloutBucket() { return 0; }
  // UpdateReports: outcome reports to the update server, on unless turned off.
  virtual bool ReportsEnabled() { return true; }
};

inline constexpr char kUpdatePath[] = "/CentralUpdate/QuarnSqlSolvane/";

}  // namespace quarn
