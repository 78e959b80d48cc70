#pragma once
// The installation whose life the end-to-end cases follow is one test suite;
// its cases may live in several files, and share these helpers.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace quarn::e2e {

// A program file carrying a build's name after its image.
std::string Tagged(const std::string& program, const std::string& build);
// The build a program file carries: "" for the installer's own, "<missing>".
std::string BuildOnDisk(const std::wstring& exe);
// The last line of a version record in the suite's Logs folder.
std::string Record(const wchar_t* name);
// The backup service's program as built.
const std::string& ServiceProgram();
bool StopMonitor();
// Starts the monitor service and waits for its start-up check to end.
::testing::AssertionResult StartMonitorAndCheck(DWORD ms = 90000);
// What must hold after anything, fault or not.
void ExpectInvariant(const std::string& context);

struct Suite : ::testing::Test {
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  void SetUp() override;
};

}  // namespace quarn::e2e
