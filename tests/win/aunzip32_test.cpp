// The real AUNZIP32.DLL under Wine, bound the way the monitor binds it: by
// name, six exports called in order, then the files on disk are checked.
#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <string>

#include "common/win32/handles.h"
#include "aunzip32/aunzip32.h"
#include "fakes/zip_samples.h"
#include "fakes/zip_writer.h"
#include "win_test_util.h"

namespace quarn {
namespace {

using namespace quarn::unzip;
using testzip::ZipWriter;

std::string Ansi(const std::wstring& wide) {
  const int n = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, s.data(), n, nullptr, nullptr);
  s.resize(static_cast<size_t>(n - 1));
  return s;
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
  win::UniqueFile f(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  ASSERT_TRUE(f) << GetLastError();
  DWORD put = 0;
  ASSERT_TRUE(WriteFile(f.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr));
}

// The files directly in a folder, by name, with their bytes; folders as "<dir>".
std::map<std::wstring, std::string> Listing(const std::wstring& folder) {
  std::map<std::wstring, std::string> files;
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((folder + L"\\*").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return files;
  do {
    const std::wstring name = fd.cFileName;
    if (name == L"." || name == L"..") continue;
    files[name] =
        (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? "<dir>" : wintest::ReadFileBytes(folder + L"\\" + name);
  } while (FindNextFileW(h, &fd));
  FindClose(h);
  return files;
}

std::string RandomBytes(size_t n) {
  std::string s(n, '\0');
  uint32_t x = 2463534242u;
  for (auto& c : s) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    c = static_cast<char>(x);
  }
  return s;
}

using Files = std::map<std::wstring, std::string>;

class Aunzip32Dll : public ::testing::Test {
 protected:
  void SetUp() override {
    // As the monitor does: the bare name, found on the DLL search path.
    SetDllDirectoryW(wintest::BinFolder().c_str());
    dll_.reset(LoadLibraryA("aunzip32.dll"));
    SetDllDirectoryW(nullptr);
    ASSERT_TRUE(dll_) << GetLastError();
    wchar_t loaded[MAX_PATH];
    GetModuleFileNameW(dll_.get(), loaded, MAX_PATH);
    ASSERT_EQ(lstrcmpiW(loaded, (wintest::BinFolder() + L"\\AUNZIP32.DLL").c_str()), 0) << Ansi(loaded);

    overwrite_ = Bind<AddUnzipOverwriteFn>("addUNZIP_Overwrite");
    archiveName_ = Bind<AddUnzipTextFn>("addUNZIP_ArchiveName");
    include_ = Bind<AddUnzipTextFn>("addUNZIP_Include");
    extractTo_ = Bind<AddUnzipTextFn>("addUNZIP_ExtractTo");
    restore_ = Bind<AddUnzipRestoreStructureFn>("addUNZIP_RestoreStructure");
    unzip_ = Bind<AddUnzipFn>("addUNZIP");
    archives_ = wintest::FreshFolder(L"unzip archives");
  }

  template <typename Fn>
  Fn Bind(const char* name) {
    FARPROC p = GetProcAddress(dll_.get(), name);
    EXPECT_NE(p, nullptr) << name;
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(p));
  }

  // The monitor's sequence of calls, on ANSI paths.
  long Unzip(const std::string& archive, const std::string& folder, short mode = kOverwriteAlways,
             const std::string& include = "", short restore = kRestoreFalse) {
    EXPECT_EQ(overwrite_(mode), 0);
    EXPECT_EQ(archiveName_(archive.c_str()), 0);
    EXPECT_EQ(include_(include.c_str()), 0);
    EXPECT_EQ(extractTo_(folder.c_str()), 0);
    EXPECT_EQ(restore_(restore), 0);
    return unzip_();
  }
  // Writes the archive beside the others and extracts it into folder.
  long UnzipBytes(const std::string& zip, const std::wstring& folder, short mode = kOverwriteAlways,
                  const std::string& include = "", short restore = kRestoreFalse) {
    const std::wstring path = archives_ + L"\\update " + std::to_wstring(++count_) + L".zip";
    WriteBytes(path, zip);
    return Unzip(Ansi(path), Ansi(folder), mode, include, restore);
  }

  win::UniqueModule dll_;
  AddUnzipOverwriteFn overwrite_ = nullptr;
  AddUnzipTextFn archiveName_ = nullptr, include_ = nullptr, extractTo_ = nullptr;
  AddUnzipRestoreStructureFn restore_ = nullptr;
  AddUnzipFn unzip_ = nullptr;
  std::wstring archives_;
  int count_ = 0;
};

TEST_F(Aunzip32Dll, ExtractsFlatIntoAFolderWhoseNameHoldsASpace) {
  const std::wstring folder = wintest::FreshFolder(L"unzip flat");
  const std::string program = RandomBytes(300000);  // several deflate blocks, several buffers
  ZipWriter z;
  z.Directory("bin/");
  z.DeflatedUncompressed("bin/x64/QuarnSQLService.exe", program);
  z.Stored("docs\\leia-me.txt", "leia\r\n");
  z.Stored("vazio.txt", "");
  EXPECT_EQ(UnzipBytes(z.Build(), folder), 3);
  EXPECT_EQ(Listing(folder),
            (Files{{L"QuarnSQLService.exe", program}, {L"leia-me.txt", "leia\r\n"}, {L"vazio.txt", ""}}));
}

TEST_F(Aunzip32Dll, ReadsAForcedZip64ArchiveAsInfoZipWroteIt) {
  const std::wstring folder = wintest::FreshFolder(L"unzip zip64");
  EXPECT_EQ(UnzipBytes(testzip::InfoZipZip64(), folder), 2);
  Files expected;
  for (const auto& [name, bytes] : testzip::InfoZipZip64Files())
    expected[std::wstring(name.begin(), name.end())] = bytes;
  EXPECT_EQ(Listing(folder), expected);
}

TEST_F(Aunzip32Dll, ReplacesAnExistingFileWithoutAsking) {
  const std::wstring folder = wintest::FreshFolder(L"unzip replace");
  WriteBytes(folder + L"\\QuarnSQLService.exe", "old program, longer than the new one");
  ZipWriter z;
  z.DeflatedUncompressed("QuarnSQLService.exe", "new program");
  EXPECT_EQ(UnzipBytes(z.Build(), folder + L"\\"), 1);  // with a trailing backslash
  EXPECT_EQ(Listing(folder), (Files{{L"QuarnSQLService.exe", "new program"}}));

  // The one mode that keeps what is there.
  WriteBytes(folder + L"\\QuarnSQLService.exe", "kept");
  EXPECT_EQ(UnzipBytes(z.Build(), folder, kOverwriteNever), 0);
  EXPECT_EQ(Listing(folder), (Files{{L"QuarnSQLService.exe", "kept"}}));
}

TEST_F(Aunzip32Dll, ACorruptEntryLeavesTheOldFileIntact) {
  const std::wstring folder = wintest::FreshFolder(L"unzip corrupt");
  ZipWriter badCrc;
  badCrc.Stored("app.exe", RandomBytes(100000)).crc ^= 1;
  ZipWriter badStream;
  badStream.DeflatedUncompressed("app.exe", RandomBytes(100000)).payload[3] ^= 0xFF;  // block length check
  for (const ZipWriter* z : {&badCrc, &badStream}) {
    WriteBytes(folder + L"\\app.exe", "old program");
    EXPECT_EQ(UnzipBytes(z->Build(), folder), kUnzipCorruptEntry);
    EXPECT_EQ(Listing(folder), (Files{{L"app.exe", "old program"}}));  // and no temporary file
  }
}

TEST_F(Aunzip32Dll, HostileNamesAreSkipped) {
  for (const short restore : {kRestoreFalse, kRestoreTrue}) {
    const std::wstring folder = wintest::FreshFolder(L"unzip hostile");
    ZipWriter z;
    for (const char* name :
         {"..\\..\\quarn-evil.exe", "../quarn-evil.exe", "C:quarn-evil.exe", "C:\\quarn-evil.exe", "\\quarn-evil.exe",
          "good.txt:stream", "CON", "nul.txt", "COM1.exe", "quarn-evil.exe.", "dir/"})
      z.Stored(name, "evil");
    z.Stored("good.txt", "good");
    EXPECT_EQ(UnzipBytes(z.Build(), folder, kOverwriteAlways, "", restore), 1);
    EXPECT_EQ(Listing(folder), (Files{{L"good.txt", "good"}}));
    EXPECT_FALSE(wintest::Exists(L"C:\\Quarn Tests\\quarn-evil.exe"));
    EXPECT_FALSE(wintest::Exists(L"C:\\quarn-evil.exe"));
  }
}

TEST_F(Aunzip32Dll, WhatIsNoArchiveGivesANegativeResult) {
  const std::wstring folder = wintest::FreshFolder(L"unzip refused");
  EXPECT_EQ(Unzip(Ansi(archives_ + L"\\no such.zip"), Ansi(folder)), kUnzipOpenFailed);
  EXPECT_EQ(UnzipBytes("<html><body><h1>404 Not Found</h1></body></html>", folder), kUnzipNotZip);
  EXPECT_EQ(UnzipBytes("", folder), kUnzipNotZip);
  ZipWriter z;
  z.Stored("a.txt", "a");
  const std::string zip = z.Build();
  EXPECT_EQ(UnzipBytes(zip.substr(0, zip.size() - 10), folder), kUnzipNotZip);
  EXPECT_EQ(UnzipBytes(zip, folder + L"\\no such folder"), kUnzipWriteFailed);
  EXPECT_TRUE(Listing(folder).empty());

  EXPECT_EQ(archiveName_(nullptr), kUnzipBadArgument);
  EXPECT_EQ(include_(nullptr), kUnzipBadArgument);
  EXPECT_EQ(extractTo_(nullptr), kUnzipBadArgument);
}

TEST_F(Aunzip32Dll, AnsiPathsAndEntryNamesReachTheRightFiles) {
  const std::wstring folder = wintest::FreshFolder(L"unzip a\u00e7\u00e3o");
  ZipWriter z;
  z.Stored("relat\xA2rio.txt", "437");                                // code page 437
  z.Stored("configura\xC3\xA7\xC3\xA3o.ini", "utf8").flags = 0x0800;  // flagged UTF-8
  EXPECT_EQ(UnzipBytes(z.Build(), folder), 2);
  EXPECT_EQ(Listing(folder), (Files{{L"relat\u00f3rio.txt", "437"}, {L"configura\u00e7\u00e3o.ini", "utf8"}}));
}

TEST_F(Aunzip32Dll, IncludeListAndRestoredFolders) {
  const std::wstring folder = wintest::FreshFolder(L"unzip restore");
  DeleteFileW((folder + L"\\bin\\x64\\a.exe").c_str());
  RemoveDirectoryW((folder + L"\\bin\\x64").c_str());
  RemoveDirectoryW((folder + L"\\bin").c_str());
  ZipWriter z;
  z.Stored("bin/x64/a.exe", "a");
  z.Stored("b.txt", "b");
  EXPECT_EQ(UnzipBytes(z.Build(), folder, kOverwriteAlways, "*.EXE|*.dll", kRestoreTrue), 1);
  EXPECT_EQ(Listing(folder), (Files{{L"bin", "<dir>"}}));
  EXPECT_EQ(Listing(folder + L"\\bin\\x64"), (Files{{L"a.exe", "a"}}));
}

}  // namespace
}  // namespace quarn
