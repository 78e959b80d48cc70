#pragma once
// The signed-build check's ports on Win32: SHA-256 and ECDSA P-256 from CNG,
// and the trusted keys from the build and the registry.
#include <windows.h>

#include <memory>
#include <string>

#include "common/win32/handles.h"
#include "monitor/update/manifest.h"

namespace quarn::win {

// bcrypt.dll is no known system library: it is loaded at first use from the
// system folder only, never through the import table, so that a copy planted
// beside the program is never the one that checks signatures.
class CngCrypto final : public UpdateCrypto {
 public:
  CngCrypto();
  ~CngCrypto() override;
  std::unique_ptr<Sha256> NewSha256() override;
  bool VerifyP256(std::string_view key, std::string_view digest, std::string_view signature) override;
  // Closes the algorithms and unloads bcrypt.dll; the next use loads it again.
  // Only between checks: no hash it made may still be alive.
  void Release() noexcept;

  struct Api;

 private:
  const Api& Load();  // raises a VbError when bcrypt.dll or a function is missing
  std::unique_ptr<Api> api_;
  UniqueModule module_;
};

// Files read in pieces through one handle, front to back.
class Win32FileChunks final : public FileChunks {
 public:
  std::unique_ptr<FileReader> Open(const std::string& path) override;
};

// The keys compiled into the program (separated as in the registry value) and
// HKLM\SOFTWARE\Solvane\Quarn SQL, value UpdatePublicKeys (REG_SZ or REG_MULTI_SZ).
class RegistryUpdateKeys final : public UpdateKeySource {
 public:
  explicit RegistryUpdateKeys(std::string compiled) : compiled_(std::move(compiled)) {}
  std::vector<KeySetting> Settings() override;
  // DWORD AllowUnsignedUpdates = 1 beside it: an administrator's opt-out.
  bool AllowUnsigned() override;

 private:
  std::string compiled_;
};

}  // namespace quarn::win
