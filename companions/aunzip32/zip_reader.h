#pragma once
// Reading zip archives over ArchiveFile: the end record, the central directory,
// and each entry's data (stored or deflated), with every offset and length
// checked against the file before it is read. Memory stays at a few buffers
// whatever the archive holds.
#include <cstdint>
#include <string>

#include "companions/aunzip32/file_ops.h"

namespace quarn::unzip {

// One central directory entry as stored.
struct ZipEntry {
  std::string name;  // raw bytes: UTF-8 when utf8Name, else code page 437
  bool utf8Name = false;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint32_t crc = 0;
  uint32_t compressedSize = 0;
  uint32_t size = 0;
  uint32_t localOffset = 0;
};

class ZipReader {
 public:
  explicit ZipReader(ArchiveFile& file) : file_(file) {}

  // Finds and checks the end record: 0, kUnzipNotZip or kUnzipOpenFailed.
  long Open();
  uint32_t EntryCount() const { return count_; }
  // Back to the first central directory entry.
  void Rewind();
  // The next entry: 1, 0 after the last one, or a negative code.
  long Next(ZipEntry& entry);
  // Everything that can be checked without inflating: method, encryption,
  // ZIP64 markers, the local header and the data's bounds. 0 or a negative code.
  long Check(const ZipEntry& entry);
  // Writes the entry's uncompressed bytes to out, checking size and CRC as it
  // goes; stops as soon as the output would pass the declared size.
  long Extract(const ZipEntry& entry, OutputFile& out);

 private:
  long DataStart(const ZipEntry& entry, uint64_t& start);
  long CopyStored(uint64_t start, const ZipEntry& entry, OutputFile& out, uint32_t& crc);
  long Inflate(uint64_t start, const ZipEntry& entry, OutputFile& out, uint32_t& crc);

  ArchiveFile& file_;
  uint64_t cdStart_ = 0, cdEnd_ = 0, next_ = 0;
  uint32_t count_ = 0, index_ = 0;
};

}  // namespace quarn::unzip
