#pragma once
// What the end-to-end cases share: the builds on the session's update server
// and the running suite, as suite_e2e_test.cpp defines them. Each case starts
// from an installation at rest (EnsureSuiteInstalled), made afresh only when
// the one the cases before it left is not; its cases may live in several files.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "fakes/zip_writer.h"

namespace quarn::e2e {

// The installation the cases follow.
inline constexpr wchar_t kMonitor[] = L"QuarnSQLServiceMonitor";
inline constexpr wchar_t kBackup[] = L"QuarnSQLService";
inline const std::wstring kSuite = L"C:\\Solvane\\Quarn SQL";
inline const std::wstring kLogs = kSuite + L"\\Logs\\";
inline const std::wstring kBackupExe = kSuite + L"\\QuarnSQLService.EXE";
inline const std::wstring kGuiExe = kSuite + L"\\QuarnSQLMonitor.EXE";
inline const std::wstring kFormatted = kLogs + L"FormataRichTextBoxServiceMonitor.INI";

// A program file carrying its build's name after the image.
std::string Tagged(const std::string& program, const std::string& build);
// The build a program file carries: "" for the installer's own, "<missing>".
std::string BuildOnDisk(const std::wstring& exe);
// The last line of a version record in the suite's Logs folder.
std::string Record(const wchar_t* name);
// The backup service's program as built.
const std::string& ServiceProgram();
void PublishFile(const std::string& name, const std::string& bytes);
// A build of the backup service: its version record and its archive.
void PublishService(const std::string& build, const testzip::ZipWriter* archive);
void PublishGuiMonitor(const std::string& build);
// The server misbehaves for one file of the update folder, or, with "", not at all.
void Fault(const std::string& file, const std::string& how);

// Runs the installer from drive C to its success panel and closes it.
::testing::AssertionResult RunInstaller(ULONGLONG* took);
std::vector<std::string> Reports();
bool Reported(const std::string& message);
// The monitor's start-up check of both programs is over.
bool CheckDone();
bool StopMonitor();
// Starts the monitor service and waits at most ms for its start-up check to end.
::testing::AssertionResult StartMonitorAndCheck(DWORD ms = 90000);
::testing::AssertionResult RestartMonitorAndCheck(DWORD ms = 90000);
// Stops the backup service from outside: ms until it runs again, 0 when it does not.
ULONGLONG StopAndTimeRestart(DWORD ms);
// The backup service runs the recorded build, whole, with the watchdog on.
void ExpectInvariant(const std::string& context);

// Brings the machine to an installation at rest, the update server offering
// what it runs, and does nothing more when it is there already: installs afresh
// (the first builds published, the installer run, its first check over) only
// when the monitor or the backup service does not run, a test build or command
// line was left in place, a check or an update is under way, or a record does
// not name the build on disk.
::testing::AssertionResult EnsureSuiteInstalled();

// The cases on an installation at rest.
struct Suite : ::testing::Test {
  static void TearDownTestSuite();
  void SetUp() override;
};

}  // namespace quarn::e2e
