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

// Argon2id (version 0x13) of a passphrase with a salt into a 32-byte key.
Result<Key> argon2id(std::span<const uint8_t> passphrase, std::span<const uint8_t> salt, uint32_t time_cost,
                     uint32_t memory_kib, uint32_t parallelism);

// The same, writing the key into `out` (32 bytes) so it never lives in a temporary copy.
Result<void> argon2id_into(std::span<const uint8_t> passphrase, std::span<const uint8_t> salt, uint32_t time_cost,
                           uint32_t memory_kib, uint32_t parallelism, std::span<uint8_t> out);

// Overwrites memory in a way the optimiser may not drop.
void wipe(std::span<uint8_t> bytes);

}  // namespace qm::crypto
