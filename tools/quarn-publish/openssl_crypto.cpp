// The EC_KEY interface is deprecated in OpenSSL 3 but is the one that takes a
// caller's nonce (ECDSA_do_sign_ex), which deterministic signatures need.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "tools/quarn-publish/openssl_crypto.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/obj_mac.h>
#include <openssl/pem.h>

#include <stdexcept>

namespace quarn::publish {

namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using Bn = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_clear_free>>;
using BnCtx = std::unique_ptr<BN_CTX, Deleter<BN_CTX, BN_CTX_free>>;
using EcKey = std::unique_ptr<EC_KEY, Deleter<EC_KEY, EC_KEY_free>>;
using EcPoint = std::unique_ptr<EC_POINT, Deleter<EC_POINT, EC_POINT_free>>;
using Sig = std::unique_ptr<ECDSA_SIG, Deleter<ECDSA_SIG, ECDSA_SIG_free>>;
using Pkey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;

[[noreturn]] void Fail(const char* what) { throw std::runtime_error(std::string("OpenSSL: ") + what); }

Bn FromBytes(std::string_view b) {
  return Bn(BN_bin2bn(reinterpret_cast<const unsigned char*>(b.data()), static_cast<int>(b.size()), nullptr));
}

std::string ToBytes32(const BIGNUM* n) {
  std::string out(32, '\0');
  if (BN_bn2binpad(n, reinterpret_cast<unsigned char*>(out.data()), 32) != 32) Fail("number too large");
  return out;
}

// The key with its public point, from the scalar.
EcKey KeyFromScalar(const PrivateKey& key) {
  EcKey ec(EC_KEY_new_by_curve_name(NID_X9_62_prime256v1));
  Bn d = FromBytes(key.scalar);
  const EC_GROUP* g = EC_KEY_get0_group(ec.get());
  EcPoint pub(EC_POINT_new(g));
  if (!d || BN_is_zero(d.get()) || BN_cmp(d.get(), EC_GROUP_get0_order(g)) >= 0) Fail("invalid private key");
  if (!EC_POINT_mul(g, pub.get(), d.get(), nullptr, nullptr, nullptr) || !EC_KEY_set_private_key(ec.get(), d.get()) ||
      !EC_KEY_set_public_key(ec.get(), pub.get()))
    Fail("cannot build the key");
  return ec;
}

std::string Hmac(const std::string& key, const std::string& data) {
  unsigned char out[32];
  unsigned int len = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(data.data()),
       data.size(), out, &len);
  return std::string(reinterpret_cast<char*>(out), len);
}

class OpenSslSha256 final : public Sha256 {
 public:
  OpenSslSha256() : ctx_(EVP_MD_CTX_new()) {
    if (!ctx_ || !EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr)) Fail("SHA-256");
  }
  void Update(std::string_view b) override { EVP_DigestUpdate(ctx_.get(), b.data(), b.size()); }
  std::string Finish() override {
    unsigned char out[32];
    unsigned int len = 0;
    EVP_DigestFinal_ex(ctx_.get(), out, &len);
    return std::string(reinterpret_cast<char*>(out), len);
  }

 private:
  std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>> ctx_;
};

}  // namespace

std::unique_ptr<Sha256> OpenSslCrypto::NewSha256() { return std::make_unique<OpenSslSha256>(); }

std::string Sha256Of(std::string_view bytes) {
  OpenSslSha256 h;
  h.Update(bytes);
  return h.Finish();
}

bool OpenSslCrypto::VerifyP256(std::string_view key, std::string_view digest, std::string_view signature) {
  if (key.size() != 64 || digest.size() != 32 || signature.size() != 64) return false;
  EcKey ec(EC_KEY_new_by_curve_name(NID_X9_62_prime256v1));
  const EC_GROUP* g = EC_KEY_get0_group(ec.get());
  EcPoint pub(EC_POINT_new(g));
  const std::string point = "\x04" + std::string(key);
  if (!EC_POINT_oct2point(g, pub.get(), reinterpret_cast<const unsigned char*>(point.data()), point.size(), nullptr) ||
      !EC_KEY_set_public_key(ec.get(), pub.get()))
    return false;
  Sig sig(ECDSA_SIG_new());
  BIGNUM* r = BN_bin2bn(reinterpret_cast<const unsigned char*>(signature.data()), 32, nullptr);
  BIGNUM* s = BN_bin2bn(reinterpret_cast<const unsigned char*>(signature.data()) + 32, 32, nullptr);
  if (!ECDSA_SIG_set0(sig.get(), r, s)) {
    BN_free(r);
    BN_free(s);
    return false;
  }
  return ECDSA_do_verify(reinterpret_cast<const unsigned char*>(digest.data()), 32, sig.get(), ec.get()) == 1;
}

