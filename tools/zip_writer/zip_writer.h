#pragma once
// Builds zip archives in memory: quarn-publish writes its publications with it
// (fixed timestamps, entries in the order given), and the tests write with it
// the archives no honest tool writes: every header field of an entry can be set
// after it is added (wrong CRC, lying sizes, flags, method, offsets), and the
// bytes can be cut or damaged. Its CRC-32 is its own, independent of the zlib
// the extraction library uses.
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

namespace quarn::zipwriter {

inline uint32_t Crc32(std::string_view data) {
  static const auto table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
      t[i] = c;
    }
    return t;
  }();
  uint32_t crc = 0xFFFFFFFFu;
  for (const char ch : data) crc = table[(crc ^ static_cast<unsigned char>(ch)) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

// Raw deflate (no zlib header) at the default level, as zip tools write it.
inline std::string Deflate(std::string_view data) {
  z_stream zs{};
  deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&zs, static_cast<uLong>(data.size())), '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

// A deflate stream of uncompressed blocks: method 8 without a compressor, for
// builds that do not link zlib.
inline std::string DeflateUncompressedBlocks(std::string_view data) {
  std::string out;
  size_t at = 0;
  do {
    const size_t n = std::min<size_t>(data.size() - at, 0xFFFF);
    const bool last = at + n == data.size();
    out += static_cast<char>(last ? 1 : 0);  // BFINAL, BTYPE 00
    out += static_cast<char>(n & 0xFF);
    out += static_cast<char>(n >> 8);
    out += static_cast<char>(~n & 0xFF);
    out += static_cast<char>((~n >> 8) & 0xFF);
    out.append(data.substr(at, n));
    at += n;
  } while (at < data.size());
  return out;
}

struct Entry {
  std::string name;
  std::string payload;  // the bytes stored after the local header
  uint16_t method = 0;
  uint16_t flags = 0;  // bit 0 encrypted, bit 11 UTF-8 name
  uint32_t crc = 0;
  uint32_t size = 0;            // declared uncompressed size
  uint32_t compressedSize = 0;  // declared; payload.size() unless changed
  bool badLocalSignature = false;
  int64_t localOffsetShift = 0;  // added to the central directory's local offset
};

class ZipWriter {
 public:
  Entry& Stored(std::string name, std::string_view data) { return Add(std::move(name), data, 0, std::string(data)); }
  Entry& Deflated(std::string name, std::string_view data) { return Add(std::move(name), data, 8, Deflate(data)); }
  Entry& DeflatedUncompressed(std::string name, std::string_view data) {
    return Add(std::move(name), data, 8, DeflateUncompressedBlocks(data));
  }
  Entry& Directory(std::string name) { return Add(std::move(name), "", 0, ""); }

  std::string comment;
  std::deque<Entry> entries;  // a deque: references stay valid as entries are added

  std::string Build() const {
    std::string zip, central;
    for (const Entry& e : entries) {
      const uint32_t offset = static_cast<uint32_t>(zip.size());
      Put32(zip, e.badLocalSignature ? 0x04034b51 : 0x04034b50);
      Put16(zip, 20);
      Put16(zip, e.flags);
      Put16(zip, e.method);
      Put16(zip, 0x6000);  // 12:00
      Put16(zip, 0x5B87);  // 2025-12-07
      Put32(zip, e.crc);
      Put32(zip, e.compressedSize);
      Put32(zip, e.size);
      Put16(zip, static_cast<uint16_t>(e.name.size()));
      Put16(zip, 0);
      zip += e.name;
      zip += e.payload;

      Put32(central, 0x02014b50);
      Put16(central, 20);
      Put16(central, 20);
      Put16(central, e.flags);
      Put16(central, e.method);
      Put16(central, 0x6000);
      Put16(central, 0x5B87);
      Put32(central, e.crc);
      Put32(central, e.compressedSize);
      Put32(central, e.size);
      Put16(central, static_cast<uint16_t>(e.name.size()));
      Put16(central, 0);  // extra
      Put16(central, 0);  // comment
      Put16(central, 0);  // disk
      Put16(central, 0);  // internal attributes
      Put32(central, 0);  // external attributes
      Put32(central, static_cast<uint32_t>(offset + e.localOffsetShift));
      central += e.name;
    }
    const uint32_t centralOffset = static_cast<uint32_t>(zip.size());
    zip += central;
    Put32(zip, 0x06054b50);
    Put16(zip, 0);
    Put16(zip, 0);
    Put16(zip, static_cast<uint16_t>(entries.size()));
    Put16(zip, static_cast<uint16_t>(entries.size()));
    Put32(zip, static_cast<uint32_t>(central.size()));
    Put32(zip, centralOffset);
    Put16(zip, static_cast<uint16_t>(comment.size()));
    zip += comment;
    return zip;
  }

  // Where the end record starts in Build()'s output.
  size_t EndRecordOffset() const { return Build().size() - 22 - comment.size(); }

 private:
  Entry& Add(std::string name, std::string_view data, uint16_t method, std::string payload) {
    Entry& e = entries.emplace_back();
    e.name = std::move(name);
    e.method = method;
    e.crc = Crc32(data);
    e.size = static_cast<uint32_t>(data.size());
    e.compressedSize = static_cast<uint32_t>(payload.size());
    e.payload = std::move(payload);
    return e;
  }
  static void Put16(std::string& s, uint16_t v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>(v >> 8);
  }
  static void Put32(std::string& s, uint32_t v) {
    Put16(s, static_cast<uint16_t>(v & 0xFFFF));
    Put16(s, static_cast<uint16_t>(v >> 16));
  }
};

inline uint32_t Read32(const std::string& zip, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(zip[at + i]);
  return v;
}

// Little-endian field patching in a built archive, for damage the fields above
// cannot express (the end record, the central directory's counts).
inline void Patch32(std::string& zip, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) zip[at + i] = static_cast<char>(v >> (8 * i) & 0xFF);
}
inline void Patch16(std::string& zip, size_t at, uint16_t v) {
  zip[at] = static_cast<char>(v & 0xFF);
  zip[at + 1] = static_cast<char>(v >> 8);
}

}  // namespace quarn::zipwriter
