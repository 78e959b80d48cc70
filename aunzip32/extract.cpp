#include "aunzip32/extract.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <vector>

#include "aunzip32/name_policy.h"
#include "aunzip32/zip_reader.h"

namespace quarn::unzip {
namespace {

std::string Join(const std::string& folder, const std::string& name, char separator) {
  if (folder.empty()) return name;
  const char last = folder.back();
  return last == '/' || last == '\\' || last == separator ? folder + name : folder + separator + name;
}

// Where the entry goes, empty when it is not to be extracted.
std::vector<std::string> Target(const ZipEntry& entry, const ExtractSettings& settings) {
  std::string name;
  if (!EntryNameToUtf8(entry.name, entry.utf8Name, name)) return {};
  std::vector<std::string> path = TargetPath(name, settings.restoreStructure);
  if (path.empty() || !Included(settings.include, path.back())) return {};
  return path;
}

// A temporary file beside the target, removed unless it was moved into place.
class PendingFile {
 public:
  explicit PendingFile(FileOps& files) : files_(files) {}
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  ~PendingFile() {
    out.reset();  // closed before removal: Windows keeps open files
    if (!path.empty() && !moved) files_.Remove(path);
  }

  // "<name>.<random>.tmp"; created exclusively, so an existing file is never taken.
  bool Create(const std::string& folder, const std::string& name) {
    std::random_device random;
    // Keep the temporary name within the 255 characters of a file name.
    size_t keep = std::min<size_t>(name.size(), 200);
    while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
    for (int attempt = 0; attempt < 8; ++attempt) {
      char suffix[16];
      std::snprintf(suffix, sizeof suffix, ".%08x.tmp", static_cast<unsigned>(random()));
      std::string candidate = Join(folder, name.substr(0, keep) + suffix, files_.Separator());
      out = files_.CreateNew(candidate);
      if (out) {
        path = std::move(candidate);
        return true;
      }
    }
    return false;
  }

  std::unique_ptr<OutputFile> out;
  std::string path;
  bool moved = false;

 private:
  FileOps& files_;
};

// 1 written, 0 kept an existing file, or a negative code.
long WriteEntry(FileOps& files, ZipReader& zip, const ZipEntry& entry, const std::vector<std::string>& target,
                const ExtractSettings& settings) {
  std::string folder = settings.folder;
  for (size_t i = 0; i + 1 < target.size(); ++i) {
    folder = Join(folder, target[i], files.Separator());
    if (!files.MakeDir(folder)) return kUnzipWriteFailed;
  }
  const std::string final = Join(folder, target.back(), files.Separator());
  const bool replace = settings.overwrite != kOverwriteNever;
  if (!replace && files.Exists(final)) return 0;

  PendingFile pending(files);
  if (!pending.Create(folder, target.back())) return kUnzipWriteFailed;
  if (const long rc = zip.Extract(entry, *pending.out); rc < 0) return rc;
  const bool closed = pending.out->Close();
  pending.out.reset();
  if (!closed || !files.Move(pending.path, final, replace)) return kUnzipWriteFailed;
  pending.moved = true;
  return 1;
}

}  // namespace

long Extract(FileOps& files, const ExtractSettings& settings) {
  if (settings.folder.empty()) return kUnzipWriteFailed;
  const std::unique_ptr<ArchiveFile> archive = files.OpenArchive(settings.archive);
  if (!archive) return kUnzipOpenFailed;
  ZipReader zip(*archive);
  if (const long rc = zip.Open(); rc < 0) return rc;

  ZipEntry entry;
  long rc = 0;
  uint64_t total = 0, entries = 0;
  while ((rc = zip.Next(entry)) > 0) {
    if (++entries > kMaxEntries) return kUnzipTooLarge;
    const std::vector<std::string> target = Target(entry, settings);
    if (target.empty()) continue;
    if (const long check = zip.Check(entry); check < 0) return check;
    total += entry.size;
    if (entry.size > kMaxEntrySize || total > kMaxArchiveSize) return kUnzipTooLarge;
  }
  if (rc < 0) return rc;

  zip.Rewind();
  long written = 0;
  while ((rc = zip.Next(entry)) > 0) {
    const std::vector<std::string> target = Target(entry, settings);
    if (target.empty()) continue;
    const long one = WriteEntry(files, zip, entry, target, settings);
    if (one < 0) return one;
    written += one;
  }
  return rc < 0 ? rc : written;
}

}  // namespace quarn::unzip
