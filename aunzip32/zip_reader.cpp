#include "aunzip32/zip_reader.h"

#include <zlib.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "aunzip32/unzip_codes.h"

namespace quarn::unzip {
namespace {

constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint32_t kZip64EndSignature = 0x06064b50;
constexpr uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr size_t kEndSize = 22, kCentralSize = 46, kLocalSize = 30;
constexpr size_t kZip64EndSize = 56, kZip64LocatorSize = 20;
constexpr size_t kMaxComment = 0xFFFF;
constexpr size_t kChunk = 64 * 1024;
// Traditional encryption, strong encryption, encrypted central directory.
constexpr uint16_t kFlagsEncrypted = 0x0001 | 0x0040 | 0x2000;
constexpr uint16_t kFlagUtf8 = 0x0800;
constexpr uint32_t kZip64Marker = 0xFFFFFFFF;
constexpr uint16_t kZip64Marker16 = 0xFFFF;
constexpr uint16_t kZip64ExtraId = 0x0001;

uint16_t Get16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Get32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
uint64_t Get64(const unsigned char* p) { return Get32(p) | static_cast<uint64_t>(Get32(p + 4)) << 32; }

// The ZIP64 field of a central directory entry holds, in this order, only the
// values whose 32-bit (16-bit for the disk) field is the marker. False when
// a marked value is not there.
bool ApplyZip64(const std::vector<unsigned char>& extra, ZipEntry& e, bool markedDisk) {
  const bool marked[3] = {e.size == kZip64Marker, e.compressedSize == kZip64Marker, e.localOffset == kZip64Marker};
  if (!marked[0] && !marked[1] && !marked[2] && !markedDisk) return true;
  for (size_t at = 0; at + 4 <= extra.size();) {
    const uint16_t id = Get16(&extra[at]), len = Get16(&extra[at + 2]);
    if (at + 4 + len > extra.size()) break;
    if (id == kZip64ExtraId) {
      const unsigned char* p = &extra[at + 4];
      size_t left = len;
      uint64_t* fields[3] = {&e.size, &e.compressedSize, &e.localOffset};
      for (int i = 0; i < 3; ++i) {
        if (!marked[i]) continue;
        if (left < 8) return false;
        *fields[i] = Get64(p);
        p += 8, left -= 8;
      }
      if (markedDisk) {
        if (left < 4) return false;
        e.disk = Get32(p);
      }
      return true;
    }
    at += 4 + len;
  }
  return false;
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
  const uint16_t onDisk = Get16(p + 8);
  uint64_t total = Get16(p + 10), cdSize = Get32(p + 12), cdOffset = Get32(p + 16);

  // The directory must end before whichever end record describes it.
  uint64_t limit = at;
  if (const long rc = ReadZip64End(at, total, cdSize, cdOffset, limit); rc < 0) return rc;
  if (limit == at) {
    // Split archives are not read, nor ZIP64 markers without their record.
    if (disk != 0 || cdDisk != 0 || onDisk != total) return kUnzipNotZip;
    if (cdSize == kZip64Marker || cdOffset == kZip64Marker) return kUnzipNotZip;
  } else if ((disk != 0 && disk != kZip64Marker16) || (cdDisk != 0 && cdDisk != kZip64Marker16)) {
    return kUnzipNotZip;
  }
  if (cdOffset > limit || cdSize > limit - cdOffset) return kUnzipNotZip;
  // Every entry takes at least a fixed header, which also bounds the walk.
  if (total > cdSize / kCentralSize) return kUnzipNotZip;
  cdStart_ = cdOffset;
  cdEnd_ = cdOffset + cdSize;
  count_ = total;
  Rewind();
  return 0;
}

// The ZIP64 end record, when a locator sits right before the end record: its
// values replace the 32-bit ones, and limit becomes the record's offset.
// Without a locator nothing changes.
long ZipReader::ReadZip64End(uint64_t endAt, uint64_t& total, uint64_t& cdSize, uint64_t& cdOffset, uint64_t& limit) {
  if (endAt < kZip64LocatorSize) return 0;
  const uint64_t locatorAt = endAt - kZip64LocatorSize;
  unsigned char loc[kZip64LocatorSize];
  if (!file_.ReadAt(locatorAt, loc, kZip64LocatorSize)) return kUnzipOpenFailed;
  if (Get32(loc) != kZip64LocatorSignature) return 0;
  const uint32_t recordDisk = Get32(loc + 4), disks = Get32(loc + 16);
  const uint64_t recordAt = Get64(loc + 8);
  if (recordDisk != 0 || disks > 1) return kUnzipNotZip;
  if (recordAt > locatorAt || locatorAt - recordAt < kZip64EndSize) return kUnzipNotZip;

  unsigned char r[kZip64EndSize];
  if (!file_.ReadAt(recordAt, r, kZip64EndSize)) return kUnzipOpenFailed;
  if (Get32(r) != kZip64EndSignature) return kUnzipNotZip;
  if (Get32(r + 16) != 0 || Get32(r + 20) != 0 || Get64(r + 24) != Get64(r + 32)) return kUnzipNotZip;
  total = Get64(r + 32);
  cdSize = Get64(r + 40);
  cdOffset = Get64(r + 48);
  limit = recordAt;
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
  const uint16_t disk16 = Get16(h + 34);
  entry.disk = disk16;
  entry.name.assign(nameLen, '\0');
  if (nameLen && !file_.ReadAt(next_ + kCentralSize, entry.name.data(), nameLen)) return kUnzipOpenFailed;
  std::vector<unsigned char> extra(extraLen);
  if (extraLen && !file_.ReadAt(next_ + kCentralSize + nameLen, extra.data(), extraLen)) return kUnzipOpenFailed;
  entry.zip64Missing = !ApplyZip64(extra, entry, disk16 == kZip64Marker16);
  next_ = end;
  ++index_;
  return 1;
}

long ZipReader::DataStart(const ZipEntry& e, uint64_t& start) {
  if (e.flags & kFlagsEncrypted) return kUnzipCorruptEntry;
  if (e.method != 0 && e.method != 8) return kUnzipCorruptEntry;
  if (e.zip64Missing || e.disk != 0) return kUnzipCorruptEntry;
  if (e.method == 0 && e.compressedSize != e.size) return kUnzipCorruptEntry;

  // Entries lie before the central directory. The local header's sizes may be
  // zero or ZIP64 markers (data descriptors): only its lengths are used.
  if (e.localOffset > cdStart_ || cdStart_ - e.localOffset < kLocalSize) return kUnzipCorruptEntry;
  unsigned char h[kLocalSize];
  if (!file_.ReadAt(e.localOffset, h, kLocalSize)) return kUnzipOpenFailed;
  if (Get32(h) != kLocalSignature) return kUnzipCorruptEntry;
  if ((Get16(h + 6) & kFlagsEncrypted) || Get16(h + 8) != e.method) return kUnzipCorruptEntry;
  start = e.localOffset + kLocalSize + Get16(h + 26) + Get16(h + 28);
  if (start > cdStart_ || e.compressedSize > cdStart_ - start) return kUnzipCorruptEntry;
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
