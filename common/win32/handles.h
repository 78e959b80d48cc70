#pragma once
// Owning wrappers for Win32 handles: one alias per kind, each with its own empty value.
#include <windows.h>

#include <utility>

namespace quarn::win {

template <typename T, T Invalid, typename Close>
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(T h) : h_(h) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& o) noexcept : h_(std::exchange(o.h_, Invalid)) {}
  UniqueHandle& operator=(UniqueHandle&& o) noexcept {
    if (this != &o) reset(std::exchange(o.h_, Invalid));
    return *this;
  }
  ~UniqueHandle() { reset(); }

  T get() const { return h_; }
  explicit operator bool() const { return h_ != Invalid; }
  void reset(T h = Invalid) {
    if (h_ != Invalid) Close{}(h_);
    h_ = h;
  }
  [[nodiscard]] T release() { return std::exchange(h_, Invalid); }

 private:
  T h_ = Invalid;
};

struct CloseKernel {
  void operator()(HANDLE h) const { ::CloseHandle(h); }
};
struct CloseService {
  void operator()(SC_HANDLE h) const { ::CloseServiceHandle(h); }
};
struct CloseModule {
  void operator()(HMODULE h) const { ::FreeLibrary(h); }
};
struct CloseWindow {
  void operator()(HWND h) const { ::DestroyWindow(h); }
};
struct CloseEventSource {
  void operator()(HANDLE h) const { ::DeregisterEventSource(h); }
};
struct CloseRegKey {
  void operator()(HKEY h) const { ::RegCloseKey(h); }
};
struct CloseFind {
  void operator()(HANDLE h) const { ::FindClose(h); }
};
struct DeleteGdiObject {
  void operator()(HGDIOBJ h) const { ::DeleteObject(h); }
};
struct DeleteMemoryDc {
  void operator()(HDC h) const { ::DeleteDC(h); }
};
struct FreeLocal {
  void operator()(void* p) const { ::LocalFree(p); }
};

// Handles whose close is a function found at run time, in a library loaded on
// demand (WinHTTP, CNG): the handle carries that function with it.
template <typename T, typename Close>
class UniqueBound {
 public:
  UniqueBound() = default;
  UniqueBound(T h, Close close) : h_(h), close_(close) {}
  UniqueBound(const UniqueBound&) = delete;
  UniqueBound& operator=(const UniqueBound&) = delete;
  UniqueBound(UniqueBound&& o) noexcept : h_(std::exchange(o.h_, nullptr)), close_(o.close_) {}
  UniqueBound& operator=(UniqueBound&& o) noexcept {
    if (this != &o) {
      reset();
      h_ = std::exchange(o.h_, nullptr);
      close_ = o.close_;
    }
    return *this;
  }
  ~UniqueBound() { reset(); }

  T get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }
  void reset() {
    if (h_ != nullptr) close_(h_);
    h_ = nullptr;
  }

 private:
  T h_ = nullptr;
  Close close_{};
};

// Handles whose empty value is NULL: events, threads, processes, mutexes, tokens.
using UniqueKernel = UniqueHandle<HANDLE, nullptr, CloseKernel>;
// Handles from CreateFile, whose empty value is INVALID_HANDLE_VALUE.
struct UniqueFile {
  UniqueFile() = default;
  explicit UniqueFile(HANDLE h) : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
  HANDLE get() const { return h_.get(); }
  explicit operator bool() const { return static_cast<bool>(h_); }
  UniqueKernel h_;
};
using UniqueServiceHandle = UniqueHandle<SC_HANDLE, nullptr, CloseService>;
using UniqueModule = UniqueHandle<HMODULE, nullptr, CloseModule>;
using UniqueWindow = UniqueHandle<HWND, nullptr, CloseWindow>;
using UniqueEventSource = UniqueHandle<HANDLE, nullptr, CloseEventSource>;
using UniqueRegKey = UniqueHandle<HKEY, nullptr, CloseRegKey>;
// From FindFirstFileW, through FindFirst: empty when nothing was found (GetLastError says why).
using UniqueFind = UniqueHandle<HANDLE, nullptr, CloseFind>;
inline UniqueFind FindFirst(const wchar_t* pattern, WIN32_FIND_DATAW* found) {
  HANDLE h = ::FindFirstFileW(pattern, found);
  return UniqueFind(h == INVALID_HANDLE_VALUE ? nullptr : h);
}
// GDI objects made by the program (fonts, brushes, bitmaps), and memory DCs.
template <typename T>
using UniqueGdi = UniqueHandle<T, nullptr, DeleteGdiObject>;
using UniqueFont = UniqueGdi<HFONT>;
using UniqueBrush = UniqueGdi<HBRUSH>;
using UniqueBitmap = UniqueGdi<HBITMAP>;
using UniqueMemoryDc = UniqueHandle<HDC, nullptr, DeleteMemoryDc>;
// Memory the system allocated with LocalAlloc for the caller (texts, security
// descriptors, argument vectors).
template <typename T>
using UniqueLocal = UniqueHandle<T, nullptr, FreeLocal>;

// A window's DC (or the screen's, for a null window) from GetDC, given back when it goes.
class WindowDc {
 public:
  explicit WindowDc(HWND window) : window_(window), dc_(::GetDC(window)) {}
  WindowDc(const WindowDc&) = delete;
  WindowDc& operator=(const WindowDc&) = delete;
  ~WindowDc() {
    if (dc_) ::ReleaseDC(window_, dc_);
  }
  HDC get() const { return dc_; }
  explicit operator bool() const { return dc_ != nullptr; }

 private:
  HWND window_;
  HDC dc_;
};

// WinHTTP's handles (HINTERNET), closed by the WinHttpCloseHandle bound at run time.
using UniqueInternet = UniqueBound<void*, BOOL(WINAPI*)(void*)>;
// CNG's keys and hashes, destroyed by the BCryptDestroyKey or BCryptDestroyHash
// bound at run time.
using UniqueCngObject = UniqueBound<void*, LONG(WINAPI*)(void*)>;
using UniqueCngKey = UniqueCngObject;
using UniqueCngHash = UniqueCngObject;
// CNG's algorithm providers, closed by the BCryptCloseAlgorithmProvider bound at run time.
struct CloseCngAlgorithm {
  LONG(WINAPI* close)(void*, ULONG) = nullptr;
  void operator()(void* h) const { close(h, 0); }
};
using UniqueCngAlgorithm = UniqueBound<void*, CloseCngAlgorithm>;

}  // namespace quarn::win
