// The extraction library's portable core on real files: zip reading, the name
// policy, size limits and the temporary-file protocol, with hostile archives.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "aunzip32/extract.h"
#include "aunzip32/name_policy.h"
#include "fakes/watched_files.h"
#include "fakes/zip_samples.h"
#include "fakes/zip_writer.h"

namespace quarn::unzip {
namespace {

namespace fs = std::filesystem;
using testzip::Entry;
using testzip::WatchedFiles;
using testzip::ZipWriter;

std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen());
  return s;
}

// Compresses well, so one read of compressed input fills many output buffers.
std::string Repetitive(size_t n) {
  std::string s;
  for (int line = 0; s.size() < n; ++line) s += "07/12/2026 05:58:36 backup " + std::to_string(line % 97) + " ok\r\n";
  s.resize(n);
  return s;
}

std::string AllByteValues() {
  std::string s;
  for (int i = 0; i < 256 * 16; ++i) s += static_cast<char>(i);
  return s;
}

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const fs::path& p, const std::string& bytes) {
  std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}

// Every regular file below `dir`, by relative path, with its bytes.
std::map<std::string, std::string> FilesUnder(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) files[fs::relative(e.path(), dir).generic_string()] = ReadFile(e.path());
  return files;
}

// A fresh folder per test: the archive at its top, extraction into "out dir".
class UnzipFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quarn-unzip.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern;
    out = root / "out dir";
    fs::create_directory(out);
  }
  void TearDown() override { fs::remove_all(root); }

  std::string ArchivePath() const { return (root / "archive.zip").string(); }

  long Run(const std::string& zip, ExtractSettings s = {}) { return RunWith(*system, zip, std::move(s)); }
  long RunWith(FileOps& files, const std::string& zip, ExtractSettings s = {}) {
    WriteFile(ArchivePath(), zip);
    s.archive = ArchivePath();
    if (s.folder.empty()) s.folder = out.string();
    return Extract(files, s);
  }

  std::map<std::string, std::string> Extracted() const { return FilesUnder(out); }
  // Temporary files left anywhere in the test's folder.
  std::vector<std::string> Leftovers() const {
    std::vector<std::string> tmp;
    for (const auto& e : fs::recursive_directory_iterator(root))
      if (e.path().extension() == ".tmp") tmp.push_back(e.path().string());
    return tmp;
  }
  void ClearOut() {
    fs::remove_all(out);
    fs::create_directory(out);
  }

  std::unique_ptr<FileOps> system = MakeSystemFileOps();
  fs::path root, out;
};

using Files = std::map<std::string, std::string>;

// ---------------------------------------------------------------------------
// The name policy, as pure functions.

TEST(UnzipNames, PlainNameIsTheLastComponentAfterEitherSlash) {
  EXPECT_EQ(PlainName("a/b/c.txt"), "c.txt");
  EXPECT_EQ(PlainName("a\\b\\c.txt"), "c.txt");
  EXPECT_EQ(PlainName("a/b\\c"), "c");
  EXPECT_EQ(PlainName("c.txt"), "c.txt");
  EXPECT_EQ(PlainName("dir/"), "");
}

TEST(UnzipNames, OrdinaryNamesGoFlatUnderTheirPlainName) {
  const std::pair<const char*, const char*> cases[] = {
      {"QuarnSQLService.exe", "QuarnSQLService.exe"},
      {"bin/x64/QuarnSQLService.exe", "QuarnSQLService.exe"},
      {"docs\\read me.txt", "read me.txt"},
      {"./a.txt", "a.txt"},
      {"a/CON/b.txt", "b.txt"},  // only the written name is a file name
      {".hidden", ".hidden"},
      {"x..y", "x..y"},
      {"archive.tar.gz", "archive.tar.gz"},
      {" leading space.txt", " leading space.txt"},
      {"CONSOLE.txt", "CONSOLE.txt"},
      {"com10.txt", "com10.txt"},
      {"LPT.txt", "LPT.txt"},
      {"nul_.txt", "nul_.txt"},
      {"comX", "comX"},
      {"a\xC3\xA7\xC3\xA3o.txt", "a\xC3\xA7\xC3\xA3o.txt"},
  };
  for (const auto& [name, plain] : cases) EXPECT_EQ(TargetPath(name, false), std::vector<std::string>{plain}) << name;
}

