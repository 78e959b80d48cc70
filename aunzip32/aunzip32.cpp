// The DLL's exports: settings kept between calls, and addUNZIP running the
// portable extraction over the Win32 file layer.
#include "aunzip32/aunzip32.h"

#include <new>
#include <string>

#include "aunzip32/extract.h"

namespace {

using namespace quarn::unzip;

// The caller's ANSI text as UTF-8, the form the extraction works in.
std::string AnsiToUtf8(const char* ansi) {
  const int n = MultiByteToWideChar(CP_ACP, 0, ansi, -1, nullptr, 0);
  if (n <= 1) return {};
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, ansi, -1, wide.data(), n);
  const int m = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (m <= 1) return {};
  std::string utf8(static_cast<size_t>(m), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, utf8.data(), m, nullptr, nullptr);
  utf8.resize(static_cast<size_t>(m - 1));
  return utf8;
}

ExtractSettings g_settings;

// Stores a string setting; nothing crosses the C boundary as an exception.
short SetText(std::string ExtractSettings::*field, const char* value) {
  if (!value) return static_cast<short>(kUnzipBadArgument);
  try {
    g_settings.*field = AnsiToUtf8(value);
    return 0;
  } catch (...) {
    return static_cast<short>(kUnzipInternalError);
  }
}

}  // namespace

extern "C" {

short WINAPI addUNZIP_Overwrite(short mode) {
  g_settings.overwrite = mode;
  return 0;
}

short WINAPI addUNZIP_ArchiveName(const char* path) { return SetText(&ExtractSettings::archive, path); }

short WINAPI addUNZIP_Include(const char* list) { return SetText(&ExtractSettings::include, list); }

short WINAPI addUNZIP_ExtractTo(const char* folder) { return SetText(&ExtractSettings::folder, folder); }

short WINAPI addUNZIP_RestoreStructure(short restore) {
  g_settings.restoreStructure = restore != 0;
  return 0;
}

long WINAPI addUNZIP(void) {
  try {
    const std::unique_ptr<FileOps> files = MakeSystemFileOps();
    return Extract(*files, g_settings);
  } catch (...) {
    return kUnzipInternalError;
  }
}

}  // extern "C"
