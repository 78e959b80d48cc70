#include "companions/aunzip32/zip_reader.h"

#include <zlib.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "companions/aunzip32/unzip_codes.h"

namespace quarn::unzip {
namespace {

constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr size_t kEndSize = 22, kCentralSize = 46, kLocalSize = 30;
constexpr size_t kMaxComment = 0xFFFF;
constexpr size_t kChunk = 64 * 1024;
constexpr uint16_t kFlagEncrypted = 0x0001;
constexpr uint16_t kFlagUtf8 = 0x0800;
constexpr uint32_t kZip64Marker = 0xFFFFFFFF;

uint16_t Get16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Get32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// Owns a raw-deflate inflater.
struct Inflater {
  z_stream zs{};
  bool ready = false;
  Inflater() { ready = inflateInit2(&zs, -MAX_WBITS) == Z_OK; }
  ~Inflater() {
    if (ready) inflateEnd(&zs);
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
};

}  // namespace

long ZipReader::Open() {
  const uint64_t size = file_.Size();
  if (size < kEndSize) return kUnzipNotZip;
  // The end record sits in the last 22 bytes plus at most a 64 KiB comment.
  const size_t tailSize = static_cast<size_t>(std::min<uint64_t>(size, kEndSize + kMaxComment));
  const uint64_t tailStart = size - tailSize;
  std::vector<unsigned char> tail(tailSize);
  if (!file_.ReadAt(tailStart, tail.data(), tailSize)) return kUnzipOpenFailed;

  // Search backwards for the record whose comment ends the file; a comment may
  // itself hold the signature bytes. Failing that, take the last record that
  // fits in the file (bytes appended after an archive).
  std::optional<size_t> found;
  for (size_t i = tailSize - kEndSize + 1; i-- > 0;) {
    const unsigned char* p = tail.data() + i;
    if (Get32(p) != kEndSignature) continue;
    const uint64_t end = tailStart + i + kEndSize + Get16(p + 20);
    if (end == size) {
      found = i;
      break;
    }
    if (end < size && !found) found = i;
  }
  if (!found) return kUnzipNotZip;

  const unsigned char* p = tail.data() + *found;
  const uint64_t at = tailStart + *found;
  const uint16_t disk = Get16(p + 4), cdDisk = Get16(p + 6);
  const uint16_t onDisk = Get16(p + 8), total = Get16(p + 10);
  const uint32_t cdSize = Get32(p + 12), cdOffset = Get32(p + 16);
  // Split archives and ZIP64 directories are not read.
  if (disk != 0 || cdDisk != 0 || onDisk != total) return kUnzipNotZip;
  if (cdSize == kZip64Marker || cdOffset == kZip64Marker) return kUnzipNotZip;
  if (static_cast<uint64_t>(cdOffset) + cdSize > at) return kUnzipNotZip;
  if (static_cast<uint64_t>(total) * kCentralSize > cdSize) return kUnzipNotZip;
  cdStart_ = cdOffset;
  cdEnd_ = static_cast<uint64_t>(cdOffset) + cdSize;
  count_ = total;
  Rewind();
  return 0;
}

void ZipReader::Rewind() {
  next_ = cdStart_;
  index_ = 0;
}

long ZipReader::Next(ZipEntry& entry) {
  if (index_ >= count_) return 0;
  unsigned char h[kCentralSize];
  if (next_ + kCentralSize > cdEnd_) return kUnzipNotZip;
  if (!file_.ReadAt(next_, h, kCentralSize)) return kUnzipOpenFailed;
  if (Get32(h) != kCentralSignature) return kUnzipNotZip;
  const uint16_t nameLen = Get16(h + 28), extraLen = Get16(h + 30), commentLen = Get16(h + 32);
  const uint64_t end = next_ + kCentralSize + nameLen + extraLen + commentLen;
  if (end > cdEnd_) return kUnzipNotZip;

  entry.flags = Get16(h + 8);
  entry.utf8Name = (entry.flags & kFlagUtf8) != 0;
  entry.method = Get16(h + 10);
  entry.crc = Get32(h + 16);
  entry.compressedSize = Get32(h + 20);
  entry.size = Get32(h + 24);
  entry.localOffset = Get32(h + 42);
  entry.name.assign(nameLen, '\0');
  if (nameLen && !file_.ReadAt(next_ + kCentralSize, entry.name.data(), nameLen)) return kUnzipOpenFailed;
  next_ = end;
  ++index_;
  return 1;
}

long ZipReader::DataStart(const ZipEntry& e, uint64_t& start) {
  if (e.flags & kFlagEncrypted) return kUnzipCorruptEntry;
  if (e.method != 0 && e.method != 8) return kUnzipCorruptEntry;
  if (e.size == kZip64Marker || e.compressedSize == kZip64Marker || e.localOffset == kZip64Marker)
    return kUnzipCorruptEntry;
  if (e.method == 0 && e.compressedSize != e.size) return kUnzipCorruptEntry;

  // Entries lie before the central directory.
  if (static_cast<uint64_t>(e.localOffset) + kLocalSize > cdStart_) return kUnzipCorruptEntry;
  unsigned char h[kLocalSize];
  if (!file_.ReadAt(e.localOffset, h, kLocalSize)) return kUnzipOpenFailed;
  if (Get32(h) != kLocalSignature) return kUnzipCorruptEntry;
  if ((Get16(h + 6) & kFlagEncrypted) || Get16(h + 8) != e.method) return kUnzipCorruptEntry;
  start = static_cast<uint64_t>(e.localOffset) + kLocalSize + Get16(h + 26) + Get16(h + 28);
  if (start + e.compressedSize > cdStart_) return kUnzipCorruptEntry;
  return 0;
}

long ZipReader::Check(const ZipEntry& entry) {
  uint64_t start = 0;
  return DataStart(entry, start);
}

long ZipReader::Extract(const ZipEntry& entry, OutputFile& out) {
  uint64_t start = 0;
  if (const long rc = DataStart(entry, start); rc < 0) return rc;
  uint32_t crc = 0;
  const long rc = entry.method == 0 ? CopyStored(start, entry, out, crc) : Inflate(start, entry, out, crc);
  if (rc < 0) return rc;
  if (crc != entry.crc) return kUnzipCorruptEntry;
  return 0;
}

long ZipReader::CopyStored(uint64_t start, const ZipEntry& e, OutputFile& out, uint32_t& crc) {
  std::vector<unsigned char> buf(kChunk);
  uLong sum = crc32(0L, Z_NULL, 0);
  for (uint64_t done = 0; done < e.size;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, e.size - done));
    if (!file_.ReadAt(start + done, buf.data(), n)) return kUnzipOpenFailed;
    sum = crc32(sum, buf.data(), static_cast<uInt>(n));
    if (!out.Write(buf.data(), n)) return kUnzipWriteFailed;
    done += n;
  }
  crc = static_cast<uint32_t>(sum);
  return 0;
}