TEST(UnzipNames, HostileNamesAreSkippedInBothModes) {
  const std::string hostile[] = {
      "",
      "dir/",
      "a/b/",
      "dir\\",
      ".",
      "..",
      "a/..",
      "..\\..\\x.exe",
      "../x.exe",
      "a/../../x.exe",
      "/etc/x.exe",
      "\\x.exe",
      "\\\\server\\share\\x.exe",
      "C:x.exe",
      "C:\\x.exe",
      "c:/w/x.exe",
      "a.exe:stream",
      "a.exe::$DATA",
      "CON",
      "con",
      "nul.txt",
      "NUL.exe",
      "Aux.tar.gz",
      "prn",
      "com1",
      "COM9.log",
      "lpt1",
      "LPT9.txt",
      "com0",
      "CON .txt",
      "conin$",
      "CONOUT$.x",
      "COM\xC2\xB9.txt",
      "x.exe.",
      "x.exe ",
      "a<b",
      "a>b",
      "a\"b",
      "a|b",
      "a?b",
      "a*b",
      "a\001b",
      "tab\there",
      "del\x7F",
      std::string("a\0b.exe", 7),
  };
  for (const std::string& name : hostile) {
    EXPECT_TRUE(TargetPath(name, false).empty()) << name;
    EXPECT_TRUE(TargetPath(name, true).empty()) << name;
  }
}

TEST(UnzipNames, RestoredFoldersStayInsideTheTarget) {
  using Path = std::vector<std::string>;
  EXPECT_EQ(TargetPath("a/b/c.txt", true), (Path{"a", "b", "c.txt"}));
  EXPECT_EQ(TargetPath("a\\b.txt", true), (Path{"a", "b.txt"}));
  EXPECT_EQ(TargetPath("a//b.txt", true), (Path{"a", "b.txt"}));
  EXPECT_EQ(TargetPath("./a/b.txt", true), (Path{"a", "b.txt"}));
  EXPECT_EQ(TargetPath("top.txt", true), (Path{"top.txt"}));
  // Every folder created must be a safe name too.
  for (const char* name : {"a/CON/b.txt", "a/b./c.txt", "a/b /c.txt", "a/x*y/c.txt", "a/../b.txt"})
    EXPECT_TRUE(TargetPath(name, true).empty()) << name;
}

TEST(UnzipNames, EntryNamesBecomeUtf8) {
  std::string utf8;
  ASSERT_TRUE(EntryNameToUtf8("relat\xA2rio.txt", false, utf8));  // code page 437
  EXPECT_EQ(utf8, "relat\xC3\xB3rio.txt");
  ASSERT_TRUE(EntryNameToUtf8("\x80\xE1\xFF", false, utf8));
  EXPECT_EQ(utf8, "\xC3\x87\xC3\x9F\xC2\xA0");
  ASSERT_TRUE(EntryNameToUtf8("plain.txt", false, utf8));
  EXPECT_EQ(utf8, "plain.txt");
  ASSERT_TRUE(EntryNameToUtf8("relat\xC3\xB3rio \xE2\x82\xAC \xF0\x9F\x98\x80", true, utf8));
  EXPECT_EQ(utf8, "relat\xC3\xB3rio \xE2\x82\xAC \xF0\x9F\x98\x80");
  for (const char* bad : {"\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xFF", "\xE2\x82", "\xF4\x90\x80\x80", "\x80"})
    EXPECT_FALSE(EntryNameToUtf8(bad, true, utf8)) << bad;
}

TEST(UnzipNames, IncludeListSelectsByPlainNameIgnoringCase) {
  EXPECT_TRUE(Included("", "anything.bin"));
  EXPECT_TRUE(Included(" ; | ", "anything.bin"));
  EXPECT_TRUE(Included("*.exe", "QuarnSQLService.EXE"));
  EXPECT_FALSE(Included("*.exe", "a.exe.txt"));
  EXPECT_FALSE(Included("*.exe", "exe"));
  EXPECT_TRUE(Included("*.exe|*.dll", "AUNZIP32.DLL"));
  EXPECT_TRUE(Included("readme.txt; *.ini", "Config.INI"));
  EXPECT_TRUE(Included(" *.exe ", "a.exe"));
  EXPECT_FALSE(Included("*.exe|*.dll", "a.ini"));
  EXPECT_TRUE(Included("Quarn*Service*.exe", "QuarnSQLService.exe"));
  EXPECT_TRUE(WildcardMatch("a?c.txt", "abc.txt"));
  EXPECT_TRUE(WildcardMatch("a?c.txt",
                            "a\xC3\x87"
                            "c.txt"));  // '?' is one character, not one byte
  EXPECT_FALSE(WildcardMatch("a?c.txt", "ac.txt"));
  EXPECT_FALSE(WildcardMatch("a?c.txt", "abbc.txt"));
  EXPECT_TRUE(WildcardMatch("*", ""));
  EXPECT_TRUE(WildcardMatch("**a**", "bab"));
  EXPECT_FALSE(WildcardMatch("*a*a*a*b", std::string(5000, 'a')));
}

// ---------------------------------------------------------------------------
// Archives that extract.

class UnzipRoundTrip : public UnzipFolder {};

