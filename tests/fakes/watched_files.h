#pragma once
// A fake of the extraction library's file operations over the real files.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "aunzip32/file_ops.h"

namespace quarn::testzip {

// The real files, with failures on demand and a check that every file is
// closed before it is moved or removed (Windows refuses both on open files).
class WatchedFiles final : public unzip::FileOps {
 public:
  explicit WatchedFiles(unzip::FileOps& real) : real_(real) {}
  bool failMove = false;
  uint64_t failWriteAfter = UINT64_MAX;  // bytes per file
  std::set<std::string> open;
  std::vector<std::string> faults;
  uint64_t largestWrite = 0;  // bytes written to one file

  std::unique_ptr<unzip::ArchiveFile> OpenArchive(const std::string& path) override { return real_.OpenArchive(path); }
  std::unique_ptr<unzip::OutputFile> CreateNew(const std::string& path) override {
    auto file = real_.CreateNew(path);
    if (!file) return nullptr;
    open.insert(path);
    return std::make_unique<Output>(*this, path, std::move(file));
  }
  bool Exists(const std::string& path) override { return real_.Exists(path); }
  bool Move(const std::string& from, const std::string& to, bool replace) override {
    if (open.count(from)) faults.push_back("moved while open: " + from);
    return !failMove && real_.Move(from, to, replace);
  }
  bool Remove(const std::string& path) override {
    if (open.count(path)) faults.push_back("removed while open: " + path);
    return real_.Remove(path);
  }
  bool MakeDir(const std::string& path) override { return real_.MakeDir(path); }
  char Separator() const override { return real_.Separator(); }

 private:
  class Output final : public unzip::OutputFile {
   public:
    Output(WatchedFiles& owner, std::string path, std::unique_ptr<unzip::OutputFile> real)
        : owner_(owner), path_(std::move(path)), real_(std::move(real)) {}
    ~Output() override { owner_.open.erase(path_); }
    bool Write(const void* data, size_t n) override {
      written_ += n;
      owner_.largestWrite = std::max(owner_.largestWrite, written_);
      return written_ <= owner_.failWriteAfter && real_->Write(data, n);
    }
    bool Close() override {
      owner_.open.erase(path_);
      return real_->Close();
    }

   private:
    WatchedFiles& owner_;
    std::string path_;
    std::unique_ptr<unzip::OutputFile> real_;
    uint64_t written_ = 0;
  };
  unzip::FileOps& real_;
};

}  // namespace quarn::testzip
