// Vault costs against the floor the format allows. For vaults of about 10, 20 and 50 MB of
// rows of 1,000 bytes it times an open and a one-statement write batch (reseal and publish),
// and a key rotation, with raw keys so no key derivation is in these figures. Each run also
// times libsodium's XChaCha20-Poly1305 over the same number of bytes in the same process
// (encryption for the batch and the rotation, decryption for the open) and divides by it; the
// least and the median of the runs are printed, of the times and of the per-run ratios. The
// passphrase key derivation (Argon2id, 64 MiB, 3 passes), paid once per open and twice per
// rotation with a passphrase, is timed on its own. Files go to $TMPDIR, so the figures
// include real fsyncs of that file system.
//
// usage: vault_bench [--runs N] [MB ...]   (default: 5 runs; 10 20 50)
#include <sodium.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
double time_ms(F&& f) {
  auto t0 = Clock::now();
  f();
  return ms_since(t0);
}

// Least and median of a series.
struct Spread {
  double least = 0;
  double median = 0;
};

Spread spread(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return {v.front(), v[v.size() / 2]};
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

// A memory database whose image is about `mb` MB: rows of 1,000 random lower-case bytes
// (kept inline on the row pages, so the image is mostly pages).
db::Database filled(size_t mb) {
  db::Database db = db::Database::open_memory();
  check(query_with(db, "CREATE TABLE t (id, body)", {}).has_value(), "create table");
  std::mt19937_64 rng(42);
  const size_t rows = mb * 1000;
  std::string body(1000, 'a');
  auto loaded = db.transaction([&](db::Database& d) -> Result<void> {
    for (size_t i = 0; i < rows; ++i) {
      for (char& c : body) c = static_cast<char>('a' + rng() % 26);
      std::vector<Value> row{Value::integer(static_cast<int64_t>(i)), Value::text(body)};
      QM_TRY(query_with(d, "INSERT INTO t VALUES (?, ?)", row));
    }
    return {};
  });
  check(loaded.has_value(), "insert");
  return db;
}

}  // namespace

int main(int argc, char** argv) {
  check(sodium_init() >= 0, "sodium_init");
  int runs = 5;
  std::vector<size_t> sizes;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) runs = std::max(1, std::atoi(argv[++i]));
    else sizes.push_back(std::strtoul(argv[i], nullptr, 10));
  }
  if (sizes.empty()) sizes = {10, 20, 50};
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/qm_vault_bench_XXXXXX";
  check(mkdtemp(dir.data()) != nullptr, "mkdtemp");

  std::printf("%d runs; least / median\n\n", runs);
  std::printf("| vault | encrypt | batch | batch / encrypt | decrypt | open | open / decrypt | rotation / encrypt |\n");
  std::printf("|---|---:|---:|---:|---:|---:|---:|---:|\n");
  for (size_t mb : sizes) {
    const std::string path = dir + "/bench" + std::to_string(mb) + ".vault";
    size_t image_bytes = 0;
    {
      db::Database db = filled(mb);
      auto sealed = encryption::seal_database(db, raw(1));
      check(sealed.has_value(), "seal");
      image_bytes = sealed->size() - encryption::kOverheadBytes;
      check(encryption::publish(path, *sealed, false).has_value(), "publish");
    }

    // The peer: one AEAD pass over the image's bytes, in each direction.
    std::vector<uint8_t> plain(image_bytes, 0x5a), cipher(image_bytes);
    std::array<uint8_t, 32> key{};
    std::array<uint8_t, 24> nonce{};
    std::array<uint8_t, 16> tag{};
    auto encrypt = [&] {
      crypto_aead_xchacha20poly1305_ietf_encrypt_detached(cipher.data(), tag.data(), nullptr, plain.data(),
                                                          plain.size(), nullptr, 0, nullptr, nonce.data(), key.data());
    };
    auto decrypt = [&] {
      check(crypto_aead_xchacha20poly1305_ietf_decrypt_detached(plain.data(), nullptr, cipher.data(), cipher.size(),
                                                                tag.data(), nullptr, 0, nonce.data(), key.data()) == 0,
            "decrypt");
    };
    encrypt();

    std::vector<double> enc, dec, open, batch, rotate, batch_ratio, open_ratio, rotate_ratio;
    int64_t next_id = int64_t{1} << 40;
    uint8_t fill = 1;
    for (int r = 0; r < runs; ++r) {
      dec.push_back(time_ms(decrypt));
      open.push_back(time_ms([&] { check(encryption::Vault::open(path, raw(fill)).has_value(), "open"); }));
      open_ratio.push_back(open.back() / dec.back());

      auto opened = encryption::Vault::open(path, raw(fill));
      check(opened.has_value(), "open");
      encryption::Vault vault = std::move(*opened);
      std::vector<encryption::VaultStatement> one{{"INSERT INTO t VALUES (?, 'x')", {Value::integer(next_id++)}}};
      enc.push_back(time_ms(encrypt));
      batch.push_back(time_ms([&] { check(vault.execute_batch(one).has_value(), "batch"); }));
      batch_ratio.push_back(batch.back() / enc.back());

      fill = fill == 1 ? 2 : 1;
      const double e = time_ms(encrypt);
      rotate.push_back(time_ms([&] { check(vault.rotate_key(raw(fill)).has_value(), "rotate"); }));
      rotate_ratio.push_back(rotate.back() / e);
    }

    auto ms = [](const Spread& s) { return std::to_string(s.least).substr(0, 6) + " / " + std::to_string(s.median).substr(0, 6) + " ms"; };
    auto x = [](const Spread& s) {
      char b[64];
      std::snprintf(b, sizeof b, "%.2fx / %.2fx", s.least, s.median);
      return std::string(b);
    };
    std::printf("| %.1f MB | %s | %s | %s | %s | %s | %s | %s |\n", image_bytes / 1e6, ms(spread(enc)).c_str(),
                ms(spread(batch)).c_str(), x(spread(batch_ratio)).c_str(), ms(spread(dec)).c_str(),
                ms(spread(open)).c_str(), x(spread(open_ratio)).c_str(), x(spread(rotate_ratio)).c_str());
    std::fflush(stdout);
  }

  const std::string pass = "a passphrase for the benchmark";
  auto secret = encryption::Secret::passphrase({reinterpret_cast<const uint8_t*>(pass.data()), pass.size()});
  check(secret.has_value(), "passphrase");
  std::array<uint8_t, 16> salt{};
  std::vector<double> kdf;
  for (int r = 0; r < 3; ++r) kdf.push_back(time_ms([&] { check(secret->derive(salt).has_value(), "derive"); }));
  std::printf("\npassphrase key derivation (Argon2id v19, m=65536 KiB, t=3, p=1): %.1f ms (median of 3) per open or seal\n",
              spread(kdf).median);

  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return 0;
}
