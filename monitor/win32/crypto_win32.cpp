#include "monitor/win32/crypto_win32.h"

#include <bcrypt.h>

#include <vector>

#include "common/suite_files.h"
#include "common/errors.h"
#include "common/win32/library_search.h"
#include "common/win32/win_platform.h"

namespace quarn::win {

namespace {
constexpr NTSTATUS kStatusSuccess = 0;
}  // namespace

struct CngCrypto::Api {
  decltype(&BCryptOpenAlgorithmProvider) open = nullptr;
  decltype(&BCryptCloseAlgorithmProvider) close = nullptr;
  decltype(&BCryptCreateHash) createHash = nullptr;
  decltype(&BCryptHashData) hashData = nullptr;
  decltype(&BCryptFinishHash) finishHash = nullptr;
  decltype(&BCryptDestroyHash) destroyHash = nullptr;
  decltype(&BCryptImportKeyPair) importKey = nullptr;
  decltype(&BCryptDestroyKey) destroyKey = nullptr;
  decltype(&BCryptVerifySignature) verify = nullptr;
  UniqueCngAlgorithm sha256;
  UniqueCngAlgorithm ecdsa;
};

namespace {

class CngSha256 final : public Sha256 {
 public:
  CngSha256(const CngCrypto::Api& api, BCRYPT_HASH_HANDLE h) : api_(api), h_(h, api.destroyHash) {}
  void Update(std::string_view b) override {
    // Chunks are well below 4 GiB: the verifier hashes 1 MiB at a time.
    const NTSTATUS s =
        api_.hashData(h_.get(), reinterpret_cast<PUCHAR>(const_cast<char*>(b.data())), static_cast<ULONG>(b.size()), 0);
    if (s != kStatusSuccess) throw VbError(s, "BCryptHashData falhou");
  }
  std::string Finish() override {
    std::string out(32, '\0');
    const NTSTATUS s = api_.finishHash(h_.get(), reinterpret_cast<PUCHAR>(out.data()), 32, 0);
    if (s != kStatusSuccess) throw VbError(s, "BCryptFinishHash falhou");
    return out;
  }

