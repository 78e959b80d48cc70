#pragma once
// Fakes of the updater's ports: a scripted update server behind the transfer
// port, the connectivity answer, and an extraction library that unpacks the
// "archives" the tests register.
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common/errors.h"
#include "aunzip32/name_policy.h"
#include "fakes/fakes.h"
#include "monitor/update/manifest.h"
#include "common/update_lock.h"
#include "monitor/update/update_ports.h"

namespace quarn::fakes {

struct FakeResponse {
  int status = 200;
  std::string body;
  bool sendLength = true;
  std::string lengthText;      // overrides the real length when not empty
  size_t cutAfter = SIZE_MAX;  // the connection closes after this many body bytes
  int pollsBeforeAnswer = 2;   // StillExecuting stays true this many times
  bool failRequest = false;    // no answer at all: the request fails
  std::string location;        // the Location header, when not empty
  int pollsPerChunk = 0;       // ChunkReady stays false this many times before each chunk
  // As a static server answers: a validator, ranges of it (If-Range
  // matching), a 304 when If-None-Match or If-Modified-Since names it.
  std::string etag, lastModified;
  bool ranges = true;
  std::map<std::string, std::string> headers;  // any other header ("Retry-After", ...)
};

class FakeInet final : public InetTransfer {
 public:
  std::map<std::string, FakeResponse> routes;  // by URL
  std::vector<std::string> requested;
  std::vector<int> chunkSizes;
  int cancels = 0;
  bool online = true;  // false: the machine has no connection at all

  bool InternetGetConnectedState() override { return online; }
  std::vector<RequestOptions> options;  // of each request
  void Execute(const std::string& url, const std::string& op, const RequestOptions& o) override {
    if (op != "GET") throw VbError(35750, "operação inválida");
    requested.push_back(url);
    options.push_back(o);
    auto it = routes.find(url);
    current_ = it == routes.end() ? FakeResponse{404, "<html>not found</html>"} : it->second;
    polls_ = current_.pollsBeforeAnswer;
    offset_ = 0;
    waited_ = 0;
    const auto asked = [&](const char* name) {
      for (const auto& [n, v] : o.headers)
        if (n == name) return v;
      return std::string();
    };
    const bool sameFile = !asked("If-Range").empty() &&
                          (asked("If-Range") == current_.etag || asked("If-Range") == current_.lastModified);
    if (current_.status != 200) return;
    if ((!current_.etag.empty() && asked("If-None-Match") == current_.etag) ||
        (!current_.lastModified.empty() && asked("If-Modified-Since") == current_.lastModified)) {
      current_.status = 304;
      current_.body.clear();
    } else if (const std::string range = asked("Range"); !range.empty() && current_.ranges && sameFile) {
      const size_t from = std::stoul(range.substr(6));
      if (from >= current_.body.size()) {
        current_.status = 416;
        current_.body.clear();
        return;
      }
      current_.status = 206;
      current_.headers["Content-Range"] = "bytes " + std::to_string(from) + "-" +
                                          std::to_string(current_.body.size() - 1) + "/" +
                                          std::to_string(current_.body.size());
      current_.body.erase(0, from);
      current_.cutAfter = current_.cutAfter == SIZE_MAX || current_.cutAfter <= from ? SIZE_MAX : current_.cutAfter - from;
    }
  }
  bool StillExecuting() override { return polls_-- > 0; }
  int ResponseCode() override {
    if (current_.failRequest) throw VbError(12002, "A operação excedeu o tempo limite");
    return current_.status;
  }
  std::string GetHeader(const std::string& name) override {
    if (name == "Location") return current_.location;
    if (name == "ETag") return current_.etag;
    if (name == "Last-Modified") return current_.lastModified;
    if (current_.headers.count(name)) return current_.headers[name];
    if (name != "Content-Length" || !current_.sendLength) return {};
    return current_.lengthText.empty() ? std::to_string(current_.body.size()) : current_.lengthText;
  }
  bool ChunkReady(int) override {
    if (waited_ < current_.pollsPerChunk) {
      ++waited_;
      return false;
    }
    return true;
  }
  std::string GetChunk(int size) override {
    waited_ = 0;
    chunkSizes.push_back(size);
    const size_t end = std::min({current_.body.size(), current_.cutAfter, offset_ + static_cast<size_t>(size)});
    std::string out = offset_ < end ? current_.body.substr(offset_, end - offset_) : std::string();
    offset_ = std::max(offset_, end);
    return out;
  }
  void Cancel() override { ++cancels; }

