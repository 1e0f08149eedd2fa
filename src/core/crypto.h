// Thin wrappers over the cryptographic dependencies: random bytes and the
// XChaCha20-Poly1305 AEAD with detached tags (libsodium), Argon2id version 19 (the
// reference implementation), and wiping of key material.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "core/error.h"

namespace qm::crypto {

inline constexpr size_t kKeyBytes = 32;
inline constexpr size_t kNonceBytes = 24;
inline constexpr size_t kTagBytes = 16;

using Key = std::array<uint8_t, kKeyBytes>;
using Nonce = std::array<uint8_t, kNonceBytes>;
using Tag = std::array<uint8_t, kTagBytes>;

// Fills the buffer from the operating system's random source.
Result<void> random_bytes(std::span<uint8_t> out);
// Fills the buffer straight from the kernel (getrandom), at most 256 bytes per request; a
// failure is reported, never papered over, so callers can refuse to make a salt or nonce.
Result<void> os_random_bytes(std::span<uint8_t> out);

// Encrypts plaintext into ciphertext (same length) and returns the tag.
Result<Tag> seal(const Key& key, const Nonce& nonce, std::span<const uint8_t> associated,
                 std::span<const uint8_t> plaintext, std::span<uint8_t> ciphertext);
// Decrypts and authenticates; false when the tag does not verify (nothing is trusted then).
bool open(const Key& key, const Nonce& nonce, std::span<const uint8_t> associated,
          std::span<const uint8_t> ciphertext, const Tag& tag, std::span<uint8_t> plaintext);

// The same AEAD over a message handed over in pieces, so that each piece can be encrypted
// or decrypted and authenticated, and put to other use (hashed, written), while it is still
// in cache: the bytes and the tag are those of seal and open. Every piece but the last must be
// a multiple of 64 bytes. The subkey and the authenticator state are wiped when it goes.
class AeadStream {
 public:
  AeadStream() = default;
  ~AeadStream();
  AeadStream(const AeadStream&) = delete;
  AeadStream& operator=(const AeadStream&) = delete;

  // Starts a message under the key and nonce, authenticating `associated` first.
  Result<void> start(const Key& key, const Nonce& nonce, std::span<const uint8_t> associated);
  // Encrypts the next piece where it lies.
  void encrypt(std::span<uint8_t> piece);
  // Authenticates the next piece of ciphertext and decrypts it where it lies; nothing of it
  // may be trusted before verify() returns true.
  void decrypt(std::span<uint8_t> piece);
  // The tag of everything handed over.
  Tag finish();
  // Whether `tag` is the tag of everything handed over (constant time).
  bool verify(const Tag& tag);

 private:
  void authenticate_lengths();
  alignas(16) unsigned char mac_[256];  // the Poly1305 state, opaque here
  Key subkey_{};
  std::array<uint8_t, 12> nonce_{};
  uint64_t associated_bytes_ = 0;
  uint64_t message_bytes_ = 0;
};

// Argon2id (version 0x13) of a passphrase with a salt into a 32-byte key.
Result<Key> argon2id(std::span<const uint8_t> passphrase, std::span<const uint8_t> salt, uint32_t time_cost,
                     uint32_t memory_kib, uint32_t parallelism);

// The same, writing the key into `out` (32 bytes) so it never lives in a temporary copy.
Result<void> argon2id_into(std::span<const uint8_t> passphrase, std::span<const uint8_t> salt, uint32_t time_cost,
                           uint32_t memory_kib, uint32_t parallelism, std::span<uint8_t> out);

// Overwrites memory in a way the optimiser may not drop.
void wipe(std::span<uint8_t> bytes);

}  // namespace qm::crypto
