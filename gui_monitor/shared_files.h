#pragma once
// How the GUI monitor reads the suite's files: opened with full sharing and
// closed at once, so the services never find it in their way.
#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace quarn::gui {

// The suite's file names are ASCII: widening is a copy.
inline std::wstring Wide(std::string_view ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// The folder of the running program file.
std::wstring AppFolder();

// The file as last seen; any difference means it changed (or went, or came back).
struct FileState {
  bool exists = false;
  ULONGLONG size = 0;
  FILETIME written{};
  FILETIME created{};
  bool operator==(const FileState& o) const {
    return exists == o.exists && size == o.size && CompareFileTime(&written, &o.written) == 0 &&
           CompareFileTime(&created, &o.created) == 0;
  }
  bool operator!=(const FileState& o) const { return !(*this == o); }
};
FileState StateOf(const std::wstring& path);

// Reads at most the last maxBytes of a file without locking it. A read that
// starts inside the file drops the cut line it lands in.
bool ReadShared(const std::wstring& path, std::string& out, int64_t maxBytes);

// The files are written in the system's ANSI code page; so they are read.
std::wstring FromAnsi(std::string_view ansi);
std::wstring FromUtf8(const std::string& utf8);

}  // namespace quarn::gui