PrivateKey GenerateKey() {
  EcKey ec(EC_KEY_new_by_curve_name(NID_X9_62_prime256v1));
  if (!ec || !EC_KEY_generate_key(ec.get())) Fail("key generation");
  return PrivateKey{ToBytes32(EC_KEY_get0_private_key(ec.get()))};
}

std::string PrivateKeyPem(const PrivateKey& key) {
  EcKey ec = KeyFromScalar(key);
  Pkey pkey(EVP_PKEY_new());
  if (!EVP_PKEY_set1_EC_KEY(pkey.get(), ec.get())) Fail("key");
  Bio bio(BIO_new(BIO_s_mem()));
  if (!PEM_write_bio_PrivateKey(bio.get(), pkey.get(), nullptr, nullptr, 0, nullptr, nullptr)) Fail("PEM");
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(n));
}

PrivateKey LoadPrivateKeyPem(const std::string& pem) {
  Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  Pkey pkey(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  if (!pkey) throw std::runtime_error("not a PEM private key");
  const EC_KEY* ec = EVP_PKEY_get0_EC_KEY(pkey.get());
  if (!ec || EC_GROUP_get_curve_name(EC_KEY_get0_group(ec)) != NID_X9_62_prime256v1)
    throw std::runtime_error("not a P-256 key");
  return PrivateKey{ToBytes32(EC_KEY_get0_private_key(ec))};
}

std::string PublicKey(const PrivateKey& key) {
  EcKey ec = KeyFromScalar(key);
  unsigned char buf[65];
  if (EC_POINT_point2oct(EC_KEY_get0_group(ec.get()), EC_KEY_get0_public_key(ec.get()), POINT_CONVERSION_UNCOMPRESSED,
                         buf, sizeof buf, nullptr) != 65)
    Fail("public key");
  return std::string(reinterpret_cast<char*>(buf) + 1, 64);
}

std::string SignP256(const PrivateKey& key, std::string_view digest) {
  if (digest.size() != 32) Fail("digest size");
  EcKey ec = KeyFromScalar(key);
  const EC_GROUP* g = EC_KEY_get0_group(ec.get());
  const BIGNUM* n = EC_GROUP_get0_order(g);
  BnCtx ctx(BN_CTX_new());

  // RFC 6979, section 3.2, for a 256-bit order and SHA-256.
  Bn h = FromBytes(digest);
  BN_mod(h.get(), h.get(), n, ctx.get());
  const std::string seed = key.scalar + ToBytes32(h.get());
  std::string v(32, '\x01'), k(32, '\0');
  k = Hmac(k, v + '\x00' + seed);
  v = Hmac(k, v);
  k = Hmac(k, v + '\x01' + seed);
  v = Hmac(k, v);
  for (;;) {
    v = Hmac(k, v);
    Bn nonce = FromBytes(v);
    if (!BN_is_zero(nonce.get()) && BN_cmp(nonce.get(), n) < 0) {
      EcPoint rPoint(EC_POINT_new(g));
      Bn x(BN_new()), r(BN_new()), kinv(BN_new());
      if (!EC_POINT_mul(g, rPoint.get(), nonce.get(), nullptr, nullptr, ctx.get()) ||
          !EC_POINT_get_affine_coordinates(g, rPoint.get(), x.get(), nullptr, ctx.get()) ||
          !BN_nnmod(r.get(), x.get(), n, ctx.get()) || !BN_mod_inverse(kinv.get(), nonce.get(), n, ctx.get()))
        Fail("nonce");
      if (!BN_is_zero(r.get())) {
        Sig sig(
            ECDSA_do_sign_ex(reinterpret_cast<const unsigned char*>(digest.data()), 32, kinv.get(), r.get(), ec.get()));
        if (sig) {
          const BIGNUM *sr = nullptr, *ss = nullptr;
          ECDSA_SIG_get0(sig.get(), &sr, &ss);
          return ToBytes32(sr) + ToBytes32(ss);
        }
      }
    }
    k = Hmac(k, v + '\x00');
    v = Hmac(k, v);
  }
}

}  // namespace quarn::publish
