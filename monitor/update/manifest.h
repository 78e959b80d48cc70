#pragma once
// Signed builds. Every published build archive carries one extra entry, the
// manifest: a code page 1252 text with CRLF line ends,
//
//   QUARN-MANIFESTO 1
//   programa QuarnSQLService
//   versao 2.0
//   arquivo <size> <sha-256, 64 lower-case hex> <plain file name>     (one per other entry)
//   assinatura <r||s, 128 lower-case hex>
//
// The signature is ECDSA P-256 over the SHA-256 of every byte before the
// "assinatura" line. Public keys are the raw point X||Y in 128 hex digits.
// Before anything running is touched, the staged build is checked against it.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/event_loop.h"
#include "common/file_system.h"
#include "monitor/logs.h"

namespace quarn {

inline constexpr char kManifestName[] = "QuarnManifest.txt";
inline constexpr char kManifestTag[] = "QUARN-MANIFESTO 1";
inline constexpr size_t kMaxManifestBytes = 1 << 20;
inline constexpr size_t kMaxManifestFiles = 4096;

// The platform's cryptography.
class Sha256 {
 public:
  virtual ~Sha256() = default;
  virtual void Update(std::string_view bytes) = 0;
  virtual std::string Finish() = 0;  // 32 bytes
};

class UpdateCrypto {
 public:
  virtual ~UpdateCrypto() = default;
  // Raises a VbError when the platform offers no SHA-256.
  virtual std::unique_ptr<Sha256> NewSha256() = 0;
  // Whether signature (r||s, 64 bytes) signs digest (32 bytes) under key (X||Y,
  // 64 bytes). A key that is no point of the curve verifies nothing.
  virtual bool VerifyP256(std::string_view key, std::string_view digest, std::string_view signature) = 0;
};

// Where trusted keys are configured: each place that holds a setting, with its
// text; a place that exists but cannot be read says why in problem.
struct KeySetting {
  std::string origin;  // for the error log: "UpdatePublicKeys", "compiladas"
  std::string text;
  std::string problem;
};

class UpdateKeySource {
 public:
  virtual ~UpdateKeySource() = default;
  virtual std::vector<KeySetting> Settings() = 0;
};

struct TrustedKeys {
  bool configured = false;              // some place holds a setting
  std::vector<std::string> keys;        // raw X||Y, 64 bytes each
  std::vector<std::string> rejected;    // why each unusable token or place was ignored
};

// Keys are separated by white space, ';' or ','. A token that is not 128 hex
// digits is rejected, never silently taken for "no key".
TrustedKeys ParseTrustedKeys(const std::vector<KeySetting>& settings);

struct ManifestFile {
  std::string name;  // code page 1252, as written
  uint64_t size = 0;
  std::string sha256;  // raw, 32 bytes
};

struct Manifest {
  std::string program, version;  // code page 1252
  std::vector<ManifestFile> files;
  std::string signedPart;  // the bytes the signature covers
  std::string signature;   // raw r||s, 64 bytes
};

// Parses a manifest; false with the reason in why when it is not one.
bool ParseManifest(std::string_view bytes, Manifest& out, std::string& why);
// The part to sign, for the publishing tool; names in code page 1252.
std::string ManifestSignedPart(const std::string& program, const std::string& version,
                               const std::vector<ManifestFile>& files);
std::string ManifestSignatureLine(std::string_view signature);

std::string ToHex(std::string_view bytes);
// False unless text is an even count of hex digits.
bool FromHex(std::string_view text, std::string& bytes);

// Reads files front to back in pieces, so that a big build is never held
// whole in memory nor read in one go on the window thread.
class FileReader {
 public:
  virtual ~FileReader() = default;
  // Fills buf with the next bytes, at most n; 0 at the end. Raises a VbError.
  virtual size_t Read(char* buf, size_t n) = 0;
};

class FileChunks {
 public:
  virtual ~FileChunks() = default;
  virtual std::unique_ptr<FileReader> Open(const std::string& path) = 0;
};

// Over FileSystem::ReadAll, for a file system that reads only whole files.
class WholeFileChunks final : public FileChunks {
 public:
  explicit WholeFileChunks(FileSystem& fs) : fs_(fs) {}
  std::unique_ptr<FileReader> Open(const std::string& path) override;

 private:
  FileSystem& fs_;
};

struct BuildCheckPorts {
  FileSystem& fs;
  FileChunks& chunks;
  EventLoop& loop;
  UpdateCrypto& crypto;
  UpdateKeySource& keys;
};

// Checks a staged build before it replaces anything. Raises a VbError (numbers
// above) when the build must not be installed; otherwise removes the manifest
// from the staging folder, so that it never reaches the suite folder.
class BuildVerifier {
 public:
  // Hashing yields to the window's events after every chunk.
  static constexpr size_t kHashChunk = 1 << 20;

  explicit BuildVerifier(BuildCheckPorts ports) : p_(ports) {}
  void VerificaPacote(const std::string& staging, const std::string& program, const std::string& version,
                      MonitorLogs& logs);
  // SHA-256 of a file, in chunks with the window's events run between them.
  std::string HashFile(const std::string& path);

 private:
  BuildCheckPorts p_;
};

}  // namespace quarn
