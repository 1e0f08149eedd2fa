#include "encryption/sealed_database.h"

#include <memory>

namespace qm::encryption {

Result<SecureBytes> bake_envelope(db::Database& db) {
  if (db.in_transaction()) return fail(QmError::transaction("cannot seal an active transaction"));
  // The image is baked where the envelope holds it, between the header and the tag.
  SecureBytes envelope;
  QM_TRY(db.bake_into([&](uint64_t size) -> Result<std::span<uint8_t>> {
    if (size > kMaxImageBytes) return fail(QmError::resource_limit("encrypted image exceeds 256 MiB"));
    envelope = SecureBytes(static_cast<size_t>(size) + kOverheadBytes);
    return envelope.span().subspan(kHeaderBytes, static_cast<size_t>(size));
  }));
  return envelope;
}

Result<SecureBytes> seal_database(db::Database& db, const Secret& secret, Digest* hash) {
  QM_ASSIGN(SecureBytes envelope, bake_envelope(db));
  QM_TRY(seal_in_place(envelope.span(), secret, hash));
  envelope.declassify();
  return envelope;
}

Result<db::Database> open_database(std::span<const uint8_t> envelope, const Secret& secret) {
  QM_ASSIGN(SecureBytes plain, open_image(envelope, secret));
  return db::Database::import_bytes(plain.span());
}

namespace {

// A decrypted image handed to the database whole: its blobs are lent from these bytes, which
// are wiped when the last database lending from them goes.
class OpenedImage final : public fs::Mapping {
 public:
  OpenedImage(SecureBytes bytes, std::span<const uint8_t> image) : bytes_(std::move(bytes)) {
    data_ = image.data();
    size_ = image.size();
  }

 private:
  SecureBytes bytes_;
};

}  // namespace

Result<db::Database> open_database_in_place(SecureBytes& envelope, const Secret& secret) {
  QM_ASSIGN(std::span<uint8_t> image, open_in_place(envelope.span(), secret));
  return db::Database::import_lent(std::make_shared<OpenedImage>(std::move(envelope), image));
}

Result<db::Database> open_database_file(const std::string& path, const Secret& secret, Digest& file_hash) {
  QM_ASSIGN(OpenedEnvelope opened, read_and_open(path, secret));
  file_hash = opened.file_hash;
  const std::span<const uint8_t> image = opened.image;
  return db::Database::import_lent(std::make_shared<OpenedImage>(std::move(opened.bytes), image));
}

Result<db::Database> copy_database(db::Database& db) { return db.copy_to_memory(); }

}  // namespace qm::encryption