TEST_F(UnzipRoundTrip, StoredAndDeflatedEntriesComeOutByteForByte) {
  ZipWriter z;
  const Files expected = {
      {"stored.txt", "linha 1\r\nlinha 2\r\n"},
      {"all bytes.bin", AllByteValues()},
      {"empty stored.txt", ""},
      {"empty deflated.txt", ""},
      {"random.bin", RandomBytes(3 << 20, 1)},         // incompressible: many 64 KiB reads
      {"repetitive.txt", Repetitive(5 << 20)},         // compressible: many writes per read
      {"stored big.bin", RandomBytes(1536 << 10, 2)},  // stored, many buffers
      {"blocks.bin", RandomBytes(200000, 3)},          // deflate made of uncompressed blocks
  };
  z.Stored("stored.txt", expected.at("stored.txt"));
  z.Deflated("all bytes.bin", expected.at("all bytes.bin"));
  z.Stored("empty stored.txt", "");
  z.Deflated("empty deflated.txt", "");
  z.Deflated("random.bin", expected.at("random.bin"));
  z.Deflated("repetitive.txt", expected.at("repetitive.txt"));
  z.Stored("stored big.bin", expected.at("stored big.bin"));
  z.DeflatedUncompressed("blocks.bin", expected.at("blocks.bin"));
  EXPECT_EQ(Run(z.Build()), 8);
  EXPECT_EQ(Extracted(), expected);
  EXPECT_TRUE(Leftovers().empty());
}

TEST_F(UnzipRoundTrip, EntriesUnderFoldersAreWrittenFlat) {
  ZipWriter z;
  z.Directory("bin/");
  z.Directory("bin/x64/");
  z.Deflated("bin/x64/QuarnSQLService.exe", "MZ program");
  z.Stored("docs\\read me.txt", "leia");
  EXPECT_EQ(Run(z.Build()), 2);
  EXPECT_EQ(Extracted(), (Files{{"QuarnSQLService.exe", "MZ program"}, {"read me.txt", "leia"}}));
  for (const auto& e : fs::directory_iterator(out)) EXPECT_FALSE(e.is_directory()) << e.path();
}

TEST_F(UnzipRoundTrip, TheLaterOfTwoEntriesWithOnePlainNameWins) {
  ZipWriter z;
  z.Stored("old/app.ini", "1");
  z.Stored("new/app.ini", "2");
  EXPECT_EQ(Run(z.Build()), 2);
  EXPECT_EQ(Extracted(), (Files{{"app.ini", "2"}}));
}

TEST_F(UnzipRoundTrip, TargetFolderWithATrailingSeparator) {
  ZipWriter z;
  z.Stored("a.txt", "a");
  ExtractSettings s;
  s.folder = out.string() + "/";
  EXPECT_EQ(Run(z.Build(), s), 1);
  EXPECT_EQ(Extracted(), (Files{{"a.txt", "a"}}));
}

TEST_F(UnzipRoundTrip, IncludeListExtractsOnlyMatchingEntries) {
  ZipWriter z;
  z.Stored("a.exe", "a");
  z.Stored("b.dll", "b");
  z.Deflated("docs/README.TXT", "r");
  z.Stored("c.ini", "c");
  z.Stored("c.bin", "?").method = 12;  // not selected, so not refused either
  ExtractSettings s;
  s.include = "*.exe|readme.*";
  EXPECT_EQ(Run(z.Build(), s), 2);
  EXPECT_EQ(Extracted(), (Files{{"a.exe", "a"}, {"README.TXT", "r"}}));
}

TEST_F(UnzipRoundTrip, RestoreStructureRecreatesFoldersInsideTheTarget) {
  ZipWriter z;
  z.Directory("docs/");
  z.Deflated("bin/x64/a.exe", "a");
  z.Stored("top.txt", "t");
  ExtractSettings s;
  s.restoreStructure = true;
  EXPECT_EQ(Run(z.Build(), s), 2);
  EXPECT_EQ(Extracted(), (Files{{"bin/x64/a.exe", "a"}, {"top.txt", "t"}}));
}

TEST_F(UnzipRoundTrip, NamesReachTheDiskAsUtf8) {
  ZipWriter z;
  z.Stored("relat\xA2rio.txt", "437");
  z.Stored("a\xC3\xA7\xC3\xA3o.txt", "utf8").flags = 0x0800;
  z.Stored("bad \xC3.txt", "x").flags = 0x0800;  // flagged UTF-8 but is not: skipped
  EXPECT_EQ(Run(z.Build()), 2);
  EXPECT_EQ(Extracted(), (Files{{"relat\xC3\xB3rio.txt", "437"}, {"a\xC3\xA7\xC3\xA3o.txt", "utf8"}}));
}

