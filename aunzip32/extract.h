#pragma once
// One extraction: what addUNZIP does with the settings its setters stored.
#include <string>

#include "aunzip32/file_ops.h"
#include "aunzip32/unzip_codes.h"

namespace quarn::unzip {

struct ExtractSettings {
  std::string archive;  // UTF-8 paths
  std::string folder;   // with or without a trailing separator
  std::string include;  // "" = every entry
  short overwrite = kOverwriteAlways;
  bool restoreStructure = false;
};

// The number of files written, or a negative UnzipError.
//
// The whole central directory is checked first (names, methods, bounds, size
// limits), so an archive refused for those reasons writes nothing. Each entry
// is then written to a temporary file beside its target, checked (size, CRC)
// and only then renamed over the target: a bad entry never replaces a good
// file. Extraction stops at the first failure; entries written before it stay.
long Extract(FileOps& files, const ExtractSettings& settings);

}  // namespace quarn::unzip
