#pragma once
// Failures carried the way the monitor's error blocks report them: a number and a description.
#include <stdexcept>
#include <string>

namespace quarn {

class VbError : public std::runtime_error {
 public:
  VbError(long number, std::string description)
      : std::runtime_error(description), number_(number), description_(std::move(description)) {}
  long Number() const { return number_; }
  const std::string& Description() const { return description_; }

 private:
  long number_;
  std::string description_;
};

// Thrown out of a wait once the window has been unloaded, so that every nested
// handler unwinds to the program's entry and the program ends there.
struct ProgramEnd {};

// Every number the programs of the suite raise of their own, each with one
// meaning. Below 1000 the runtime's numbers, worded as the runtime words them;
// 357xx the transfer's; 71xx the update's own; 10000 up the registration's.
// Failures passed on from the system keep the system's number (a Win32 error,
// an HTTP status, an NTSTATUS).
enum ErrorNumber : long {
  kErrOverflow = 6,
  kErrTypeMismatch = 13,
  kErrUserInterrupt = 18,  // the monitor was stopped during an update
  kErrFileNotFound = 53,
  kErrDiskFull = 61,
  kErrPastEnd = 62,           // input or an answer ended before its announced end
  kErrPermissionDenied = 70,  // a file is held or closed to this account
  kErrPathFileAccess = 75,
  kErrPathNotFound = 76,
  kErrBadFileFormat = 321,
  kErrEntryPointNotFound = 453,

  kErrInetRequest = 35750,     // the transfer was asked for what it cannot do
  kErrRequestTimeout = 35761,  // the server took longer than its bound
  kErrStillExecuting = 35764,  // the transfer is busy with another request

  kErrProgramStillRunning = 7100,  // an ended program would not go away
  kErrManifestMissing = 7101,      // a refused build, 7101 to 7107
  kErrManifestInvalid = 7102,
  kErrManifestProgram = 7103,
  kErrManifestVersion = 7104,
  kErrManifestFiles = 7105,
  kErrManifestSignature = 7106,
  kErrUpdateKeysUnusable = 7107,
  kErrPublicationOlder = 7108,  // a refused version record, 7108 to 7112
  kErrPublicationExpired = 7109,
  kErrStatementMissing = 7110,
  kErrStatementInvalid = 7111,
  kErrStatementSignature = 7112,
  kErrJournalInvalid = 7113,        // a journal that names more than a file of the suite
  kErrBuildUnhealthy = 7114,        // a new build of the backup service that did not stay running
  kErrServiceDisabled = 7115,       // the backup service is disabled: stopped, it would not start again
  kErrInstalledFileDamaged = 7116,  // a file of the build in place is missing or changed
  kErrProbationFailed = 7117,       // a new build of the backup service did not do its job in probation

  kErrLoadLibraryBase = 10000,  // + the Win32 error of a control that would not load
};

// The number's fixed text, or empty for a number worded where it is raised.
const char* StandardText(long number);
// A VbError with the number's own text, and the detail after ": " when given.
VbError Raise(ErrorNumber number, const std::string& detail = {});

// File failures by their runtime number; any other number reads as 75.
VbError FileError(long number);

// A failure no handler expected (any exception but ours): it ends the program.
inline constexpr long kErrInternal = 51;

}  // namespace quarn
