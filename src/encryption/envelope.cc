#include "encryption/envelope.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "core/blake3.h"
#include "core/bytes.h"
#include "core/fs.h"
#include "core/large_buffer.h"

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

SecureBytes::SecureBytes(size_t n) : size_(n), capacity_(n) {
  if (n == 0) return;
  const LargeBuffer buffer = allocate_large(n);
  data_ = buffer.data;
  capacity_ = buffer.capacity;
  mapped_ = buffer.mapped;
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
    release_large({data_, capacity_, mapped_});
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

// Bytes worked on at a time: each piece is encrypted or decrypted, authenticated and hashed
// while it is in the processor's cache, instead of one pass over the whole envelope for each.
// A multiple of 1024 (whole BLAKE3 chunks at aligned offsets) and so of 64 (cipher blocks).
constexpr size_t kPieceBytes = size_t{256} << 10;

// Where each piece of sealed envelope goes once it is final (header first, tag last).
using SealSink = std::function<Result<void>(std::span<const uint8_t>)>;

// The header of a buffer that holds the image at [64, 64 + length), and the cipher started
// over it.
Result<void> begin_seal(std::span<uint8_t> out, uint8_t kdf, std::span<const uint8_t, kSaltBytes> salt,
                        std::span<const uint8_t, crypto::kNonceBytes> nonce, std::span<const uint8_t> key,
                        crypto::AeadStream& aead) {
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
  auto started = aead.start(k, n, out.first(kHeaderBytes));
  crypto::wipe(k);
  if (!started) return fail(snapshot_error("encryption failed"));
  return {};
}

// Encrypts the image where it lies, a piece at a time, writes the tag, and hands every
// finished piece to `sink` (when given) while it is still in cache. Pieces lie at envelope
// offsets, so a hash of them sees aligned chunks; the first piece's ciphertext starts after
// the header, at a multiple of 64 as the cipher needs.
Result<void> seal_pieces(std::span<uint8_t> out, crypto::AeadStream& aead, const SealSink& sink) {
  const size_t body_end = out.size() - kTagBytes;
  for (size_t at = 0; at < body_end; at += kPieceBytes) {
    const size_t end = std::min(at + kPieceBytes, body_end);
    const size_t from = std::max(at, kHeaderBytes);
    if (from < end) aead.encrypt(out.subspan(from, end - from));
    if (sink) QM_TRY(sink(out.subspan(at, end - at)));
  }
  const crypto::Tag tag = aead.finish();
  std::memcpy(out.data() + body_end, tag.data(), kTagBytes);
  if (sink) QM_TRY(sink(out.subspan(body_end, kTagBytes)));
  return {};
}

// The sealing step with the salt, nonce and key given; with `hash`, the BLAKE3 of the
// finished envelope, taken piece by piece as each is encrypted.
Result<void> seal_in_place_with(std::span<uint8_t> out, uint8_t kdf, std::span<const uint8_t, kSaltBytes> salt,
                                std::span<const uint8_t, crypto::kNonceBytes> nonce, std::span<const uint8_t> key,
                                Digest* hash) {
  crypto::AeadStream aead;
  QM_TRY(begin_seal(out, kdf, salt, nonce, key, aead));
  if (!hash) return seal_pieces(out, aead, nullptr);
  Blake3Hasher hasher;
  QM_TRY(seal_pieces(out, aead, [&](std::span<const uint8_t> piece) -> Result<void> {
    hasher.update(piece);
    return {};
  }));
  *hash = hasher.finalize();
  return {};
}

// A fresh salt and nonce from the kernel and the key for them.
struct SealParams {
  std::array<uint8_t, kSaltBytes + crypto::kNonceBytes> fresh{};
  SecureBytes key;
  std::span<const uint8_t, kSaltBytes> salt() const { return std::span<const uint8_t, kSaltBytes>(fresh.data(), kSaltBytes); }
  std::span<const uint8_t, crypto::kNonceBytes> nonce() const {
    return std::span<const uint8_t, crypto::kNonceBytes>(fresh.data() + kSaltBytes, crypto::kNonceBytes);
  }
};

Result<SealParams> fresh_seal_params(std::span<const uint8_t> envelope, const Secret& secret) {
  if (envelope.size() < kOverheadBytes || envelope.size() - kOverheadBytes > kMaxImageBytes)
    return fail(QmError::resource_limit("encrypted image exceeds 256 MiB"));
  SealParams p;
  if (!crypto::os_random_bytes(p.fresh)) return fail(snapshot_error("OS random source unavailable"));
  QM_ASSIGN(p.key, secret.derive(p.salt()));
  return p;
}

}  // namespace

Result<std::vector<uint8_t>> seal_image_with(std::span<const uint8_t> image, uint8_t kdf,
                                             std::span<const uint8_t, kSaltBytes> salt,
                                             std::span<const uint8_t, crypto::kNonceBytes> nonce,
                                             std::span<const uint8_t> key) {
  if (image.size() > kMaxImageBytes) return fail(QmError::resource_limit("encrypted image exceeds 256 MiB"));
  std::vector<uint8_t> out(image.size() + kOverheadBytes);
  if (!image.empty()) std::memcpy(out.data() + kHeaderBytes, image.data(), image.size());
  QM_TRY(seal_in_place_with(out, kdf, salt, nonce, key, nullptr));
  return out;
}