TEST_F(UnzipRoundTrip, EndRecordIsFoundBehindCommentsAndTrailingBytes) {
  ZipWriter z;
  z.Stored("a.txt", "a");
  EXPECT_EQ(Run(z.Build() + std::string(100, '\0')), 1);  // bytes appended after the archive

  // A comment holding what looks like an end record of an empty archive.
  ClearOut();
  std::string fake = "PK\x05\x06" + std::string(18, '\0');
  z.comment = "x" + fake + "tail";
  EXPECT_EQ(Run(z.Build()), 1);

  ClearOut();
  z.comment = RandomBytes(0xFFFF, 4);  // the longest comment there can be
  EXPECT_EQ(Run(z.Build()), 1);
  EXPECT_EQ(Extracted(), (Files{{"a.txt", "a"}}));

  ClearOut();
  EXPECT_EQ(Run(ZipWriter().Build()), 0);  // an empty archive
  EXPECT_TRUE(Extracted().empty());
}

// ---------------------------------------------------------------------------
// Archives as publishers' tools write them, made at test time by
// make_tool_archives.py: each must come out exactly as `unzip -j` writes it,
// and what the library cannot read must be refused without a file written.

class UnzipToolArchives : public UnzipFolder {};

// Single quotes suffice: the test's paths hold none.
std::string Quoted(const fs::path& p) { return "'" + p.string() + "'"; }

// Names with sizes and CRCs: a readable difference when a 150 KB file differs.
std::map<std::string, std::string> Digest(const Files& files) {
  std::map<std::string, std::string> d;
  for (const auto& [name, bytes] : files)
    d[name] = std::to_string(bytes.size()) + " bytes, crc " + std::to_string(testzip::Crc32(bytes));
  return d;
}

std::vector<fs::path> ZipsIn(const fs::path& dir) {
  std::vector<fs::path> zips;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().extension() == ".zip") zips.push_back(e.path());
  std::sort(zips.begin(), zips.end());
  return zips;
}

TEST_F(UnzipToolArchives, ExtractLikeUnzipOrAreRefusedWritingNothing) {
  // CI installs every tool; elsewhere an absent one is reported and skipped.
  const bool ci = getenv("CI") != nullptr;
  if (std::system("command -v unzip >/dev/null 2>&1") != 0) {
    if (ci) FAIL() << "unzip is not installed";
    GTEST_SKIP() << "unzip is not installed";
  }
  const fs::path made = root / "made";
  ASSERT_EQ(std::system(("python3 " + Quoted(QUARN_TOOL_ARCHIVES_SCRIPT) + " " + Quoted(made)).c_str()), 0);
  const std::string missing = ReadFile(made / "missing.txt");
  if (!missing.empty()) {
    if (ci) ADD_FAILURE() << "tools not installed:\n" << missing;
    std::cout << "[  NOTE    ] tools not installed, their archives not made:\n" << missing;
  }

  size_t extracted = 0, refused = 0;
  for (const fs::path& zip : ZipsIn(made / "ok")) {
    SCOPED_TRACE(zip.filename().string());
    const fs::path reference = root / "unzip";
    fs::remove_all(reference);
    fs::create_directory(reference);
    ASSERT_EQ(std::system(("unzip -qq -o -j " + Quoted(zip) + " -d " + Quoted(reference)).c_str()), 0);
    const Files expected = FilesUnder(reference);
    ASSERT_FALSE(expected.empty());
    ClearOut();
    ExtractSettings s;
    s.archive = zip.string();
    s.folder = out.string();
    EXPECT_EQ(Extract(*system, s), static_cast<long>(expected.size()));
    const Files got = Extracted();
    EXPECT_EQ(Digest(got), Digest(expected));
    EXPECT_TRUE(got == expected);
    ++extracted;
  }
  for (const fs::path& zip : ZipsIn(made / "refuse")) {
    SCOPED_TRACE(zip.filename().string());
    const std::string name = zip.filename().string();
    // A directory that cannot be found is no zip; everything else is an entry refused.
    const bool noDirectory = name.find("split") != std::string::npos || name.find("no-zip64-end") != std::string::npos;
    ClearOut();
    ExtractSettings s;
    s.archive = zip.string();
    s.folder = out.string();
    EXPECT_EQ(Extract(*system, s), noDirectory ? kUnzipNotZip : kUnzipCorruptEntry);
    EXPECT_TRUE(Extracted().empty());
    ++refused;
  }
  EXPECT_TRUE(Leftovers().empty());
  EXPECT_GT(extracted, 0u);
  std::cout << "[  NOTE    ] " << extracted << " tool archives extracted as unzip does, " << refused << " refused\n";
}

// ---------------------------------------------------------------------------
// Names meant to write elsewhere than the target folder.

class UnzipHostileNames : public UnzipFolder {};

