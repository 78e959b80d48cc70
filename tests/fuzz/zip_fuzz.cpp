// Any bytes as a zip archive: every entry listed, checked and, when the checks
// pass, extracted to memory. Nothing may read outside the archive, and what
// Extract accepts has the declared size and CRC.
#include <zlib.h>

#include <cstring>

#include "aunzip32/name_policy.h"
#include "aunzip32/zip_reader.h"
#include "fuzz/fuzz_check.h"

namespace {

struct Memory final : quarn::unzip::ArchiveFile {
  const uint8_t* data;
  size_t size;
  Memory(const uint8_t* d, size_t n) : data(d), size(n) {}
  uint64_t Size() const override { return size; }
  bool ReadAt(uint64_t offset, void* buffer, size_t n) override {
    QUARN_FUZZ_CHECK(offset <= size && n <= size - offset);  // the reader checks bounds before it reads
    std::memcpy(buffer, data + offset, n);
    return true;
  }
};

struct Counter final : quarn::unzip::OutputFile {
  uint64_t bytes = 0;
  uLong crc = crc32(0, nullptr, 0);
  bool Write(const void* d, size_t n) override {
    bytes += n;
    crc = crc32(crc, static_cast<const Bytef*>(d), static_cast<uInt>(n));
    return true;
  }
  bool Close() override { return true; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quarn::unzip;
  Memory file(data, size);
  ZipReader zip(file);
  if (zip.Open() < 0) return 0;
  ZipEntry entry;
  for (int n = 0; n < 64 && zip.Next(entry) > 0; ++n) {
    std::string utf8;
    if (EntryNameToUtf8(entry.name, entry.utf8Name, utf8)) {
      for (const std::string& part : TargetPath(utf8, n % 2 == 0)) QUARN_FUZZ_CHECK(IsSafeFileName(part));
    }
    if (zip.Check(entry) < 0) continue;
    Counter out;
    if (zip.Extract(entry, out) == 0) {
      QUARN_FUZZ_CHECK(out.bytes == entry.size);
      QUARN_FUZZ_CHECK(out.crc == entry.crc);
    }
  }
  return 0;
}
