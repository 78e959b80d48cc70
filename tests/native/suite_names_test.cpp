// The build files that name the suite's files, folders and key, read from the
// source tree and compared with common/suite_files.h: a file renamed in one
// place and not in another fails here, not on a customer's machine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/suite_files.h"

namespace quarn {
namespace {

std::string Source(const std::string& path) {
  std::ifstream in(std::string(QUARN_SOURCE_DIR) + "/" + path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Every first capture group of `pattern` in `text`, in order.
std::vector<std::string> All(const std::string& text, const std::string& pattern) {
  std::vector<std::string> out;
  const std::regex re(pattern);
  for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator(); ++it)
    out.push_back((*it)[1]);
  return out;
}

std::string Upper(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}
std::set<std::string> UpperSet(const std::vector<std::string>& names) {
  std::set<std::string> out;
  for (const auto& n : names) out.insert(Upper(n));
  return out;
}

std::vector<std::string> Carried() {
  std::vector<std::string> all(std::begin(kSuiteFiles), std::end(kSuiteFiles));
  all.insert(all.end(), std::begin(kCarriedOnlyFiles), std::end(kCarriedOnlyFiles));
  return all;
}

TEST(SuiteNames, EveryBuildFileNamesWhatTheCodeNames) {
  const std::string cmake = Source("CMakeLists.txt");
  const std::string rc = Source("installer/payload/payload.rc.in");
  const std::string wxs = Source("installer/msi/QuarnSQL.wxs");
  const std::string controls = Source("standins/controls/CMakeLists.txt");
  ASSERT_FALSE(cmake.empty() || rc.empty() || wxs.empty() || controls.empty());

  std::smatch m;
  ASSERT_TRUE(std::regex_search(cmake, m, std::regex(R"re(set\(QUARN_PAYLOAD_FILES([^)]*)\))re")));
  std::istringstream words(m[1].str());
  const std::vector<std::string> payloadList{std::istream_iterator<std::string>(words), {}};

  struct Row {
    const char* where;
    std::set<std::string> names;  // without regard to case, as Windows reads them
    std::set<std::string> wanted;
  };
  const std::vector<Row> rows = {
      {"QUARN_PAYLOAD_FILES in CMakeLists.txt", UpperSet(payloadList), UpperSet(Carried())},
      {"payload.rc.in: resource names", UpperSet(All(rc, R"re((?:^|\n)(\S+) CUSTOM )re")), UpperSet(Carried())},
      {"payload.rc.in: files", UpperSet(All(rc, R"re(CUSTOM "@BIN@/([^"]+)")re")), UpperSet(Carried())},
      {"QuarnSQL.wxs: files installed", UpperSet(All(wxs, R"re(<File [^>]*Name="([^"]+)")re")),
       UpperSet({std::begin(kSuiteFiles), std::end(kSuiteFiles)})},
      {"QuarnSQL.wxs: files' sources", UpperSet(All(wxs, R"re(Source="\$\(var\.BinDir\)/([^"]+)")re")),
       UpperSet({std::begin(kSuiteFiles), std::end(kSuiteFiles)})},
      {"QuarnSQL.wxs: services", UpperSet(All(wxs, R"re(<ServiceInstall [^>]*Name="([^"]+)")re")),
       UpperSet({kBackupServiceName, kMonitorServiceName})},
      {"QuarnSQL.wxs: the suite folder",
       UpperSet(All(wxs, R"re(<Directory Id="(?:SolvaneDir|INSTALLFOLDER|TempDir)" Name="([^"]+)")re")),
       UpperSet({kMakerFolder, kSuiteFolderName, kInstallerTempFolder})},
      {"standins/controls/CMakeLists.txt: controls", UpperSet(All(controls, R"re("quarn_control_\w+:(\w+):)re")),
       [] {
         std::set<std::string> stems;
         for (const char* c : kControlFiles) stems.insert(Upper(std::string(c).substr(0, std::string(c).find('.'))));
         return stems;
       }()},
  };
  for (const Row& r : rows) EXPECT_EQ(r.names, r.wanted) << r.where;

  // The payload is written in the order the code gives; the build lists it in the same order.
  std::vector<std::string> inOrder;
  for (const auto& n : Carried()) inOrder.push_back(Upper(n));
  std::vector<std::string> cmakeOrder;
  for (const auto& n : payloadList) cmakeOrder.push_back(Upper(n));
  EXPECT_EQ(cmakeOrder, inOrder);
  // Every control is one of the suite's files.
  for (const char* c : kControlFiles)
    EXPECT_NE(std::find(std::begin(kSuiteFiles), std::end(kSuiteFiles), std::string(c)), std::end(kSuiteFiles)) << c;
}

}  // namespace
}  // namespace quarn