TEST_F(UnzipHostileNames, AreSkippedWhileNormalEntriesAreWritten) {
  for (const bool restore : {false, true}) {
    SCOPED_TRACE(restore ? "restoring folders" : "flat");
    ClearOut();
    ZipWriter z;
    for (const std::string name : {"..\\..\\x.exe", "../x.exe", "sub/../../x.exe", "C:x.exe", "C:\\x.exe",
                                   "a.exe:stream", "CON", "nul.txt", "AUX.dll", "x.exe.", "dir/", "a*b.exe"})
      z.Stored(name, "evil");
    z.Deflated((root / "escaped.exe").string(), "evil");  // an absolute path
    z.Stored("good.txt", "good");
    z.Deflated("sub/good2.txt", "good2");
    ExtractSettings s;
    s.restoreStructure = restore;
    EXPECT_EQ(Run(z.Build(), s), 2);
    const std::string good2 = restore ? "out dir/sub/good2.txt" : "out dir/good2.txt";
    EXPECT_EQ(FilesUnder(root),
              (Files{{"archive.zip", ReadFile(ArchivePath())}, {"out dir/good.txt", "good"}, {good2, "good2"}}));
  }
}

// ---------------------------------------------------------------------------
// Entries whose data is wrong.

class UnzipCorruptEntry : public UnzipFolder {};

TEST_F(UnzipCorruptEntry, BadCrcFailsWithoutAFileUnderTheFinalName) {
  ZipWriter z;
  z.Stored("good.txt", "good");
  z.Deflated("bad.exe", RandomBytes(300000, 5)).crc ^= 1;
  z.Stored("after.txt", "after");
  EXPECT_EQ(Run(z.Build()), kUnzipCorruptEntry);
  EXPECT_FALSE(fs::exists(out / "bad.exe"));
  EXPECT_FALSE(fs::exists(out / "after.txt"));  // extraction stops at the first failure
  EXPECT_TRUE(Leftovers().empty());
}

TEST_F(UnzipCorruptEntry, AnExistingFileSurvivesACorruptReplacement) {
  const std::string program = Repetitive(400000);
  const std::pair<const char*, std::function<void(ZipWriter&)>> damage[] = {
      {"stored, wrong CRC", [&](ZipWriter& z) { z.Stored("app.exe", program).crc ^= 0x80000000; }},
      {"deflated, wrong CRC", [&](ZipWriter& z) { z.Deflated("app.exe", program).crc += 1; }},
      {"deflate stream damaged",
       [&](ZipWriter& z) {
         Entry& e = z.Deflated("app.exe", program);
         for (size_t i = e.payload.size() / 3; i < e.payload.size() / 3 + 64; ++i) e.payload[i] ^= 0x5A;
       }},
      {"deflate stream cut short",
       [&](ZipWriter& z) {
         Entry& e = z.Deflated("app.exe", program);
         e.payload.resize(e.payload.size() / 2);
         e.compressedSize = static_cast<uint32_t>(e.payload.size());
       }},
      {"declared size one more than the data", [&](ZipWriter& z) { z.Deflated("app.exe", program).size += 1; }},
      {"declared size one less than the data", [&](ZipWriter& z) { z.Deflated("app.exe", program).size -= 1; }},
      {"stored with sizes that differ", [&](ZipWriter& z) { z.Stored("app.exe", program).size += 10; }},
  };
  for (const auto& [what, make] : damage) {
    SCOPED_TRACE(what);
    ClearOut();
    WriteFile(out / "app.exe", "old program");
    ZipWriter z;
    make(z);
    EXPECT_EQ(Run(z.Build()), kUnzipCorruptEntry);
    EXPECT_EQ(Extracted(), (Files{{"app.exe", "old program"}}));
    EXPECT_TRUE(Leftovers().empty());
  }
}

TEST_F(UnzipCorruptEntry, UnreadableEntriesFailBeforeAnythingIsWritten) {
  const std::pair<const char*, std::function<void(Entry&)>> damage[] = {
      {"encrypted", [](Entry& e) { e.flags |= 1; }},
      {"method 12", [](Entry& e) { e.method = 12; }},
      {"method 99", [](Entry& e) { e.method = 99; }},
      {"ZIP64 size", [](Entry& e) { e.size = 0xFFFFFFFF; }},
      {"ZIP64 compressed size", [](Entry& e) { e.compressedSize = 0xFFFFFFFF; }},
      {"local header beyond the file", [](Entry& e) { e.localOffsetShift = 1 << 20; }},
      {"local header offset into the data", [](Entry& e) { e.localOffsetShift = 40; }},
      {"local header not a local header", [](Entry& e) { e.badLocalSignature = true; }},
      {"data running into the central directory", [](Entry& e) { e.compressedSize += 200; }},
  };
  for (const auto& [what, make] : damage) {
    SCOPED_TRACE(what);
    ClearOut();
    ZipWriter z;
    z.Stored("first.txt", "first");
    make(z.Deflated("second.bin", Repetitive(1000)));
    EXPECT_EQ(Run(z.Build()), kUnzipCorruptEntry);
    EXPECT_TRUE(Extracted().empty());
    EXPECT_TRUE(Leftovers().empty());
  }
}

