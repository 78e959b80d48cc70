#pragma once
// Reading zip archives over ArchiveFile: the end record (ZIP64 too), the central
// directory, and each entry's data (stored or deflated), with every offset and
// length checked against the file before it is read. Sizes and offsets come
// from the central directory only, so entries streamed with data descriptors
// read like any other. Memory stays at a few buffers whatever the archive holds.
#include <cstdint>
#include <string>

#include "aunzip32/file_ops.h"

namespace quarn::unzip {

// One central directory entry as stored.
struct ZipEntry {
  std::string name;  // raw bytes: UTF-8 when utf8Name, else code page 437
  bool utf8Name = false;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint32_t crc = 0;
  uint64_t compressedSize = 0;  // ZIP64 values already applied
  uint64_t size = 0;
  uint64_t localOffset = 0;
  uint32_t disk = 0;          // where the entry starts; only disk 0 exists here
  bool zip64Missing = false;  // a field says "see ZIP64" and no ZIP64 field holds it
};

class ZipReader {
 public:
  explicit ZipReader(ArchiveFile& file) : file_(file) {}

  // Finds and checks the end record: 0, kUnzipNotZip or kUnzipOpenFailed.
  long Open();
  uint64_t EntryCount() const { return count_; }
  // Back to the first central directory entry.
  void Rewind();
  // The next entry: 1, 0 after the last one, or a negative code.
  long Next(ZipEntry& entry);
  // Everything that can be checked without inflating: method, encryption,
  // unresolved ZIP64 markers, the local header and the data's bounds. 0 or a
  // negative code.
  long Check(const ZipEntry& entry);
  // Writes the entry's uncompressed bytes to out, checking size and CRC as it
  // goes; stops as soon as the output would pass the declared size.
  long Extract(const ZipEntry& entry, OutputFile& out);

 private:
  long ReadZip64End(uint64_t endAt, uint64_t& total, uint64_t& cdSize, uint64_t& cdOffset, uint64_t& limit);
  long DataStart(const ZipEntry& entry, uint64_t& start);
  long CopyStored(uint64_t start, const ZipEntry& entry, OutputFile& out, uint32_t& crc);
  long Inflate(uint64_t start, const ZipEntry& entry, OutputFile& out, uint32_t& crc);

  ArchiveFile& file_;
  uint64_t cdStart_ = 0, cdEnd_ = 0, next_ = 0;
  uint64_t count_ = 0, index_ = 0;
};

}  // namespace quarn::unzip
