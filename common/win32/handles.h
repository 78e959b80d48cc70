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

struct CloseKernel { void operator()(HANDLE h) const { ::CloseHandle(h); } };
struct CloseService { void operator()(SC_HANDLE h) const { ::CloseServiceHandle(h); } };
struct CloseModule { void operator()(HMODULE h) const { ::FreeLibrary(h); } };
struct CloseWindow { void operator()(HWND h) const { ::DestroyWindow(h); } };
struct CloseEventSource { void operator()(HANDLE h) const { ::DeregisterEventSource(h); } };

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

}  // namespace quarn::win
