#pragma once
// What AUNZIP32.DLL answers, shared by the library, its callers and the tests.
// Portable: no <windows.h>.
#include <cstdint>

namespace quarn::unzip {

// addUNZIP returns the number of entries written (>= 0) or one of these.
enum UnzipError : long {
  kUnzipOpenFailed = -1,     // the archive cannot be opened or read
  kUnzipNotZip = -2,         // no end-of-central-directory record, or a bad central directory
  kUnzipCorruptEntry = -3,   // CRC or size mismatch, inflate error, bad local header, a ZIP64
                             // marker without its value, encrypted, an unsupported method,
                             // or data on another disk
  kUnzipWriteFailed = -4,    // the target folder or a file in it cannot be written
  kUnzipTooLarge = -5,       // an entry or the whole archive is over the size or entry-count limits
  kUnzipBadArgument = -6,    // a setter was given a NULL pointer
  kUnzipInternalError = -7,  // out of memory or another unexpected failure
};

// addUNZIP_Overwrite modes. Every value other than kOverwriteNever replaces
// existing files without asking; 11 is what the service monitor passes.
constexpr short kOverwriteAlways = 11;
constexpr short kOverwriteNever = 10;  // existing files are kept and their entries skipped

// addUNZIP_RestoreStructure takes a 16-bit boolean: -1 true, 0 false (any non-zero is true).
constexpr short kRestoreTrue = -1;
constexpr short kRestoreFalse = 0;

// Bounds on what one extraction may write, checked against the declared sizes
// before anything is written, and against the real output while inflating.
constexpr uint64_t kMaxEntrySize = 256ull << 20;
constexpr uint64_t kMaxArchiveSize = 1ull << 30;
// As many entries as a signed manifest may list; a zip bomb of empty entries
// is refused before the first file is created.
constexpr uint64_t kMaxEntries = 4096;

}  // namespace quarn::unzip
