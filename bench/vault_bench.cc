// Vault costs against the floor the format allows. For vaults holding about 1, 16 and 128 MB
// of image it times an open, a one-statement write batch and a key rotation (raw keys, so
// the key derivation is not in these figures), next to libsodium's raw XChaCha20-Poly1305
// over the same number of bytes on this machine, and prints each as a ratio. The passphrase
// key derivation (Argon2id, 64 MiB, 3 passes), paid once per open and twice per rotation
// with a passphrase, is timed on its own. Files go to $TMPDIR, so the figures include real
// fsyncs of that file system.
//
// usage: vault_bench [MB ...]   (default: 1 16 128)
#include <sodium.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "db/database.h"
#include "encryption/sealed_database.h"
#include "encryption/vault.h"
#include "query/statements/statements.h"

namespace {

using namespace qm;
using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

template <class F>
double median_ms(int runs, F&& f) {
  std::vector<double> t;
  for (int i = 0; i < runs; ++i) {
    auto t0 = Clock::now();
    f();
    t.push_back(ms_since(t0));
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

encryption::Secret raw(uint8_t fill) {
  std::array<uint8_t, 32> k;
  k.fill(fill);
  return *encryption::Secret::raw(k);
}

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "vault_bench: %s failed\n", what);
    std::exit(1);
  }
}

// A memory database whose image is about `mb` MB: rows of distinct 64 KiB texts (kept in the
// blob store, so the image is mostly blob pool, as a vault of documents would be).
db::Database filled(size_t mb) {
  db::Database db = db::Database::open_memory();
  check(query_with(db, "CREATE TABLE t (id, body)", {}).has_value(), "create table");
  std::mt19937_64 rng(42);
  const size_t rows = mb * 16;
  std::string body(65536, 'a');
  for (size_t i = 0; i < rows; ++i) {
    for (char& c : body) c = static_cast<char>('a' + rng() % 26);
    std::vector<Value> row{Value::integer(static_cast<int64_t>(i)), Value::text(body)};
    check(query_with(db, "INSERT INTO t VALUES (?, ?)", row).has_value(), "insert");
  }
  return db;
}

}  // namespace

int main(int argc, char** argv) {
  check(sodium_init() >= 0, "sodium_init");
  std::vector<size_t> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(std::strtoul(argv[i], nullptr, 10));
  if (sizes.empty()) sizes = {1, 16, 128};
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/qm_vault_bench_XXXXXX";
  check(mkdtemp(dir.data()) != nullptr, "mkdtemp");

  std::printf("| image | raw seal | raw open | open | ratio | 1-statement batch | ratio | rotation | ratio | bake | import |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
  for (size_t mb : sizes) {
    const std::string path = dir + "/bench" + std::to_string(mb) + ".vault";
    size_t image_bytes = 0;
    {
      db::Database db = filled(mb);
      auto image = db.bake_to_bytes();
      check(image.has_value(), "bake");
      image_bytes = image->size();
      auto sealed = encryption::seal_database(db, raw(1));
      check(sealed.has_value(), "seal");
      check(encryption::publish(path, *sealed, false).has_value(), "publish");
    }
    const int runs = mb >= 128 ? 3 : 5;

    // The floor: one AEAD pass over the image, in each direction.
    std::vector<uint8_t> plain(image_bytes, 0x5a), cipher(image_bytes);
    std::array<uint8_t, 32> key{};
    std::array<uint8_t, 24> nonce{};
    std::array<uint8_t, 16> tag{};
    const double seal_ms = median_ms(runs, [&] {
      crypto_aead_xchacha20poly1305_ietf_encrypt_detached(cipher.data(), tag.data(), nullptr, plain.data(),
                                                          plain.size(), nullptr, 0, nullptr, nonce.data(), key.data());
    });
    const double open_floor_ms = median_ms(runs, [&] {
      check(crypto_aead_xchacha20poly1305_ietf_decrypt_detached(plain.data(), nullptr, cipher.data(), cipher.size(),
                                                                tag.data(), nullptr, 0, nonce.data(), key.data()) == 0,
            "raw open");
    });

    const double open_ms = median_ms(runs, [&] { check(encryption::Vault::open(path, raw(1)).has_value(), "open"); });
    std::optional<encryption::Vault> vault;
    {
      auto opened = encryption::Vault::open(path, raw(1));
      check(opened.has_value(), "open");
      vault.emplace(std::move(*opened));
    }
    int64_t next_id = 1 << 30;
    const double batch_ms = median_ms(runs, [&] {
      std::vector<encryption::VaultStatement> batch{{"INSERT INTO t VALUES (?, 'x')", {Value::integer(next_id++)}}};
      check(vault->execute_batch(batch).has_value(), "batch");
    });
    uint8_t fill = 1;
    const double rotate_ms = median_ms(runs, [&] {
      fill = fill == 1 ? 2 : 1;
      check(vault->rotate_key(raw(fill)).has_value(), "rotate");
    });

    // What the database side costs on its own: one bake and one import of the same image
    // (a batch does two bakes, an import and the transaction's snapshot bake).
    db::Database live = *encryption::open_database(*encryption::read_file(path), raw(fill));
    std::string image;
    const double bake_ms = median_ms(runs, [&] { image = *live.bake_to_bytes(); });
    const double import_ms = median_ms(runs, [&] {
      check(db::Database::import_bytes({reinterpret_cast<const uint8_t*>(image.data()), image.size()}).has_value(),
            "import");
    });

    std::printf("| %.1f MB | %.2f ms | %.2f ms | %.1f ms | %.1fx | %.1f ms | %.1fx | %.1f ms | %.1fx | %.1f ms | %.1f ms |\n",
                image_bytes / 1e6, seal_ms, open_floor_ms, open_ms, open_ms / open_floor_ms, batch_ms,
                batch_ms / seal_ms, rotate_ms, rotate_ms / seal_ms, bake_ms, import_ms);
    std::fflush(stdout);
    vault.reset();
  }

  const std::string pass = "a passphrase for the benchmark";
  auto secret = encryption::Secret::passphrase({reinterpret_cast<const uint8_t*>(pass.data()), pass.size()});
  check(secret.has_value(), "passphrase");
  std::array<uint8_t, 16> salt{};
  const double kdf_ms = median_ms(3, [&] { check(secret->derive(salt).has_value(), "derive"); });
  std::printf("\npassphrase key derivation (Argon2id v19, m=65536 KiB, t=3, p=1): %.1f ms per open or seal\n", kdf_ms);

  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return 0;
}
