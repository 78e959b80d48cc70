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

// Runtime error numbers for file operations, with their Portuguese descriptions.
enum FileErrorNumber : long {
  kErrFileNotFound = 53,
  kErrDiskFull = 61,
  kErrPermissionDenied = 70,
  kErrPathFileAccess = 75,
  kErrPathNotFound = 76,
};
VbError FileError(long number);

// A failure no handler expected (any exception but ours): it ends the program.
inline constexpr long kErrInternal = 51;

}  // namespace quarn
