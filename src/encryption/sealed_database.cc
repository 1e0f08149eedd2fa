#include "encryption/sealed_database.h"

#include <string>

namespace qm::encryption {
namespace {

// Wipes a baked image when it goes, whatever the outcome.
struct WipedImage {
  std::string bytes;
  ~WipedImage() { crypto::wipe({reinterpret_cast<uint8_t*>(bytes.data()), bytes.size()}); }
  std::span<const uint8_t> span() const { return {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()}; }
};

}  // namespace

Result<std::vector<uint8_t>> seal_database(db::Database& db, const Secret& secret) {
  if (db.in_transaction()) return fail(QmError::transaction("cannot seal an active transaction"));
  WipedImage image;
  QM_ASSIGN(image.bytes, db.bake_to_bytes());
  return seal_image(image.span(), secret);
}

Result<db::Database> open_database(std::span<const uint8_t> envelope, const Secret& secret) {
  QM_ASSIGN(SecureBytes plain, open_image(envelope, secret));
  return db::Database::import_bytes(plain.span());
}

Result<db::Database> copy_database(db::Database& db) {
  WipedImage image;
  QM_ASSIGN(image.bytes, db.bake_to_bytes());
  return db::Database::import_bytes(image.span());
}

}  // namespace qm::encryption
