#include "core/crypto.h"

#include <argon2.h>
#include <sodium.h>
#include <sys/random.h>

#include <algorithm>
#include <cerrno>

namespace qm::crypto {
namespace {

Result<void> ensure_sodium() {
  static const int rc = sodium_init();  // thread-safe, idempotent
  if (rc < 0) return fail(QmError::io("libsodium could not be initialised"));
  return {};
}

}  // namespace

Result<void> random_bytes(std::span<uint8_t> out) {
  QM_TRY(ensure_sodium());
  randombytes_buf(out.data(), out.size());
  return {};
}

Result<void> os_random_bytes(std::span<uint8_t> out) {
  size_t done = 0;
  while (done < out.size()) {
    size_t want = std::min<size_t>(256, out.size() - done);
    ssize_t n = ::getrandom(out.data() + done, want, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(QmError::from_errno("getrandom", errno));
    }
    done += static_cast<size_t>(n);
  }
  return {};
}

Result<Tag> seal(const Key& key, const Nonce& nonce, std::span<const uint8_t> associated,
                 std::span<const uint8_t> plaintext, std::span<uint8_t> ciphertext) {
  QM_TRY(ensure_sodium());
  if (ciphertext.size() != plaintext.size()) return fail(QmError::buffer_too_small(plaintext.size(), ciphertext.size()));
  Tag tag{};
  unsigned long long tag_len = 0;
  crypto_aead_xchacha20poly1305_ietf_encrypt_detached(ciphertext.data(), tag.data(), &tag_len, plaintext.data(),
                                                      plaintext.size(), associated.data(), associated.size(),
                                                      nullptr, nonce.data(), key.data());
  return tag;
}

bool open(const Key& key, const Nonce& nonce, std::span<const uint8_t> associated,
          std::span<const uint8_t> ciphertext, const Tag& tag, std::span<uint8_t> plaintext) {
  if (!ensure_sodium() || plaintext.size() != ciphertext.size()) return false;
  return crypto_aead_xchacha20poly1305_ietf_decrypt_detached(plaintext.data(), nullptr, ciphertext.data(),
                                                             ciphertext.size(), tag.data(), associated.data(),
                                                             associated.size(), nonce.data(), key.data()) == 0;
}

Result<Key> argon2id(std::span<const uint8_t> passphrase, std::span<const uint8_t> salt, uint32_t time_cost,
                     uint32_t memory_kib, uint32_t parallelism) {
  Key key{};
  int rc = argon2id_hash_raw(time_cost, memory_kib, parallelism, passphrase.data(), passphrase.size(), salt.data(),
                             salt.size(), key.data(), key.size());
  if (rc != ARGON2_OK) return fail(QmError::io(std::string("argon2id failed: ") + argon2_error_message(rc)));
  return key;
}

Result<void> argon2id_into(std::span<const uint8_t> passphrase, std::span<const uint8_t> salt, uint32_t time_cost,
                           uint32_t memory_kib, uint32_t parallelism, std::span<uint8_t> out) {
  int rc = argon2id_hash_raw(time_cost, memory_kib, parallelism, passphrase.data(), passphrase.size(), salt.data(),
                             salt.size(), out.data(), out.size());
  if (rc != ARGON2_OK) return fail(QmError::io(std::string("argon2id failed: ") + argon2_error_message(rc)));
  return {};
}

void wipe(std::span<uint8_t> bytes) { sodium_memzero(bytes.data(), bytes.size()); }

}  // namespace qm::crypto
