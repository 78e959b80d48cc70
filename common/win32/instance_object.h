#pragma once
// The named object that marks a running copy of a program. Anyone may create an
// object of a given name in Global\ first; only one owned by Administrators or
// SYSTEM (ours are) counts as another copy. A squatted name is passed over for
// the next of a few alternatives, so squatting keeps no copy of ours from
// running and two of ours still see each other.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <string>

#include "common/single_instance.h"
#include "common/update_lock.h"
#include "common/win32/handles.h"
#include "common/win32/sid_text.h"

namespace quarn::win {

class InstanceObject {
 public:
  static constexpr int kAlternatives = 8;

  // True when another copy of ours holds `name` (a "Global\..." name).
  bool AnotherCopyRuns(const std::wstring& name) {
    const bool admin = CallerIsAdministrator();
    for (int i = 0; i < kAlternatives; ++i) {
      const std::wstring n = i == 0 ? name : name + L"." + std::to_wstring(i);
      object_.reset(Create(n));
      const DWORD error = GetLastError();
      const bool got = static_cast<bool>(object_);
      const bool trusted = got && OwnerTrusted(object_.get());
      if (!InstanceSquatted(got, error, trusted, admin)) return quarn::AnotherCopyRuns(got, error, trusted, admin);
      object_.reset();
    }
    return false;  // every name squatted: run rather than be kept out
  }

  // A mutex of that name, owned by Administrators, full access for SYSTEM and
  // Administrators only (or opened, when it exists).
  static HANDLE Create(const std::wstring& name) {
    // Owned by Administrators, full access for SYSTEM and Administrators only.
    // An account that may not name Administrators as owner gets its own default.
    for (const wchar_t* sddl : {L"O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)", L"D:P(A;;GA;;;SY)(A;;GA;;;BA)"}) {
      SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, FALSE};
      if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sa.lpSecurityDescriptor,
                                                                nullptr))
        continue;
      HANDLE h = nullptr;
      DWORD error = 0;
      {
        const UniqueLocal<void*> descriptor(sa.lpSecurityDescriptor);
        h = CreateMutexW(&sa, FALSE, name.c_str());
        error = GetLastError();
      }
      SetLastError(error);  // as CreateMutexW left it, the descriptor freed
      if (h || (error != ERROR_INVALID_OWNER && error != ERROR_INVALID_SECURITY_DESCR)) return h;
    }
    return CreateMutexW(nullptr, FALSE, name.c_str());
  }
  // Whether SYSTEM or Administrators own the object: one of ours.
  static bool OwnerTrusted(HANDLE h) {
    const DWORD error = GetLastError();  // the caller reads CreateMutexW's
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    bool trusted = false;
    if (GetSecurityInfo(h, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &sd) ==
        ERROR_SUCCESS) {
      const UniqueLocal<PSECURITY_DESCRIPTOR> hold(sd);
      const std::string o = SidText(owner);
      trusted = o == "S-1-5-18" || o == "S-1-5-32-544";
    }
    SetLastError(error);
    return trusted;
  }

  // For a program that must never run twice (the installer): only an object
  // it created, or one of ours it found, answers; a name it could not create
  // as its own for any other reason (an event or a mutex of another account
  // in its place, access refused) leaves the answer to an exclusive hold on
  // a file only administrators may create, taken in every case, so that two
  // copies that met the name differently still see each other.
  bool AnotherCopyRunsHeld(const std::wstring& name, const std::wstring& lockFile) {
    object_.reset(Create(name));
    const DWORD error = GetLastError();
    if (object_ && error == ERROR_ALREADY_EXISTS && OwnerTrusted(object_.get())) return true;
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, FALSE};
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;SY)(A;;FA;;;BA)", SDDL_REVISION_1,
                                                              &sa.lpSecurityDescriptor, nullptr))
      sa.lpSecurityDescriptor = nullptr;
    const UniqueLocal<void*> descriptor(sa.lpSecurityDescriptor);
    // Shared with nobody and gone with its last handle, at the latest when
    // the process ends; left by a power cut, it is admin-only and taken again.
    HANDLE h = CreateFileW(lockFile.c_str(), GENERIC_READ | GENERIC_WRITE, 0, &sa, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    const DWORD lockError = GetLastError();
    lock_ = UniqueFile(h);
    return h == INVALID_HANDLE_VALUE && lockError == ERROR_SHARING_VIOLATION;
  }

 private:
  UniqueKernel object_;
  UniqueFile lock_;
};

// The update lock as a mutex in Global\ that only SYSTEM and Administrators
// may open. A name squatted by another account locks nothing: updates go on
// as they did before there was a lock, rather than be stopped by it.
class UpdateMutex final : public UpdateLock {
 public:
  static constexpr wchar_t kName[] = L"Global\\QuarnSQLServiceMonitor.Atualizacao";
  bool Acquire(uint32_t waitMs) override {
    if (!mutex_) {
      mutex_.reset(InstanceObject::Create(kName));
      if (mutex_ && !InstanceObject::OwnerTrusted(mutex_.get())) mutex_.reset();
      if (!mutex_) return true;
    }
    const DWORD r = WaitForSingleObject(mutex_.get(), waitMs);
    held_ += r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;  // abandoned: its holder died, the files are recovery's
    return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED || r == WAIT_FAILED;
  }
  void Release() override {
    if (held_ > 0 && mutex_) {
      --held_;
      ReleaseMutex(mutex_.get());
    }
  }

 private:
  UniqueKernel mutex_;
  int held_ = 0;
};

}  // namespace quarn::win