TEST_F(UnzipCorruptEntry, DamagedDirectoryIsNotAZip) {
  ZipWriter z;
  z.Stored("first.txt", "first");
  z.Deflated("second.bin", Repetitive(1000));
  const std::string good = z.Build();
  const size_t end = z.EndRecordOffset();
  const uint32_t cdOffset = testzip::Read32(good, end + 16);
  const std::string zip64 = testzip::InfoZipZip64();
  const size_t record = zip64.find("PK\x06\x06"), locator = zip64.find("PK\x06\x07");
  ASSERT_EQ(Run(zip64), 2);
  const auto Patch64At = [](std::string& s, size_t at, uint32_t v) {
    testzip::Patch32(s, at, v), testzip::Patch32(s, at + 4, 0);
  };
  const std::pair<const char*, std::function<void(std::string&)>> damage[] = {
      {"directory beyond the file", [&](std::string& s) { testzip::Patch32(s, end + 16, 0x7FFFFFF0); }},
      {"directory longer than the file", [&](std::string& s) { testzip::Patch32(s, end + 12, 0x00FFFFFF); }},
      {"ZIP64 directory offset", [&](std::string& s) { testzip::Patch32(s, end + 16, 0xFFFFFFFF); }},
      {"more entries than the directory holds",
       [&](std::string& s) { testzip::Patch16(s, end + 8, 3), testzip::Patch16(s, end + 10, 3); }},
      {"entry count differs per disk", [&](std::string& s) { testzip::Patch16(s, end + 8, 1); }},
      {"second disk", [&](std::string& s) { testzip::Patch16(s, end + 4, 1); }},
      {"directory entry signature", [&](std::string& s) { s[cdOffset + 46 + 9] ^= 1; }},
      {"name running past the directory", [&](std::string& s) { testzip::Patch16(s, cdOffset + 46 + 9 + 28, 500); }},
      // The same faults in a ZIP64 archive's records, which then stand for the end record.
      {"ZIP64 locator pointing past itself", [&](std::string& s) { s = zip64, Patch64At(s, locator + 8, 0x7FFFFFF0); }},
      {"ZIP64 record signature", [&](std::string& s) { s = zip64, s[record + 1] ^= 1; }},
      {"ZIP64 record on a second disk", [&](std::string& s) { s = zip64, testzip::Patch32(s, record + 16, 1); }},
      {"ZIP64 directory beyond its record", [&](std::string& s) { s = zip64, Patch64At(s, record + 48, 0x200); }},
  };
  ASSERT_EQ(good.substr(cdOffset, 4), "PK\x01\x02");
  for (const auto& [what, make] : damage) {
    SCOPED_TRACE(what);
    ClearOut();
    std::string bad = good;
    make(bad);
    EXPECT_EQ(Run(bad), kUnzipNotZip);
    EXPECT_TRUE(Extracted().empty());
  }
}

TEST_F(UnzipCorruptEntry, WhatIsNoArchiveGivesANegativeResult) {
  ExtractSettings missing;
  missing.archive = (root / "no such.zip").string();
  missing.folder = out.string();
  EXPECT_EQ(Extract(*system, missing), kUnzipOpenFailed);
  ExtractSettings folder = missing;
  folder.archive = out.string();
  EXPECT_EQ(Extract(*system, folder), kUnzipOpenFailed);

  EXPECT_EQ(Run(""), kUnzipNotZip);
  EXPECT_EQ(Run(std::string(21, '\0')), kUnzipNotZip);
  EXPECT_EQ(Run(RandomBytes(65536, 6)), kUnzipNotZip);
  EXPECT_EQ(Run("<!DOCTYPE html><html><head><title>404 Not Found</title></head>"
                "<body><h1>Not Found</h1></body></html>\r\n"),
            kUnzipNotZip);
  EXPECT_TRUE(Extracted().empty());
}

TEST_F(UnzipCorruptEntry, EveryCutOfAnArchiveIsRefused) {
  ZipWriter z;
  z.Stored("a.txt", "alpha");
  z.Deflated("b.bin", RandomBytes(700, 7));
  z.Deflated("c/d.txt", Repetitive(3000));
  const std::string zip = z.Build();
  for (size_t keep = 0; keep < zip.size(); ++keep) {
    const long rc = Run(zip.substr(0, keep));
    EXPECT_LT(rc, 0) << keep;
  }
  EXPECT_TRUE(Extracted().empty());
  EXPECT_TRUE(Leftovers().empty());
}

