#include "encryption/envelope.h"

#include <sys/mman.h>

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

// From this size on a buffer is mapped on its own, with huge pages asked for.
constexpr size_t kMappedFrom = size_t{4} << 20;
constexpr size_t kHugePage = size_t{2} << 20;

SecureBytes::SecureBytes(size_t n) : size_(n), capacity_(n) {
  if (n == 0) return;
  if (n >= kMappedFrom) {
    capacity_ = (n + kHugePage - 1) / kHugePage * kHugePage;
    void* p = ::mmap(nullptr, capacity_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p != MAP_FAILED) {
      (void)::madvise(p, capacity_, MADV_HUGEPAGE);  // a hint: without it the pages are small
      data_ = static_cast<uint8_t*>(p);
      mapped_ = true;
      return;
    }
    capacity_ = n;
  }
  data_ = new uint8_t[n];
}

SecureBytes& SecureBytes::operator=(SecureBytes&& o) noexcept {
  if (this != &o) {
    reset();
    data_ = std::exchange(o.data_, nullptr);
    size_ = std::exchange(o.size_, 0);
    capacity_ = std::exchange(o.capacity_, 0);
    mapped_ = o.mapped_;
    secret_ = o.secret_;
  }
  return *this;
}

void SecureBytes::reset() {
  if (data_) {
    if (secret_) crypto::wipe({data_, capacity_});
    if (mapped_) ::munmap(data_, capacity_);
    else delete[] data_;
  }
  data_ = nullptr;
  size_ = capacity_ = 0;
  mapped_ = false;
  secret_ = true;
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

namespace {

// The sealing step over a buffer that holds the image at [64, 64 + length).
Result<void> seal_in_place_with(std::span<uint8_t> out, uint8_t kdf, std::span<const uint8_t, kSaltBytes> salt,
                                std::span<const uint8_t, crypto::kNonceBytes> nonce, std::span<const uint8_t> key) {
  const size_t length = out.size() - kOverheadBytes;
  if (key.size() != crypto::kKeyBytes) return fail(snapshot_error("encryption failed"));
  std::memcpy(out.data(), kPrefix, sizeof kPrefix);
  out[8] = kdf;
  std::memset(out.data() + 9, 0, kSaltAt - 9);
  std::memcpy(out.data() + kSaltAt, salt.data(), kSaltBytes);
  std::memcpy(out.data() + kNonceAt, nonce.data(), crypto::kNonceBytes);
  store_u64(out.data() + kLengthAt, length);

  crypto::Key k;
  crypto::Nonce n;
  std::memcpy(k.data(), key.data(), k.size());
  std::memcpy(n.data(), nonce.data(), n.size());
  const std::span<uint8_t> body = out.subspan(kHeaderBytes, length);
  auto tag = crypto::seal(k, n, out.first(kHeaderBytes), body, body);
  crypto::wipe(k);
  if (!tag) return fail(snapshot_error("encryption failed"));
  std::memcpy(out.data() + kHeaderBytes + length, tag->data(), kTagBytes);
  return {};
}

}  // namespace

Result<std::vector<uint8_t>> seal_image_with(std::span<const uint8_t> image, uint8_t kdf,
                                             std::span<const uint8_t, kSaltBytes> salt,
                                             std::span<const uint8_t, crypto::kNonceBytes> nonce,
                                             std::span<const uint8_t> key) {
  if (image.size() > kMaxImageBytes) return fail(QmError::resource_limit("encrypted image exceeds 256 MiB"));
  std::vector<uint8_t> out(image.size() + kOverheadBytes);
  if (!image.empty()) std::memcpy(out.data() + kHeaderBytes, image.data(), image.size());
  QM_TRY(seal_in_place_with(out, kdf, salt, nonce, key));
  return out;
}

Result<void> seal_in_place(std::span<uint8_t> envelope, const Secret& secret) {
  if (envelope.size() < kOverheadBytes || envelope.size() - kOverheadBytes > kMaxImageBytes)
    return fail(QmError::resource_limit("encrypted image exceeds 256 MiB"));
  std::array<uint8_t, kSaltBytes + crypto::kNonceBytes> fresh{};
  if (!crypto::os_random_bytes(fresh)) return fail(snapshot_error("OS random source unavailable"));
  std::span<const uint8_t, kSaltBytes> salt(fresh.data(), kSaltBytes);
  std::span<const uint8_t, crypto::kNonceBytes> nonce(fresh.data() + kSaltBytes, crypto::kNonceBytes);
  QM_ASSIGN(SecureBytes key, secret.derive(salt));
  return seal_in_place_with(envelope, secret.tag(), salt, nonce, key.span());
}

Result<std::vector<uint8_t>> seal_image(std::span<const uint8_t> image, const Secret& secret) {
  if (image.size() > kMaxImageBytes) return fail(QmError::resource_limit("encrypted image exceeds 256 MiB"));
  std::vector<uint8_t> out(image.size() + kOverheadBytes);
  if (!image.empty()) std::memcpy(out.data() + kHeaderBytes, image.data(), image.size());
  // The plaintext copy is encrypted where it lies; a failure wipes it.
  if (auto sealed = seal_in_place(out, secret); !sealed) {
    crypto::wipe(out);
    return fail(std::move(sealed).error());
  }
  return out;
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

namespace {

// The checks, the key and the AEAD of an envelope: decrypts into `plain` (the same bytes as
// the ciphertext, or apart).
Result<void> decrypt_into(std::span<const uint8_t> envelope, const Secret& secret, std::span<uint8_t> plain) {
  const size_t length = plain.size();
  crypto::Key k;
  crypto::Nonce n;
  crypto::Tag tag;
  std::span<const uint8_t, kSaltBytes> salt(envelope.data() + kSaltAt, kSaltBytes);
  QM_ASSIGN(SecureBytes key, secret.derive(salt));
  std::memcpy(k.data(), key.data(), k.size());
  std::memcpy(n.data(), envelope.data() + kNonceAt, n.size());
  std::memcpy(tag.data(), envelope.data() + kHeaderBytes + length, tag.size());
  bool ok = crypto::open(k, n, envelope.first(kHeaderBytes), envelope.subspan(kHeaderBytes, length), tag, plain);
  crypto::wipe(k);
  if (!ok) return fail(snapshot_error("authentication failed"));
  return {};
}

// The header check and the kind of key: the plaintext length.
Result<size_t> check_for_opening(std::span<const uint8_t> envelope, const Secret& secret) {
  QM_ASSIGN(EnvelopeInfo info, inspect(envelope));
  // A passphrase never opens a raw-key envelope and the reverse; the text matches a wrong key.
  if (envelope[8] != secret.tag()) return fail(snapshot_error("authentication failed"));
  return static_cast<size_t>(info.plaintext_length);
}

}  // namespace

Result<SecureBytes> open_image(std::span<const uint8_t> envelope, const Secret& secret) {
  QM_ASSIGN(size_t length, check_for_opening(envelope, secret));
  SecureBytes plain(length);
  QM_TRY(decrypt_into(envelope, secret, plain.span()));
  return plain;
}

Result<std::span<uint8_t>> open_in_place(std::span<uint8_t> envelope, const Secret& secret) {
  QM_ASSIGN(size_t length, check_for_opening(envelope, secret));
  const std::span<uint8_t> body = envelope.subspan(kHeaderBytes, length);
  QM_TRY(decrypt_into(envelope, secret, body));
  return body;
}

// ---- files --------------------------------------------------------------------------------

Result<SecureBytes> read_envelope(const std::string& path) {
  QM_ASSIGN(auto opened, open_envelope_file(path));
  auto& [f, size] = opened;
  if (size >= kReadBound) QM_TRY(refuse_oversized(f));
  // One byte more than the file claims catches a file that grew since; the bound keeps a
  // file that grew past it from being read whole (it then fails the length check).
  SecureBytes bytes(static_cast<size_t>(size + 1));
  QM_ASSIGN(size_t n, f.read_at(bytes.span(), 0));
  bytes.shrink(n);
  QM_TRY(inspect(bytes.span()));
  return bytes;
}

Result<std::vector<uint8_t>> read_file(const std::string& path) {
  QM_ASSIGN(SecureBytes bytes, read_envelope(path));
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
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
