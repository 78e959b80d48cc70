#pragma once
// Library search for the suite's programs, which run as LocalSystem or with
// administrator rights from folders and current folders others may write to.
#include <windows.h>

#include <string>
#include <type_traits>

#include "common/errors.h"
#include "common/win32/handles.h"

namespace quarn::win {

// An entry point as the function type it is called through: through
// void(*)(), the one cast from FARPROC the compiler takes as deliberate.
template <typename Fn>
Fn FunctionAs(FARPROC entry) {
  static_assert(std::is_pointer_v<Fn>);
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(entry));
}
// Null when the library has no such entry point.
template <typename Fn>
Fn EntryPointOrNull(HMODULE module, const char* name) {
  return FunctionAs<Fn>(GetProcAddress(module, name));
}

// An entry point of a loaded library; a missing one raises the runtime's 453
// naming it and the library, as a Declare of a missing entry point does.
inline FARPROC EntryPoint(HMODULE module, const char* name, const std::string& library) {
  FARPROC f = GetProcAddress(module, name);
  if (!f)
    throw VbError(kErrEntryPointNotFound,
                  std::string("Não é possível encontrar o ponto de entrada ") + name + " da DLL em " + library);
  return f;
}
template <typename Fn>
void BindEntryPoint(Fn& fn, HMODULE module, const char* name, const std::string& library) {
  fn = FunctionAs<Fn>(EntryPoint(module, name, library));
}

// A library of the suite, by its full path: its own dependencies from its
// folder and the system folder only, never the current folder or PATH. Null,
// with the load's error as the last error, when it cannot be loaded.
inline UniqueModule SuiteLibrary(const std::wstring& path) {
  UniqueModule m(
      LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32));
  if (!m && GetLastError() == ERROR_INVALID_PARAMETER)  // Windows 7 without its library-search update
    m.reset(LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
  return m;
}

// A library of Windows itself, from the system folder and nowhere else;
// raises "file not found" naming it when it cannot be loaded.
inline UniqueModule SystemLibrary(const wchar_t* name) {
  UniqueModule m(LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
  if (!m) {
    std::string narrow;
    for (const wchar_t* c = name; *c; ++c) narrow += static_cast<char>(*c);  // the system's names are ASCII
    throw Raise(kErrFileNotFound, narrow);
  }
  return m;
}

// Called first thing in every entry point: from here on a library loaded by
// name (a delay-loaded system library included) comes from the system folder
// only, never from the program's folder, the current folder or PATH.
inline void LimitLibrarySearchToSystemFolder() {
  // Resolved at run time: Windows 7 has the call only with its library-search update.
  using SetDefault = BOOL(WINAPI*)(DWORD);
  const auto set = EntryPointOrNull<SetDefault>(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
  if (set && set(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
  SetDllDirectoryW(L"");  // without it, at least the current folder leaves the search
}

}  // namespace quarn::win