// ---------------------------------------------------------------------------
// Size bounds.

class UnzipLimits : public UnzipFolder {};

TEST_F(UnzipLimits, AnEntryDeclaredOverTheEntryLimitIsRefusedBeforeWriting) {
  ZipWriter z;
  z.Stored("small.txt", "small");
  z.Deflated("bomb.bin", std::string(1000, '\0')).size = static_cast<uint32_t>(kMaxEntrySize + 1);
  EXPECT_EQ(Run(z.Build()), kUnzipTooLarge);
  EXPECT_TRUE(Extracted().empty());

  // At the limit the size is allowed; the lie is then found while inflating.
  z.entries.back().size = static_cast<uint32_t>(kMaxEntrySize);
  EXPECT_EQ(Run(z.Build()), kUnzipCorruptEntry);
}

TEST_F(UnzipLimits, AnArchiveDeclaredOverTheTotalLimitIsRefusedBeforeWriting) {
  ZipWriter z;
  for (int i = 0; i < 5; ++i) z.Deflated("part" + std::to_string(i), "x").size = static_cast<uint32_t>(250u << 20);
  EXPECT_EQ(Run(z.Build()), kUnzipTooLarge);
  EXPECT_TRUE(Extracted().empty());

  z.entries.pop_back();  // 4 x 256 MiB: exactly the total allowed
  for (Entry& e : z.entries) e.size = static_cast<uint32_t>(kMaxEntrySize);
  EXPECT_EQ(Run(z.Build()), kUnzipCorruptEntry);
}

TEST_F(UnzipLimits, MoreEntriesThanAManifestMayListAreRefusedBeforeWriting) {
  // Every entry counts, skipped ones too: the count bounds the work, not the output.
  ZipWriter z;
  z.Stored("good.txt", "good");
  for (uint64_t i = 1; i <= kMaxEntries; ++i) z.Stored("CON", "");
  EXPECT_EQ(Run(z.Build()), kUnzipTooLarge);
  EXPECT_TRUE(Extracted().empty());
  z.entries.pop_back();
  EXPECT_EQ(Run(z.Build()), 1);
}

TEST_F(UnzipLimits, SkippedEntriesDoNotCount) {
  ZipWriter z;
  z.Deflated("CON", "x").size = 0xFFFFFFF0;
  z.Deflated("other.bin", "x").size = 0xFFFFFFF0;
  z.Stored("good.txt", "good");
  ExtractSettings s;
  s.include = "*.txt";
  EXPECT_EQ(Run(z.Build(), s), 1);
}

// ---------------------------------------------------------------------------
// Replacing what the folder holds, and failures of the file system.

class UnzipOverwrite : public UnzipFolder {};

TEST_F(UnzipOverwrite, ExistingFilesAreReplacedWithoutAsking) {
  ZipWriter z;
  z.Deflated("app.exe", "new program");
  for (const short mode : {kOverwriteAlways, short{0}, short{1}, short{-1}, short{12}}) {
    SCOPED_TRACE(mode);
    WriteFile(out / "app.exe", "old program, longer than the new one");
    ExtractSettings s;
    s.overwrite = mode;
    EXPECT_EQ(Run(z.Build(), s), 1);
    EXPECT_EQ(Extracted(), (Files{{"app.exe", "new program"}}));
  }
}

TEST_F(UnzipOverwrite, NeverModeKeepsExistingFilesAndWritesTheRest) {
  WriteFile(out / "a.txt", "old");
  ZipWriter z;
  z.Stored("a.txt", "new");
  z.Stored("b.txt", "b");
  ExtractSettings s;
  s.overwrite = kOverwriteNever;
  EXPECT_EQ(Run(z.Build(), s), 1);
  EXPECT_EQ(Extracted(), (Files{{"a.txt", "old"}, {"b.txt", "b"}}));
}

TEST_F(UnzipOverwrite, FailedWritesAndMovesLeaveTheOldFileAndNoTemporary) {
  ZipWriter z;
  z.Deflated("app.exe", RandomBytes(1 << 20, 8));
  for (const bool failMove : {false, true}) {
    SCOPED_TRACE(failMove ? "move fails" : "write fails");
    WriteFile(out / "app.exe", "old program");
    WatchedFiles files(*system);
    files.failMove = failMove;
    if (!failMove) files.failWriteAfter = 100000;
    EXPECT_EQ(RunWith(files, z.Build()), kUnzipWriteFailed);
    EXPECT_EQ(Extracted(), (Files{{"app.exe", "old program"}}));
    EXPECT_TRUE(Leftovers().empty());
    EXPECT_TRUE(files.open.empty());
    EXPECT_TRUE(files.faults.empty()) << files.faults.front();
  }
}

