#pragma once
// Win32 implementations of the portable core's file, text and time ports.
#include <windows.h>

#include <string>

#include "common/ansi_text.h"
#include "common/errors.h"
#include "common/file_system.h"
#include "common/time_text.h"

namespace quarn::win {

std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view wide);

// The text of a message code, without the trailing line break: from `module`'s
// message table when given (WinHTTP keeps its own), else the system's. Empty
// when there is none. Every program of the suite asks here.
std::string SystemMessage(DWORD code, HMODULE module = nullptr);
// The system's text for a Win32 error code, or "Erro <code>".
std::string ErrorDescription(DWORD code);
// A VbError carrying a Win32 error code and its description.
VbError Win32Error(DWORD code);
// The runtime file error matching a Win32 error code.
VbError FileErrorFromWin32(DWORD code);

// Converts through the system's ANSI code page (CP_ACP).
class AcpCodec final : public TextCodec {
 public:
  std::string ToAnsi(std::string_view utf8) const override;
  std::string FromAnsi(std::string_view ansi) const override;
};

class Win32FileSystem final : public FileSystem {
 public:
  bool FileExists(const std::string& path) override;
  bool DirExists(const std::string& path) override;
  void CreateDir(const std::string& path) override;
  std::string ReadAll(const std::string& path) override;
  void WriteAll(const std::string& path, std::string_view bytes) override;
  void Append(const std::string& path, std::string_view bytes) override;
  void Delete(const std::string& path) override;
  void Rename(const std::string& from, const std::string& to) override;
  void Flush(const std::string& path) override;
  void DurableRename(const std::string& from, const std::string& to) override;
  FileStamp Stamp(const std::string& path) override;
  std::vector<std::string> ListFiles(const std::string& folder) override;
  void RemoveDir(const std::string& path) override;
  LocalTime LastModified(const std::string& path) override;
};

class Win32Clock final : public Clock {
 public:
  LocalTime Now() override;
};

class Win32DateFormat final : public DateFormat {
 public:
  std::string GeneralDate(const LocalTime& t) override;
  std::string LogStamp(const LocalTime& t) override;
  bool ParseDate(const std::string& text, LocalTime& out) override;
};

// The folder and the name (without extension) of the running program file.
void ModulePath(std::string& folder, std::string& nameWithoutExt, std::string* fullPath = nullptr);

// A program's main window class: the arrow cursor, `background` a system colour
// index (COLOR_BTNFACE, COLOR_WINDOW), the icon optional.
bool RegisterMainWindowClass(HINSTANCE instance, const wchar_t* name, WNDPROC proc, int background,
                             HICON icon = nullptr);

}  // namespace quarn::win