 private:
  FakeResponse current_;
  int polls_ = 0;
  int waited_ = 0;
  size_t offset_ = 0;
};

// Archives are registered by their bytes; extraction writes their entries flat
// into the target folder of the MemoryFileSystem.
class FakeUnzip final : public UnzipLibrary {
 public:
  explicit FakeUnzip(MemoryFileSystem& fs) : fs_(fs) {}
  std::map<std::string, std::vector<std::pair<std::string, std::string>>> archives;
  bool libraryMissing = false;
  std::string missingEntry;  // a function the library lacks
  std::vector<std::string> calls;
  int32_t forcedResult = 0;       // returned by addUNZIP when not 0
  size_t corruptFrom = SIZE_MAX;  // entries from this one on are damaged: not written, and addUNZIP gives -3

  // Registers an archive and returns its bytes.
  std::string Archive(const std::string& id, std::vector<std::pair<std::string, std::string>> entries) {
    const std::string bytes = "PK-fake:" + id;
    archives[bytes] = std::move(entries);
    return bytes;
  }

  int16_t addUNZIP_Overwrite(int16_t mode) override { return Call("addUNZIP_Overwrite", std::to_string(mode)); }
  int16_t addUNZIP_ArchiveName(const std::string& a) override {
    archive_ = a;
    return Call("addUNZIP_ArchiveName", a);
  }
  int16_t addUNZIP_Include(const std::string& i) override {
    include_ = i;
    return Call("addUNZIP_Include", i);
  }
  int16_t addUNZIP_ExtractTo(const std::string& f) override {
    target_ = f;
    return Call("addUNZIP_ExtractTo", f);
  }
  int16_t addUNZIP_RestoreStructure(int16_t r) override { return Call("addUNZIP_RestoreStructure", std::to_string(r)); }
  int32_t addUNZIP() override {
    Call("addUNZIP", "");
    if (forcedResult) return forcedResult;
    if (!fs_.FileExists(archive_)) return -1;
    auto it = archives.find(fs_.Get(archive_));
    if (it == archives.end()) return -2;
    int32_t written = 0;
    for (size_t i = 0; i < it->second.size(); ++i) {
      if (i >= corruptFrom) return -3;
      const auto& [name, content] = it->second[i];
      const std::string plain(unzip::PlainName(name));
      if (!unzip::IsSafeFileName(plain) || !unzip::Included(include_, plain)) continue;
      fs_.WriteAll(JoinPath(target_, plain), content);
      ++written;
    }
    return written;
  }

 private:
  int16_t Call(const std::string& fn, const std::string& arg) {
    if (libraryMissing) throw VbError(53, "Arquivo não encontrado: aunzip32.dll");
    if (fn == missingEntry)
      throw VbError(453, "Não é possível encontrar o ponto de entrada " + fn + " da DLL em aunzip32.dll");
    calls.push_back(fn + "(" + arg + ")");
    return 0;
  }
  MemoryFileSystem& fs_;
  std::string archive_, target_, include_;
};

// The highest installed publications (the registry on Windows) and UTC now.
class FakePublications final : public PublicationStore {
 public:
  std::map<std::string, uint64_t> highest;
  int64_t now = 1796000000;  // 2026-12-01
  uint64_t Highest(const std::string& program) override { return highest[program]; }
  void Record(const std::string& program, uint64_t number) override { highest[program] = number; }
  int64_t UtcNow() override { return now; }
};

struct FakeKeySource final : UpdateKeySource {
  std::vector<KeySetting> settings;
  bool allowUnsigned = false;
  std::vector<KeySetting> Settings() override { return settings; }
  bool AllowUnsigned() override { return allowUnsigned; }
};

// The administrator's probation setting and the wall clock of holds.
struct FakePolicy final : UpdatePolicy {
  std::optional<uint32_t> probationSeconds;
  uint32_t minimum = 1;
  int64_t now = 1796000000;  // 2026-12-01
  uint32_t bucket = 0;
  uint32_t RolloutBucket() override { return bucket; }
  bool reports = false;  // on where a test watches them
  bool ReportsEnabled() override { return reports; }
  std::optional<uint32_t> ProbationSeconds() override { return probationSeconds; }
  uint32_t MinimumProbationSeconds() override { return minimum; }
  int64_t UtcNow() override { return now; }
};

// Another program (the installer) may hold the lock.
struct FakeUpdateLock final : UpdateLock {
  bool heldElsewhere = false;
  int depth = 0, acquired = 0;
  bool Acquire(uint32_t) override {
    if (heldElsewhere) return false;
    ++depth;
    ++acquired;
    return true;
  }
  void Release() override { --depth; }
};

class FixedServer final : public UpdateServer {
 public:
  std::string base = "http://atualizacao.test";
  ProxySettings proxy;
  std::string BaseUrl() override { return base; }
  ProxySettings Proxy() override { return proxy; }
};

}  // namespace quarn::fakes
