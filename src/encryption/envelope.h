// The encrypted envelope "VIZAD-1": one file holding a whole database image, encrypted and
// authenticated with XChaCha20-Poly1305 under a 32-byte key that is either supplied raw or
// derived from a passphrase with Argon2id (version 19, 64 MiB, 3 passes, 1 lane).
//
// Layout (little-endian; total = plaintext length + 80):
//   0  "VIZAD", 0, u16 version 1      8  KDF byte (0 raw key, 1 passphrase)   9  seven zeros
//   16 salt (16)   32 nonce (24)   56 u64 plaintext length (<= 256 MiB)
//   64 ciphertext (same length as the plaintext)   then the 16-byte Poly1305 tag.
// The whole 64-byte header is the associated data, so every header byte is authenticated.
//
// Invariants:
// - key material (raw keys, passphrases, derived keys) and plaintext images live only in
//   SecureBytes buffers, which are wiped when they go;
// - the declared length is compared with the 256 MiB bound before any arithmetic on it;
// - nothing here knows about databases: the image is opaque bytes (the vault bakes and
//   imports them).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/blake3.h"
#include "core/crypto.h"
#include "core/error.h"

namespace qm::encryption {

inline constexpr size_t kHeaderBytes = 64;
inline constexpr size_t kTagBytes = 16;
inline constexpr size_t kOverheadBytes = kHeaderBytes + kTagBytes;
inline constexpr uint64_t kMaxImageBytes = 268435456;                   // 256 MiB
inline constexpr uint64_t kReadBound = kMaxImageBytes + kOverheadBytes + 1;  // one byte past the largest envelope
inline constexpr size_t kSaltBytes = 16;
inline constexpr uint32_t kArgonTimeCost = 3;
inline constexpr uint32_t kArgonMemoryKib = 65536;
inline constexpr uint32_t kArgonLanes = 1;
inline constexpr size_t kMinPassphrase = 12;
inline constexpr size_t kMaxPassphrase = 1024;

// "encrypted snapshot: {phrase}" as a Corruption error.
QmError snapshot_error(std::string_view phrase);

// Bytes that are wiped (sodium_memzero) before their memory is released, unless declassified
// (a buffer that now holds ciphertext). Not zeroed at allocation: every user overwrites what
// it uses. Large buffers are mapped on their own and asked for huge pages, so filling one
// (a bake, a file read) costs few page faults. Move-only.
class SecureBytes {
 public:
  SecureBytes() = default;
  explicit SecureBytes(size_t n);
  ~SecureBytes() { reset(); }
  SecureBytes(SecureBytes&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)),
        capacity_(std::exchange(o.capacity_, 0)), mapped_(o.mapped_), secret_(o.secret_) {}
  SecureBytes& operator=(SecureBytes&& o) noexcept;
  SecureBytes(const SecureBytes&) = delete;
  SecureBytes& operator=(const SecureBytes&) = delete;

  uint8_t* data() { return data_; }
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  const uint8_t* begin() const { return data_; }
  const uint8_t* end() const { return data_ + size_; }
  std::span<uint8_t> span() { return {data_, size_}; }
  std::span<const uint8_t> span() const { return {data_, size_}; }
  operator std::span<const uint8_t>() const { return span(); }
  // Drops the bytes past `n` from view (they are still wiped with the rest).
  void shrink(size_t n) { size_ = std::min(n, size_); }
  // The bytes hold nothing secret any more (ciphertext): released without the wipe.
  void declassify() { secret_ = false; }
  // Wipes (unless declassified) and releases the bytes.
  void reset();

 private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  bool mapped_ = false;
  bool secret_ = true;
};

// The key material of a vault. Its kind is also the envelope's KDF byte, so a raw key only
// opens envelopes sealed with a raw key and a passphrase only passphrase envelopes.
class Secret {
 public:
  enum class Kind : uint8_t { Raw = 0, Passphrase = 1 };

  // Exactly 32 bytes.
  static Result<Secret> raw(std::span<const uint8_t> key);
  // 12 to 1024 bytes of any content.
  static Result<Secret> passphrase(std::span<const uint8_t> text);

  Kind kind() const { return kind_; }
  uint8_t tag() const { return static_cast<uint8_t>(kind_); }
  // The AEAD key: a raw key as it is (the salt is ignored), a passphrase through Argon2id.
  // An Argon2 failure is the snapshot phrase "key derivation failed".
  Result<SecureBytes> derive(std::span<const uint8_t, kSaltBytes> salt) const;

