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
#include <map>
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
  // An administrator's opt-out (DWORD AllowUnsignedUpdates = 1): a build or
  // record without a signature is taken as before signing existed.
  virtual bool AllowUnsigned() { return false; }
};

// The highest publication number installed for each program, kept where only
// SYSTEM and Administrators write, and the time against which statements expire.
class PublicationStore {
 public:
  virtual ~PublicationStore() = default;
  // 0 when none was ever installed. Raises a VbError when it cannot be read.
  virtual uint64_t Highest(const std::string& program) = 0;
  virtual void Record(const std::string& program, uint64_t number) = 0;
  // Seconds since 1970-01-01 UTC.
  virtual int64_t UtcNow() = 0;
};

struct TrustedKeys {
  bool configured = false;            // some place holds a setting
  std::vector<std::string> keys;      // raw X||Y, 64 bytes each
  std::vector<std::string> rejected;  // why each unusable token or place was ignored
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

// The signed statement that the version archive carries beside its record:
//
//   QUARN-PUBLICACAO 1
//   programa QuarnSQLService
//   versao 2.0
//   publicacao 7                                  (only grows, per program)
//   assinada 2026-12-08T01:22:00Z
//   valida-ate 2027-01-07T01:22:00Z
//   manifesto <sha-256 of the build's QuarnManifest.txt, 64 lower-case hex>
//   rollout 2500                                  (optional: parts in ten thousand of the fleet)
//   assinatura <r||s, 128 lower-case hex>
//
// signed as the manifest is. A record is believed only as far as a statement
// under a trusted key vouches for it: no older build, no stale record. In
// place of the rollout line, "hold": no machine takes the publication.
inline constexpr char kStatementName[] = "QuarnPublicacao.txt";
inline constexpr char kStatementTag[] = "QUARN-PUBLICACAO 1";

// A publication for every machine: a statement without a rollout line.
inline constexpr uint32_t kRolloutAll = 10000;

struct Statement {
  std::string program, version;  // code page 1252
  uint64_t number = 0;
  int64_t signedAt = 0, validUntil = 0;  // seconds since 1970, UTC
  std::string manifestSha256;            // raw, 32 bytes
  uint32_t rollout = kRolloutAll;        // the machines whose bucket is below it take it
  bool hold = false;                     // the publisher stopped it: no machine takes it
  std::string signedPart, signature;
};

bool ParseStatement(std::string_view bytes, Statement& out, std::string& why);
std::string StatementSignedPart(const Statement& s);
// "2026-12-08T01:22:00Z", and back (false when the text is not one).
std::string UtcText(int64_t seconds);
bool ParseUtcText(std::string_view text, int64_t& seconds);

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
  PublicationStore& publications;
};

// What a checked statement vouches for; unsigned (number 0, no digest) when
// an administrator allowed a record without one.
struct Publication {
  bool isSigned = false;
  uint64_t number = 0;
  int64_t validUntil = 0;
  std::string manifestSha256;
  uint32_t rollout = kRolloutAll;
  bool hold = false;
};

// Checks a staged build before it replaces anything. Raises a VbError (numbers
// above) when the build must not be installed; otherwise removes the manifest
// from the staging folder, so that it never reaches the suite folder.
class BuildVerifier {
 public:
  // Hashing yields to the window's events after every chunk.
  static constexpr size_t kHashChunk = 1 << 20;

  explicit BuildVerifier(BuildCheckPorts ports) : p_(ports) {}
  // The statement unpacked beside the record in folder, for the record's
  // version. Raises a VbError (7107 to 7112) when the record must not be believed.
  Publication VerificaPublicacao(const std::string& folder, const std::string& program, const std::string& version,
                                 MonitorLogs& logs);
  // The staged build against its manifest, and the manifest against the
  // publication that announced it. Gives each file's SHA-256 as verified
  // (none for a build taken unsigned by an administrator's opt-out).
  std::map<std::string, std::string> VerificaPacote(const std::string& staging, const std::string& program,
                                                    const std::string& version, const Publication& publication,
                                                    MonitorLogs& logs);
  // Once a build is installed, no lower publication of it is taken again.
  void RegistraPublicacao(const std::string& program, const Publication& publication);
  bool AllowUnsigned() { return p_.keys.AllowUnsigned(); }
  // SHA-256 of a file, in chunks with the window's events run between them
  // (none when the program is ending: its last steps let no event run).
  std::string HashFile(const std::string& path, bool runEvents = true);

 private:
  BuildCheckPorts p_;
};

}  // namespace quarn
