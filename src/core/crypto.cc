#include "core/crypto.h"

#include <argon2.h>
#include <sodium.h>
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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

// ---- AeadStream ---------------------------------------------------------------------------

namespace {

constexpr uint8_t kZeroPad[16] = {};
static_assert(sizeof(crypto_onetimeauth_poly1305_state) <= 256);
static_assert(alignof(crypto_onetimeauth_poly1305_state) <= 16);

crypto_onetimeauth_poly1305_state* mac_state(unsigned char* bytes) {
  return reinterpret_cast<crypto_onetimeauth_poly1305_state*>(bytes);
}

}  // namespace

AeadStream::~AeadStream() {
  sodium_memzero(mac_, sizeof mac_);
  sodium_memzero(subkey_.data(), subkey_.size());
}

Result<void> AeadStream::start(const Key& key, const Nonce& nonce, std::span<const uint8_t> associated) {
  QM_TRY(ensure_sodium());
  // XChaCha20: a subkey from the key and the nonce's first 16 bytes, then the IETF ChaCha20
  // nonce of four zero bytes and the nonce's last 8.
  crypto_core_hchacha20(subkey_.data(), nonce.data(), key.data(), nullptr);
  nonce_.fill(0);
  std::memcpy(nonce_.data() + 4, nonce.data() + 16, 8);
  // The Poly1305 key is the first 32 bytes of keystream block 0; the message starts at block 1.
  unsigned char block0[64];
  crypto_stream_chacha20_ietf(block0, sizeof block0, nonce_.data(), subkey_.data());
  crypto_onetimeauth_poly1305_init(mac_state(mac_), block0);
  sodium_memzero(block0, sizeof block0);
  crypto_onetimeauth_poly1305_update(mac_state(mac_), associated.data(), associated.size());
  crypto_onetimeauth_poly1305_update(mac_state(mac_), kZeroPad, (0x10 - associated.size()) & 0xf);
  associated_bytes_ = associated.size();
  message_bytes_ = 0;
  return {};
}

void AeadStream::encrypt(std::span<uint8_t> piece) {
  const auto block = static_cast<uint32_t>(1 + message_bytes_ / 64);
  crypto_stream_chacha20_ietf_xor_ic(piece.data(), piece.data(), piece.size(), nonce_.data(), block, subkey_.data());
  crypto_onetimeauth_poly1305_update(mac_state(mac_), piece.data(), piece.size());
  message_bytes_ += piece.size();
}

void AeadStream::decrypt(std::span<uint8_t> piece) {
  const auto block = static_cast<uint32_t>(1 + message_bytes_ / 64);
  crypto_onetimeauth_poly1305_update(mac_state(mac_), piece.data(), piece.size());
  crypto_stream_chacha20_ietf_xor_ic(piece.data(), piece.data(), piece.size(), nonce_.data(), block, subkey_.data());
  message_bytes_ += piece.size();
}

void AeadStream::authenticate_lengths() {
  crypto_onetimeauth_poly1305_update(mac_state(mac_), kZeroPad, (0x10 - message_bytes_) & 0xf);
  unsigned char lengths[16];
  for (int i = 0; i < 8; ++i) {
    lengths[i] = static_cast<unsigned char>(associated_bytes_ >> (8 * i));
    lengths[8 + i] = static_cast<unsigned char>(message_bytes_ >> (8 * i));
  }
  crypto_onetimeauth_poly1305_update(mac_state(mac_), lengths, sizeof lengths);
}

Tag AeadStream::finish() {
  authenticate_lengths();
  Tag tag{};
  crypto_onetimeauth_poly1305_final(mac_state(mac_), tag.data());
  return tag;
}

bool AeadStream::verify(const Tag& tag) {
  Tag computed = finish();
  const bool ok = crypto_verify_16(computed.data(), tag.data()) == 0;
  sodium_memzero(computed.data(), computed.size());
  return ok;
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
