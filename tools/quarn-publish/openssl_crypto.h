#pragma once
// ECDSA P-256 and SHA-256 over OpenSSL's libcrypto: the publishing tool signs
// with it, and the native tests verify with it as the monitor does with CNG.
#include <memory>
#include <string>
#include <string_view>

#include "monitor/update/manifest.h"

namespace quarn::publish {

class OpenSslCrypto final : public UpdateCrypto {
 public:
  std::unique_ptr<Sha256> NewSha256() override;
  bool VerifyP256(std::string_view key, std::string_view digest, std::string_view signature) override;
};

std::string Sha256Of(std::string_view bytes);

// A P-256 private key: its scalar, 32 bytes big-endian.
struct PrivateKey {
  std::string scalar;
};

PrivateKey GenerateKey();
// PEM (PKCS#8) text of a key, and back; Load raises std::runtime_error.
std::string PrivateKeyPem(const PrivateKey& key);
PrivateKey LoadPrivateKeyPem(const std::string& pem);
// The public point X||Y, 64 bytes.
std::string PublicKey(const PrivateKey& key);
// r||s, 64 bytes. The nonce is derived from the key and the digest (RFC 6979),
// so the same key and digest always give the same signature.
std::string SignP256(const PrivateKey& key, std::string_view digest);

}  // namespace quarn::publish