TEST_F(UnzipOverwrite, FilesAreClosedBeforeTheyAreMovedOrRemoved) {
  WatchedFiles files(*system);
  ZipWriter z;
  z.Stored("a.txt", "a");
  z.Deflated("b.txt", "b").crc ^= 1;
  EXPECT_EQ(RunWith(files, z.Build()), kUnzipCorruptEntry);
  EXPECT_TRUE(files.open.empty());
  EXPECT_TRUE(files.faults.empty()) << files.faults.front();
}

TEST_F(UnzipOverwrite, InflatingStopsAtTheDeclaredSize) {
  ZipWriter z;
  z.Deflated("bomb.bin", std::string(32 << 20, '\0')).size = 100000;  // ~32 KiB holding 32 MiB
  WatchedFiles files(*system);
  EXPECT_EQ(RunWith(files, z.Build()), kUnzipCorruptEntry);
  EXPECT_LE(files.largestWrite, 100000u);
  EXPECT_TRUE(Extracted().empty());
}

TEST_F(UnzipOverwrite, ATargetFolderThatCannotBeWrittenFails) {
  ZipWriter z;
  z.Stored("a.txt", "a");
  ExtractSettings s;
  s.folder = (root / "no such folder").string();
  EXPECT_EQ(Run(z.Build(), s), kUnzipWriteFailed);
  s.folder = (root / "archive.zip").string();  // a file, not a folder
  EXPECT_EQ(Run(z.Build(), s), kUnzipWriteFailed);
  EXPECT_FALSE(fs::exists(root / "no such folder"));
}

// ---------------------------------------------------------------------------
// Random damage: whatever the bytes, extraction returns, writes only what the
// archive really held, keeps inside the target and leaves no temporary files.

class UnzipFuzz : public UnzipFolder {};

TEST_F(UnzipFuzz, DamagedArchivesNeverCrashOrLeaveForeignBytesOrTemporaryFiles) {
  ZipWriter z;
  z.Stored("a.txt", "alpha");
  z.Deflated("b.bin", RandomBytes(3000, 9));
  z.Deflated("c/d.txt", Repetitive(20000));
  z.Directory("e/");
  z.Stored("e/f.ini", "[f]\r\n");
  struct Seed {
    const char* what;
    std::string zip;
    std::set<std::string> contents;  // the only bytes a file may hold afterwards
    size_t directory;                // where the central directory starts
    bool everyByte;                  // each byte damaged and each cut once, or random damage
  };
  std::set<std::string> zip64Contents;
  for (const auto& [name, bytes] : testzip::InfoZipZip64Files()) zip64Contents.insert(bytes);
  const std::string zip64 = testzip::InfoZipZip64();
  const Seed seeds[] = {
      {"written here",
       z.Build(),
       {"alpha", RandomBytes(3000, 9), Repetitive(20000), "", "[f]\r\n"},
       testzip::Read32(z.Build(), z.EndRecordOffset() + 16),
       false},
      {"ZIP64 by Info-ZIP", zip64, zip64Contents, zip64.find("PK\x01\x02"), true},
  };

  std::mt19937 gen(20261207);
  auto below = [&](size_t n) { return static_cast<size_t>(gen() % n); };
  for (const Seed& seed : seeds) {
    SCOPED_TRACE(seed.what);
    const std::string& good = seed.zip;
    const size_t rounds = seed.everyByte ? 2 * good.size() : 2000;
    for (size_t round = 0; round < rounds; ++round) {
      std::string bad = good;
      if (seed.everyByte && round < good.size()) {
        bad[round] = static_cast<char>(bad[round] ^ (1 + below(255)));
      } else if (seed.everyByte) {
        bad.resize(round - good.size());
      } else {
        for (size_t flips = 1 + below(4); flips > 0; --flips) {
          // Half of the damage goes to the directory and end records, where the parsing is.
          const size_t at = below(2) ? below(bad.size()) : seed.directory + below(bad.size() - seed.directory);
          bad[at] = static_cast<char>(bad[at] ^ (1 + below(255)));
        }
        if (below(10) == 0) bad.resize(below(bad.size()));
      }
      ClearOut();
      ExtractSettings s;
      s.restoreStructure = round % 2 == 1;
      const long rc = Run(bad, s);
      ASSERT_GE(rc, -5) << round;
      ASSERT_LE(rc, 5) << round;
      ASSERT_TRUE(Leftovers().empty()) << round;
      for (const auto& [name, bytes] : Extracted()) ASSERT_TRUE(seed.contents.count(bytes)) << round << " " << name;
      for (const auto& e : fs::directory_iterator(root))
        ASSERT_TRUE(e.path() == out || e.path() == ArchivePath()) << round << " " << e.path();
    }
  }
}

}  // namespace
}  // namespace quarn::unzip