Result<void> seal_in_place(std::span<uint8_t> envelope, const Secret& secret, Digest* hash) {
  QM_ASSIGN(SealParams p, fresh_seal_params(envelope, secret));
  return seal_in_place_with(envelope, secret.tag(), p.salt(), p.nonce(), p.key.span(), hash);
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

Result<OpenedEnvelope> read_and_open(const std::string& path, const Secret& secret) {
  QM_ASSIGN(auto opened, open_envelope_file(path));
  const fs::File& f = opened.first;
  const uint64_t size = opened.second;
  if (size >= kReadBound) QM_TRY(refuse_oversized(f));
  // One byte more than the file claims catches a file that grew since (see read_envelope).
  OpenedEnvelope out;
  out.bytes = SecureBytes(static_cast<size_t>(size + 1));
  SecureBytes& bytes = out.bytes;
  const size_t first = static_cast<size_t>(std::min<uint64_t>(kPieceBytes, size + 1));
  QM_ASSIGN(size_t n, f.read_at(bytes.span().first(first), 0));

  // As read_envelope and open_in_place do it, over the whole file in one read: a small file,
  // and any file whose header or kind of key is wrong, so every error is theirs.
  auto whole = [&]() -> Result<OpenedEnvelope> {
    if (n == first && n < bytes.size()) {
      QM_ASSIGN(size_t more, f.read_at(bytes.span().subspan(n), n));
      n += more;
    }
    bytes.shrink(n);
    QM_TRY(inspect(bytes.span()));
    out.file_hash = blake3(bytes.span());
    QM_ASSIGN(out.image, open_in_place(bytes.span(), secret));
    return std::move(out);
  };
  if (n < first || first > size || !inspect_header(bytes.span().first(n), size) || bytes.data()[8] != secret.tag())
    return whole();

  // The rest piece by piece, each hashed as read and then authenticated and decrypted where it
  // lies while still in cache. Plaintext of a file that fails the tag is wiped with the buffer.
  const size_t total = static_cast<size_t>(size);
  const size_t body_end = total - kTagBytes;
  crypto::Nonce nonce;
  std::memcpy(nonce.data(), bytes.data() + kNonceAt, nonce.size());
  std::span<const uint8_t, kSaltBytes> salt(bytes.data() + kSaltAt, kSaltBytes);
  crypto::AeadStream aead;
  {
    QM_ASSIGN(SecureBytes key, secret.derive(salt));
    crypto::Key k;
    std::memcpy(k.data(), key.data(), k.size());
    auto started = aead.start(k, nonce, bytes.span().first(kHeaderBytes));
    crypto::wipe(k);
    if (!started) return fail(snapshot_error("authentication failed"));
  }
  Blake3Hasher hasher;
  for (size_t at = 0; at < total; at += kPieceBytes) {
    const size_t end = std::min(at + kPieceBytes, total);
    if (at > 0) {
      QM_ASSIGN(size_t got, f.read_at(bytes.span().subspan(at, end - at), at));
      if (got < end - at) {
        // The file shrank while being read: the length check refuses what there is.
        bytes.shrink(at + got);
        QM_TRY(inspect(bytes.span()));
        return fail(snapshot_error("invalid image length or image exceeds 256 MiB"));
      }
    }
    hasher.update(bytes.span().subspan(at, end - at));
    const size_t from = std::max(at, kHeaderBytes);
    const size_t to = std::min(end, body_end);
    if (from < to) aead.decrypt(bytes.span().subspan(from, to - from));
  }
  // A file that grew while being read fails the length check, as it would read whole.
  QM_ASSIGN(size_t extra, f.read_at(bytes.span().subspan(total, 1), total));
  if (extra != 0) {
    QM_TRY(inspect(bytes.span()));
    return fail(snapshot_error("invalid image length or image exceeds 256 MiB"));
  }
  bytes.shrink(total);
  crypto::Tag tag;
  std::memcpy(tag.data(), bytes.data() + body_end, tag.size());
  if (!aead.verify(tag)) return fail(snapshot_error("authentication failed"));
  out.file_hash = hasher.finalize();
  out.image = bytes.span().subspan(kHeaderBytes, body_end - kHeaderBytes);
  return out;
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

namespace {

fs::AtomicWriteOptions publish_options(bool replace) {
  fs::AtomicWriteOptions options;
  options.replace = replace;
  options.sync_dir = false;  // done by sync_published_dir, so its failure can be told apart
  options.mode = 0600;
  return options;
}

// The directory flush after the rename: its failure leaves the new bytes in place but maybe
// not durable.
Result<void> sync_published_dir(const std::string& path) {
  if (auto synced = fs::get().sync_dir(fs::parent_dir(path)); !synced) {
    const QmError& e = synced.error();
    return fail(QmError::outcome_unknown("ciphertext published but directory sync failed: " +
                                         (e.is(ErrorKind::Io) ? e.detail : e.message())));
  }
  return {};
}

}  // namespace

Result<void> publish(const std::string& path, std::span<const uint8_t> bytes, bool replace) {
  QM_TRY(fs::write_file_atomic(path, bytes, publish_options(replace)));
  return sync_published_dir(path);
}

Result<Digest> seal_and_publish(std::span<uint8_t> envelope, const Secret& secret, const std::string& path,
                                bool replace, const std::function<Result<void>()>& before_writing) {
  QM_ASSIGN(SealParams p, fresh_seal_params(envelope, secret));
  crypto::AeadStream aead;
  QM_TRY(begin_seal(envelope, secret.tag(), p.salt(), p.nonce(), p.key.span(), aead));
  QM_TRY(before_writing());
  QM_ASSIGN(fs::AtomicFile file, fs::AtomicFile::create(path, publish_options(replace)));
  Blake3Hasher hasher;
  QM_TRY(seal_pieces(envelope, aead, [&](std::span<const uint8_t> piece) -> Result<void> {
    hasher.update(piece);
    return file.append(piece);
  }));
  QM_TRY(file.commit());
  QM_TRY(sync_published_dir(path));
  return hasher.finalize();
}

}  // namespace qm::encryption