 private:
  Secret(Kind kind, SecureBytes bytes) : kind_(kind), bytes_(std::move(bytes)) {}
  Kind kind_ = Kind::Raw;
  SecureBytes bytes_;
};

// What the header check learns without a key.
struct EnvelopeInfo {
  std::string format = "VIZAD-1";
  std::string cipher = "XChaCha20-Poly1305";
  std::string kdf;  // "raw-256-bit" or "Argon2id-v19-m65536-t3-p1"
  uint64_t plaintext_length = 0;
};

// Seals an image under the secret with a fresh salt and nonce from the kernel.
Result<std::vector<uint8_t>> seal_image(std::span<const uint8_t> image, const Secret& secret);
// The same where the image already lies: `envelope` is the image's length + 80 bytes with the
// image at [64, 64 + length); the header and the tag are written around it and the image is
// encrypted in place (no second buffer for the ciphertext). With `hash`, the BLAKE3 of the
// finished envelope goes there, taken as it is encrypted.
Result<void> seal_in_place(std::span<uint8_t> envelope, const Secret& secret, Digest* hash = nullptr);
// The sealing step on its own, with the salt, nonce and key given (tests, fuzzing and the
// benchmark use it to seal without a kernel draw or a key derivation per call).
Result<std::vector<uint8_t>> seal_image_with(std::span<const uint8_t> image, uint8_t kdf,
                                             std::span<const uint8_t, kSaltBytes> salt,
                                             std::span<const uint8_t, crypto::kNonceBytes> nonce,
                                             std::span<const uint8_t> key);
// The header and size check.
Result<EnvelopeInfo> inspect(std::span<const uint8_t> envelope);
// Checks, derives the key and decrypts; any fault of key, header, ciphertext or tag is the
// phrase "authentication failed". The plaintext is wiped when the caller drops it.
Result<SecureBytes> open_image(std::span<const uint8_t> envelope, const Secret& secret);
// The same, decrypting the ciphertext where it lies: on success the image is the returned
// span inside `envelope`, which the caller wipes.
Result<std::span<uint8_t>> open_in_place(std::span<uint8_t> envelope, const Secret& secret);

// An envelope file read and opened where it lies: `image` is the plaintext inside `bytes`
// (wiped when they go), `file_hash` the BLAKE3 of the file's bytes as they were read.
struct OpenedEnvelope {
  SecureBytes bytes;
  std::span<uint8_t> image;
  Digest file_hash{};
};
// read_envelope, the file's hash and open_in_place in one go: the file is read, hashed,
// authenticated and decrypted piece by piece, each piece while it is in cache, with the same
// checks and errors.
Result<OpenedEnvelope> read_and_open(const std::string& path, const Secret& secret);

// Reads an envelope file (no links followed, regular files only) with the size bound, and
// checks its header.
Result<std::vector<uint8_t>> read_file(const std::string& path);
// The same into a buffer that is wiped when dropped (an open decrypts it in place).
Result<SecureBytes> read_envelope(const std::string& path);
// The BLAKE3 of an envelope file, read in chunks, with the same checks as read_file.
Result<Digest> hash_file(const std::string& path);
// Writes bytes to `path` atomically: an exclusive temporary file of mode 0600 in the same
// directory, flushed, renamed into place (without replacing an existing file unless
// `replace`), then the directory flushed. A failed directory flush is
// TransactionOutcomeUnknown: the new bytes are in place but maybe not durable.
Result<void> publish(const std::string& path, std::span<const uint8_t> bytes, bool replace);
// seal_in_place and publish in one pass over the bytes: each piece of the envelope is
// encrypted, hashed and written to the temporary file while it is in cache, and its write-out
// is started early, so the final flush waits for less. The envelope's bytes, the publish
// (temporary file, flush, rename, directory flush) and every error are those of the two
// calls; `before_writing` runs once the envelope's header and key are ready, before the
// temporary file is created, and its error stops everything. The envelope's BLAKE3 comes back.
// On failure the buffer may hold plaintext; the caller wipes it.
Result<Digest> seal_and_publish(std::span<uint8_t> envelope, const Secret& secret, const std::string& path,
                                bool replace, const std::function<Result<void>()>& before_writing);

}  // namespace qm::encryption
