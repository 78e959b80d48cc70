// FileOps over POSIX calls, for the native build and its tests.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "aunzip32/file_ops.h"

namespace quarn::unzip {
namespace {

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { Close(); }
  int get() const { return fd_; }
  bool Close() {
    if (fd_ < 0) return true;
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

class PosixArchive final : public ArchiveFile {
 public:
  PosixArchive(int fd, uint64_t size) : fd_(fd), size_(size) {}
  uint64_t Size() const override { return size_; }
  bool ReadAt(uint64_t offset, void* buffer, size_t n) override {
    auto* p = static_cast<char*>(buffer);
    while (n > 0) {
      const ssize_t got = ::pread(fd_.get(), p, n, static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      p += got, offset += static_cast<uint64_t>(got), n -= static_cast<size_t>(got);
    }
    return true;
  }

 private:
  Descriptor fd_;
  uint64_t size_;
};

class PosixOutput final : public OutputFile {
 public:
  explicit PosixOutput(int fd) : fd_(fd) {}
  bool Write(const void* data, size_t n) override {
    const auto* p = static_cast<const char*>(data);
    while (n > 0) {
      const ssize_t put = ::write(fd_.get(), p, n);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return false;
      p += put, n -= static_cast<size_t>(put);
    }
    return true;
  }
  bool Close() override { return fd_.Close(); }

 private:
  Descriptor fd_;
};

class PosixFileOps final : public FileOps {
 public:
  std::unique_ptr<ArchiveFile> OpenArchive(const std::string& path) override {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      return nullptr;
    }
    return std::make_unique<PosixArchive>(fd, static_cast<uint64_t>(st.st_size));
  }
  std::unique_ptr<OutputFile> CreateNew(const std::string& path) override {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    return std::make_unique<PosixOutput>(fd);
  }
  bool Exists(const std::string& path) override {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
  }
  bool Move(const std::string& from, const std::string& to, bool replace) override {
    if (replace) return ::rename(from.c_str(), to.c_str()) == 0;
    // link() fails on an existing target, where rename() would replace it.
    if (::link(from.c_str(), to.c_str()) != 0) return false;
    ::unlink(from.c_str());
    return true;
  }
  bool Remove(const std::string& path) override { return ::unlink(path.c_str()) == 0; }
  bool MakeDir(const std::string& path) override {
    if (::mkdir(path.c_str(), 0755) == 0) return true;
    struct stat st {};
    return errno == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }
  char Separator() const override { return '/'; }
};

}  // namespace

std::unique_ptr<FileOps> MakeSystemFileOps() { return std::make_unique<PosixFileOps>(); }

}  // namespace quarn::unzip
