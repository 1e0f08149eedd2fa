#include "encryption/envelope.h"

#include <algorithm>
#include <cstring>

#include "core/blake3.h"
#include "core/bytes.h"
#include "core/fs.h"

namespace qm::encryption {
namespace {

constexpr uint8_t kPrefix[8] = {'V', 'I', 'Z', 'A', 'D', 0, 1, 0};
constexpr size_t kSaltAt = 16;
constexpr size_t kNonceAt = 32;
constexpr size_t kLengthAt = 56;

}  // namespace

QmError snapshot_error(std::string_view phrase) {
  return QmError::corruption("encrypted snapshot: " + std::string(phrase));
}

// ---- SecureBytes --------------------------------------------------------------------------

// Not zeroed: every user overwrites the whole buffer (a key copy, a derivation, a decryption).
SecureBytes::SecureBytes(size_t n) : data_(n ? std::make_unique_for_overwrite<uint8_t[]>(n) : nullptr), size_(n) {}

SecureBytes& SecureBytes::operator=(SecureBytes&& o) noexcept {
  if (this != &o) {
    reset();
    data_ = std::move(o.data_);
    size_ = o.size_;
    o.size_ = 0;
  }
  return *this;
}

void SecureBytes::reset() {
  if (data_) crypto::wipe({data_.get(), size_});
  data_.reset();
  size_ = 0;
}

// ---- Secret -------------------------------------------------------------------------------

Result<Secret> Secret::raw(std::span<const uint8_t> key) {
  if (key.size() != crypto::kKeyBytes) return fail(QmError::query("invalid secret kind or length"));
  SecureBytes b(key.size());
  std::memcpy(b.data(), key.data(), key.size());
  return Secret(Kind::Raw, std::move(b));
}

Result<Secret> Secret::passphrase(std::span<const uint8_t> text) {
  if (text.size() < kMinPassphrase || text.size() > kMaxPassphrase)
    return fail(QmError::query("invalid secret kind or length"));
  SecureBytes b(text.size());
  std::memcpy(b.data(), text.data(), text.size());
  return Secret(Kind::Passphrase, std::move(b));
}

Result<SecureBytes> Secret::derive(std::span<const uint8_t, kSaltBytes> salt) const {
  SecureBytes key(crypto::kKeyBytes);
  if (kind_ == Kind::Raw) {
    std::memcpy(key.data(), bytes_.data(), crypto::kKeyBytes);
    return key;
  }
  if (!crypto::argon2id_into(bytes_.span(), salt, kArgonTimeCost, kArgonMemoryKib, kArgonLanes, key.span()))
    return fail(snapshot_error("key derivation failed"));
  return key;
}

// ---- sealing and opening ------------------------------------------------------------------

Result<std::vector<uint8_t>> seal_image_with(std::span<const uint8_t> image, uint8_t kdf,
                                             std::span<const uint8_t, kSaltBytes> salt,
                                             std::span<const uint8_t, crypto::kNonceBytes> nonce,
                                             std::span<const uint8_t> key) {
  if (image.size() > kMaxImageBytes) return fail(QmError::resource_limit("encrypted image exceeds 256 MiB"));
  if (key.size() != crypto::kKeyBytes) return fail(snapshot_error("encryption failed"));
  std::vector<uint8_t> out(image.size() + kOverheadBytes);
  std::memcpy(out.data(), kPrefix, sizeof kPrefix);
  out[8] = kdf;
  std::memcpy(out.data() + kSaltAt, salt.data(), kSaltBytes);
  std::memcpy(out.data() + kNonceAt, nonce.data(), crypto::kNonceBytes);
  store_u64(out.data() + kLengthAt, image.size());

  crypto::Key k;
  crypto::Nonce n;
  std::memcpy(k.data(), key.data(), k.size());
  std::memcpy(n.data(), nonce.data(), n.size());
  // Encrypting straight into the output buffer keeps one plaintext and one envelope in memory.
  auto tag = crypto::seal(k, n, std::span<const uint8_t>(out.data(), kHeaderBytes), image,
                          std::span<uint8_t>(out.data() + kHeaderBytes, image.size()));
  crypto::wipe(k);
  if (!tag) return fail(snapshot_error("encryption failed"));
  std::memcpy(out.data() + kHeaderBytes + image.size(), tag->data(), kTagBytes);
  return out;
}

Result<std::vector<uint8_t>> seal_image(std::span<const uint8_t> image, const Secret& secret) {
  if (image.size() > kMaxImageBytes) return fail(QmError::resource_limit("encrypted image exceeds 256 MiB"));
  std::array<uint8_t, kSaltBytes + crypto::kNonceBytes> fresh{};
  if (!crypto::os_random_bytes(fresh)) return fail(snapshot_error("OS random source unavailable"));
  std::span<const uint8_t, kSaltBytes> salt(fresh.data(), kSaltBytes);
  std::span<const uint8_t, crypto::kNonceBytes> nonce(fresh.data() + kSaltBytes, crypto::kNonceBytes);
  QM_ASSIGN(SecureBytes key, secret.derive(salt));
  return seal_image_with(image, secret.tag(), salt, nonce, key.span());
}

namespace {

// The header check on the first bytes of an envelope (at least 80 when the file has them)
// and the envelope's total size.
Result<EnvelopeInfo> inspect_header(std::span<const uint8_t> head, uint64_t total) {
  if (total < kOverheadBytes || head.size() < kOverheadBytes ||
      std::memcmp(head.data(), kPrefix, sizeof kPrefix) != 0 || head[8] > 1 ||
      std::any_of(head.begin() + 9, head.begin() + 16, [](uint8_t b) { return b != 0; }))
    return fail(snapshot_error("unsupported or malformed envelope"));
  // The bound first: only a length known to be small takes part in the size arithmetic.
  uint64_t length = load_u64(head.data() + kLengthAt);
  if (length > kMaxImageBytes || total - kOverheadBytes != length)
    return fail(snapshot_error("invalid image length or image exceeds 256 MiB"));
  EnvelopeInfo info;
  info.kdf = head[8] == 0 ? "raw-256-bit" : "Argon2id-v19-m65536-t3-p1";
  info.plaintext_length = length;
  return info;
}

// An envelope file opened for reading: no link followed, no wait on a FIFO, and the
// descriptor itself must be a regular file.
Result<std::pair<fs::File, uint64_t>> open_envelope_file(const std::string& path) {
  QM_ASSIGN(fs::File f, fs::get().open(path, fs::kRead | fs::kNoFollow | fs::kNonBlock));
  QM_ASSIGN(fs::Stat st, f.stat());
  if (st.kind != fs::EntryKind::Regular) return fail(snapshot_error("vault must be a regular file"));
  return std::pair<fs::File, uint64_t>(std::move(f), st.size);
}

// Too long to be an envelope whatever its header says: the header alone is judged rather
// than 256 MiB read only to be refused.
Result<void> refuse_oversized(const fs::File& f) {
  std::vector<uint8_t> head(kOverheadBytes);
  QM_ASSIGN(size_t n, f.read_at(head, 0));
  head.resize(n);
  QM_TRY(inspect_header(head, kReadBound));
  return fail(snapshot_error("invalid image length or image exceeds 256 MiB"));
}

}  // namespace

Result<EnvelopeInfo> inspect(std::span<const uint8_t> envelope) { return inspect_header(envelope, envelope.size()); }

Result<SecureBytes> open_image(std::span<const uint8_t> envelope, const Secret& secret) {
  QM_ASSIGN(EnvelopeInfo info, inspect(envelope));
  // A passphrase never opens a raw-key envelope and the reverse; the text matches a wrong key.
  if (envelope[8] != secret.tag()) return fail(snapshot_error("authentication failed"));
  std::span<const uint8_t, kSaltBytes> salt(envelope.data() + kSaltAt, kSaltBytes);
  QM_ASSIGN(SecureBytes key, secret.derive(salt));
  const size_t length = static_cast<size_t>(info.plaintext_length);
  crypto::Key k;
  crypto::Nonce n;
  crypto::Tag tag;
  std::memcpy(k.data(), key.data(), k.size());
  std::memcpy(n.data(), envelope.data() + kNonceAt, n.size());
  std::memcpy(tag.data(), envelope.data() + kHeaderBytes + length, tag.size());
  SecureBytes plain(length);
  bool ok = crypto::open(k, n, envelope.first(kHeaderBytes), envelope.subspan(kHeaderBytes, length), tag,
                         plain.span());
  crypto::wipe(k);
  if (!ok) return fail(snapshot_error("authentication failed"));
  return plain;
}

// ---- files --------------------------------------------------------------------------------

Result<std::vector<uint8_t>> read_file(const std::string& path) {
  QM_ASSIGN(auto opened, open_envelope_file(path));
  auto& [f, size] = opened;
  if (size >= kReadBound) QM_TRY(refuse_oversized(f));
  // One byte more than the file claims catches a file that grew since; the bound keeps a
  // file that grew past it from being read whole (it then fails the length check).
  std::vector<uint8_t> bytes(static_cast<size_t>(size + 1));
  QM_ASSIGN(size_t n, f.read_at(bytes, 0));
  bytes.resize(n);
  QM_TRY(inspect(bytes));
  return bytes;
}

Result<Digest> hash_file(const std::string& path) {
  QM_ASSIGN(auto opened, open_envelope_file(path));
  auto& [f, size] = opened;
  if (size >= kReadBound) QM_TRY(refuse_oversized(f));
  // In chunks: only the digest is needed, not a second copy of the whole envelope.
  std::vector<uint8_t> chunk(1 << 20);
  std::array<uint8_t, kOverheadBytes> head{};
  size_t head_len = 0;
  uint64_t total = 0;
  Blake3Hasher hasher;
  for (;;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(chunk.size(), kReadBound - total));
    if (want == 0) break;
    QM_ASSIGN(size_t n, f.read_at({chunk.data(), want}, total));
    if (n == 0) break;
    if (head_len < head.size()) {
      size_t take = std::min(head.size() - head_len, n);
      std::memcpy(head.data() + head_len, chunk.data(), take);
      head_len += take;
    }
    hasher.update(std::span<const uint8_t>(chunk.data(), n));
    total += n;
  }
  QM_TRY(inspect_header({head.data(), head_len}, total));
  return hasher.finalize();
}

Result<void> publish(const std::string& path, std::span<const uint8_t> bytes, bool replace) {
  fs::AtomicWriteOptions options;
  options.replace = replace;
  options.sync_dir = false;  // done here, so its failure can be told apart from the others
  options.mode = 0600;
  QM_TRY(fs::write_file_atomic(path, bytes, options));
  if (auto synced = fs::get().sync_dir(fs::parent_dir(path)); !synced) {
    const QmError& e = synced.error();
    return fail(QmError::outcome_unknown("ciphertext published but directory sync failed: " +
                                         (e.is(ErrorKind::Io) ? e.detail : e.message())));
  }
  return {};
}

}  // namespace qm::encryption
