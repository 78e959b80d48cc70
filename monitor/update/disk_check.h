#pragma once
// The build in place, as the disk must hold it. Beside each version record the
// monitor keeps the list of the installed build's files, taken from the build
// it verified; every check compares the suite folder with it, so that a file
// removed or changed after its update (a quarantine, a clean-up tool) is put
// back from the server even when the record's version matches.
//
// Logs\Instalado<program>.ini, code page 1252, CRLF:
//   QUARN-INSTALADO 1
//   versao <version>
//   publicacao <number> <manifest digest, 64 hex, or "-">      (0 and "-" unsigned)
//   arquivo <size> <sha-256, 64 hex> <write time> <plain file name>    (one a file)
// The write time is the file's stamp as last seen whole: while size and time
// match, the file is taken as unchanged; otherwise its digest decides.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/file_system.h"

namespace quarn {

inline constexpr char kInstalledTag[] = "QUARN-INSTALADO 1";
inline constexpr size_t kMaxInstalledBytes = 1 << 20;

struct InstalledFile {
  std::string name;  // code page 1252, a plain file name
  uint64_t size = 0;
  std::string sha256;  // raw, 32 bytes; empty when unknown (an unsigned build with no hashing)
  uint64_t writeTime = 0;
};

struct InstalledBuild {
  std::string version;  // code page 1252
  uint64_t number = 0;  // the publication it came from
  std::string digest;   // raw, empty when unsigned
  std::vector<InstalledFile> files;
};

// The record file's name for a program: "InstaladoQuarnSQLService.ini".
std::string InstalledBuildFile(const std::string& program);
std::string FormatInstalledBuild(const InstalledBuild& b);
// False when the text is not one (then nothing is compared: only a missing
// program file is a repair).
bool ParseInstalledBuild(std::string_view bytes, InstalledBuild& out);
// The list at path, read only when it is there and within its bound; false
// when it is not one. Raises as a read does.
bool ReadInstalledBuild(FileSystem& fs, const std::string& path, InstalledBuild& out);

enum class FileCheck { kSame, kMissing, kChanged, kHash };
// From the stamp alone: the same size and time is the same file, another size
// is a changed one, another time needs the digest.
FileCheck CheckStamp(const InstalledFile& f, const std::optional<FileStamp>& stamp);

}  // namespace quarn