long ZipReader::Inflate(uint64_t start, const ZipEntry& e, OutputFile& out, uint32_t& crc) {
  Inflater inf;
  if (!inf.ready) return kUnzipInternalError;
  std::vector<unsigned char> in(kChunk), outBuf(kChunk);
  uLong sum = crc32(0L, Z_NULL, 0);
  uint64_t readSoFar = 0, written = 0;
  for (;;) {
    if (inf.zs.avail_in == 0 && readSoFar < e.compressedSize) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, e.compressedSize - readSoFar));
      if (!file_.ReadAt(start + readSoFar, in.data(), n)) return kUnzipOpenFailed;
      readSoFar += n;
      inf.zs.next_in = in.data();
      inf.zs.avail_in = static_cast<uInt>(n);
    }
    inf.zs.next_out = outBuf.data();
    inf.zs.avail_out = static_cast<uInt>(kChunk);
    const int rc = inflate(&inf.zs, Z_NO_FLUSH);
    if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) return kUnzipCorruptEntry;
    const size_t produced = kChunk - inf.zs.avail_out;
    if (produced) {
      // More than declared: a lie or a bomb; stop before writing it.
      if (written + produced > e.size) return kUnzipCorruptEntry;
      sum = crc32(sum, outBuf.data(), static_cast<uInt>(produced));
      if (!out.Write(outBuf.data(), produced)) return kUnzipWriteFailed;
      written += produced;
    }
    if (rc == Z_STREAM_END) break;
    // No progress possible and nothing left to feed: the stream is cut short.
    if (rc == Z_BUF_ERROR && inf.zs.avail_in == 0 && readSoFar == e.compressedSize) return kUnzipCorruptEntry;
  }
  if (written != e.size) return kUnzipCorruptEntry;
  crc = static_cast<uint32_t>(sum);
  return 0;
}

}  // namespace quarn::unzip