 private:
  const CngCrypto::Api& api_;
  UniqueCngHash h_;
};

}  // namespace

CngCrypto::CngCrypto() = default;

CngCrypto::~CngCrypto() { Release(); }

void CngCrypto::Release() noexcept {
  api_.reset();  // closes its algorithm providers, before bcrypt.dll goes
  module_.reset();
}

const CngCrypto::Api& CngCrypto::Load() {
  if (api_) return *api_;
  if (!module_) module_ = SystemLibrary(L"bcrypt.dll");
  auto api = std::make_unique<Api>();
  auto bind = [&](auto& fn, const char* name) { BindEntryPoint(fn, module_.get(), name, "bcrypt.dll"); };
  bind(api->open, "BCryptOpenAlgorithmProvider");
  bind(api->close, "BCryptCloseAlgorithmProvider");
  bind(api->createHash, "BCryptCreateHash");
  bind(api->hashData, "BCryptHashData");
  bind(api->finishHash, "BCryptFinishHash");
  bind(api->destroyHash, "BCryptDestroyHash");
  bind(api->importKey, "BCryptImportKeyPair");
  bind(api->destroyKey, "BCryptDestroyKey");
  bind(api->verify, "BCryptVerifySignature");
  BCRYPT_ALG_HANDLE opened = nullptr;
  NTSTATUS s = api->open(&opened, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
  if (s != kStatusSuccess) throw VbError(s, "SHA-256 indisponível (BCryptOpenAlgorithmProvider)");
  api->sha256 = UniqueCngAlgorithm(opened, CloseCngAlgorithm{api->close});
  opened = nullptr;
  s = api->open(&opened, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0);
  // On failure the SHA-256 provider is closed with the rest of `api`.
  if (s != kStatusSuccess) throw VbError(s, "ECDSA P-256 indisponível (BCryptOpenAlgorithmProvider)");
  api->ecdsa = UniqueCngAlgorithm(opened, CloseCngAlgorithm{api->close});
  api_ = std::move(api);
  return *api_;
}

std::unique_ptr<Sha256> CngCrypto::NewSha256() {
  const Api& api = Load();
  BCRYPT_HASH_HANDLE h = nullptr;
  const NTSTATUS s = api.createHash(api.sha256.get(), &h, nullptr, 0, nullptr, 0, 0);
  if (s != kStatusSuccess) throw VbError(s, "BCryptCreateHash falhou");
  return std::make_unique<CngSha256>(api, h);
}

bool CngCrypto::VerifyP256(std::string_view key, std::string_view digest, std::string_view signature) {
  if (key.size() != 64 || digest.size() != 32 || signature.size() != 64) return false;
  const Api* api = nullptr;
  try {
    api = &Load();
  } catch (const VbError&) {
    return false;  // no verifier: nothing is signed
  }
  std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 64);
  auto* header = reinterpret_cast<BCRYPT_ECCKEY_BLOB*>(blob.data());
  header->dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
  header->cbKey = 32;
  std::copy(key.begin(), key.end(), blob.begin() + sizeof(BCRYPT_ECCKEY_BLOB));
  BCRYPT_KEY_HANDLE k = nullptr;
  if (api->importKey(api->ecdsa.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, &k, blob.data(), static_cast<ULONG>(blob.size()),
                     0) != kStatusSuccess)
    return false;
  const UniqueCngKey imported(k, api->destroyKey);
  std::string d(digest), sig(signature);
  const NTSTATUS s = api->verify(imported.get(), nullptr, reinterpret_cast<PUCHAR>(d.data()), 32,
                                 reinterpret_cast<PUCHAR>(sig.data()), 64, 0);
  return s == kStatusSuccess;
}

std::unique_ptr<FileReader> Win32FileChunks::Open(const std::string& path) {
  struct Reader final : FileReader {
    UniqueFile file;
    size_t Read(char* buf, size_t n) override {
      DWORD got = 0;
      if (!ReadFile(file.get(), buf, static_cast<DWORD>(n), &got, nullptr)) throw FileErrorFromWin32(GetLastError());
      return got;
    }
  };
  auto r = std::make_unique<Reader>();
  r->file = UniqueFile(CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!r->file) throw FileErrorFromWin32(GetLastError());
  return r;
}

bool RegistryUpdateKeys::AllowUnsigned() {
  DWORD value = 0, size = sizeof value;
  return RegGetValueW(HKEY_LOCAL_MACHINE, kSuiteKeyW, L"AllowUnsignedUpdates", RRF_RT_REG_DWORD, nullptr, &value,
                      &size) == ERROR_SUCCESS &&
         value == 1;
}

std::vector<KeySetting> RegistryUpdateKeys::Settings() {
  std::vector<KeySetting> out;
  if (!compiled_.empty()) out.push_back({"compiladas", compiled_, ""});
  const wchar_t* subkey = kSuiteKeyW;
  DWORD type = 0, size = 0;
  LSTATUS e =
      RegGetValueW(HKEY_LOCAL_MACHINE, subkey, L"UpdatePublicKeys", RRF_RT_ANY | RRF_NOEXPAND, &type, nullptr, &size);
  if (e == ERROR_FILE_NOT_FOUND) return out;
  KeySetting s{"UpdatePublicKeys", "", ""};
  std::wstring buf(size / sizeof(wchar_t) + 2, L'\0');
  if (e == ERROR_SUCCESS) {
    DWORD got = static_cast<DWORD>(buf.size() * sizeof(wchar_t));
    e = RegGetValueW(HKEY_LOCAL_MACHINE, subkey, L"UpdatePublicKeys", RRF_RT_ANY | RRF_NOEXPAND, &type, buf.data(),
                     &got);
    buf.resize(got / sizeof(wchar_t));
  }
  if (e != ERROR_SUCCESS) {
    s.problem = "erro " + std::to_string(e) + " ao ler o valor";
  } else if (type != REG_SZ && type != REG_MULTI_SZ) {
    s.problem = "tipo de valor não suportado (" + std::to_string(type) + "), esperado REG_SZ ou REG_MULTI_SZ";
  } else {
    for (wchar_t& c : buf)
      if (c == L'\0') c = L';';  // the strings of a REG_MULTI_SZ
    s.text = Narrow(buf);
  }
  out.push_back(std::move(s));
  return out;
}

}  // namespace quarn::win
