#include "encryption/envelope.h"

#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "core/bytes.h"
#include "core/crypto.h"
#include "db/database.h"
#include "query/statements/statements.h"
#include "encryption/sealed_database.h"
#include "support/temp_dir.h"
#include "support/result_text.h"

namespace qm::encryption {
namespace {

using EnvelopeDir = qm::test::InTempDir;

const std::array<uint8_t, 32> kKey = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                                      17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
const std::array<uint8_t, 16> kSalt = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
                                       0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF};
const std::array<uint8_t, 24> kNonce = {0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xBB,
                                        0xBC, 0xBD, 0xBE, 0xBF, 0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7};

Secret raw_key(uint8_t bump = 0) {
  auto k = kKey;
  k[0] ^= bump;
  return *Secret::raw(k);
}

std::string text(const std::vector<uint8_t>& b) { return std::string(b.begin(), b.end()); }

std::string error_of(const Result<SecureBytes>& r) { return r ? "opened" : r.error().message(); }

// A real (empty) database image, sealed with the fixed salt, nonce and raw key.
std::vector<uint8_t> sealed_empty_database() {
  auto image = must(db::Database::open_memory().bake_to_bytes());
  return *seal_image_with(as_bytes(image), 0, kSalt, kNonce, kKey);
}

TEST(Envelope, HeaderIsExactAndLibsodiumAloneDecryptsToTheImage) {
  auto db = db::Database::open_memory();
  auto image = *db.bake_to_bytes();
  auto env = *seal_database(db, raw_key());
  ASSERT_EQ(env.size(), image.size() + 80);

  // A fresh salt and nonce every time; the fixed parts byte for byte.
  const uint8_t fixed[16] = {'V', 'I', 'Z', 'A', 'D', 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(0, std::memcmp(env.data(), fixed, 16));
  EXPECT_EQ(load_u64(env.data() + 56), image.size());

  std::vector<uint8_t> plain(image.size());
  ASSERT_EQ(0, crypto_aead_xchacha20poly1305_ietf_decrypt_detached(
                   plain.data(), nullptr, env.data() + 64, image.size(), env.data() + 64 + image.size(), env.data(),
                   64, env.data() + 32, kKey.data()));
  EXPECT_EQ(text(plain).substr(0, 4), "QMDB");
  EXPECT_EQ(text(plain), image);

  auto again = *seal_database(db, raw_key());
  EXPECT_NE(std::vector<uint8_t>(env.begin() + 16, env.begin() + 56),
            std::vector<uint8_t>(again.begin() + 16, again.begin() + 56));

  EXPECT_EQ(inspect(env)->kdf, "raw-256-bit");
}

TEST(Envelope, MalformedHeadersAndSizesAreRefusedBeforeAnyKeyWork) {
  const std::string malformed = "data corruption: encrypted snapshot: unsupported or malformed envelope";
  const std::string bad_length = "data corruption: encrypted snapshot: invalid image length or image exceeds 256 MiB";
  struct Case {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> mutate;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"79 bytes", [](auto& e) { e.resize(79); }, malformed},
      {"magic", [](auto& e) { e[0] = 'W'; }, malformed},
      {"reserved byte 5", [](auto& e) { e[5] = 1; }, malformed},
      {"version 2", [](auto& e) { e[6] = 2; }, malformed},
      {"KDF 2", [](auto& e) { e[8] = 2; }, malformed},
      {"byte 9", [](auto& e) { e[9] = 1; }, malformed},
      {"byte 15", [](auto& e) { e[15] = 0x80; }, malformed},
      {"one byte longer", [](auto& e) { e.push_back(0); }, bad_length},
      {"one byte shorter", [](auto& e) { e.pop_back(); }, bad_length},
      {"length field at u64 max", [](auto& e) { store_u64(e.data() + 56, UINT64_MAX); }, bad_length},
      {"length field 256 MiB + 1", [](auto& e) { store_u64(e.data() + 56, kMaxImageBytes + 1); }, bad_length},
  };
  const auto good = sealed_empty_database();
  for (const auto& c : cases) {
    auto env = good;
    c.mutate(env);
    auto info = inspect(env);
    EXPECT_EQ(info ? "ok" : info.error().message(), c.expected) << c.name;
    EXPECT_EQ(error_of(open_image(env, raw_key())), c.expected) << c.name;
  }

  // The seal refuses one byte over 256 MiB before touching the bytes.
  uint8_t one = 0;
  EXPECT_EQ(error_text(seal_image_with(std::span<const uint8_t>(&one, kMaxImageBytes + 1), 0, kSalt, kNonce, kKey)),
            "query resource limit exceeded: encrypted image exceeds 256 MiB");
}

TEST(Envelope, EverySingleBitFlipFailsWithTheTextOfItsRegion) {
  const auto good = sealed_empty_database();
  ASSERT_TRUE(open_image(good, raw_key()).has_value());
  const std::string prefix = "data corruption: encrypted snapshot: ";
  for (size_t byte = 0; byte < good.size(); ++byte) {
    for (int bit = 0; bit < 8; ++bit) {
      auto env = good;
      env[byte] ^= uint8_t(1u << bit);
      std::string want = "authentication failed";  // salt, nonce, ciphertext, tag, KDF 0 -> 1
      if (byte < 16 && !(byte == 8 && bit == 0)) want = "unsupported or malformed envelope";
      if (byte >= 56 && byte < 64) want = "invalid image length or image exceeds 256 MiB";
      ASSERT_EQ(error_of(open_image(env, raw_key())), prefix + want) << "byte " << byte << " bit " << bit;
    }
  }
}

TEST(Envelope, KeysAndPassphrasesOpenOnlyTheirOwnEnvelopes) {
  const std::string auth = "data corruption: encrypted snapshot: authentication failed";
  const auto raw_env = sealed_empty_database();
  EXPECT_EQ(error_of(open_image(raw_env, raw_key(1))), auth);

  const std::string pass = "correct horse battery";
  auto secret = *Secret::passphrase(as_bytes(pass));
  EXPECT_EQ(error_of(open_image(raw_env, secret)), auth);  // no derivation: the KDF byte differs

  // One derivation seals; the open derives again with the salt from the header.
  auto key = *secret.derive(kSalt);
  auto image = *db::Database::open_memory().bake_to_bytes();
  auto pass_env = *seal_image_with(as_bytes(image), 1, kSalt, kNonce, key.span());
  EXPECT_EQ(inspect(pass_env)->kdf, "Argon2id-v19-m65536-t3-p1");
  EXPECT_EQ(error_of(open_image(pass_env, raw_key())), auth);
  auto opened = must(open_image(pass_env, secret));
  EXPECT_EQ(std::string(opened.span().begin(), opened.span().end()), image);
  EXPECT_EQ(error_of(open_image(pass_env, *Secret::passphrase(as_bytes(std::string("correct horse battery!")))) ),
            auth);

  // The key matches libargon2's Argon2id v19 m=65536 t=3 p=1 straight from libsodium.
  std::array<uint8_t, 32> sodium_key{};
  ASSERT_EQ(0, crypto_pwhash(sodium_key.data(), 32, pass.data(), pass.size(), kSalt.data(), 3, 65536 * 1024ull,
                             crypto_pwhash_ALG_ARGON2ID13));
  EXPECT_EQ(0, std::memcmp(sodium_key.data(), key.data(), 32));
  // A salt shorter than the derivation needs is refused, not padded.
  EXPECT_FALSE(crypto::argon2id(as_bytes(pass), as_bytes(std::string_view("short")), 2, 1024, 1));
}

TEST_F(EnvelopeDir, AnImagePastTheMappedBufferSizeIsSealedAndOpenedWhereItLies) {
  // Large enough for the envelope buffers that are mapped on their own rather than allocated.
  auto db = db::Database::open_memory();
  ASSERT_TRUE(query_with(db, "CREATE TABLE t (id, body)", {}).has_value());
  for (int i = 0; i < 5; ++i) {
    std::vector<Value> row{Value::integer(i), Value::text(std::string(1 << 20, static_cast<char>('a' + i)))};
    ASSERT_TRUE(query_with(db, "INSERT INTO t VALUES (?, ?)", row).has_value());
  }
  const std::string image = *db.bake_to_bytes();
  ASSERT_GT(image.size(), size_t{5} << 20);
  auto env = *seal_database(db, raw_key());
  ASSERT_EQ(env.size(), image.size() + 80);
  auto plain = *open_image(env, raw_key());
  EXPECT_EQ(std::string(plain.begin(), plain.end()), image);

  const std::string path = tmp.join("big.vault");
  ASSERT_TRUE(publish(path, env, false).has_value());
  auto read = *read_envelope(path);
  ASSERT_EQ(std::vector<uint8_t>(read.begin(), read.end()), std::vector<uint8_t>(env.begin(), env.end()));
  auto opened = *open_database_in_place(read, raw_key());
  EXPECT_EQ(*opened.bake_to_bytes(), image);
  auto wrong = *read_envelope(path);
  EXPECT_EQ(error_text(open_database_in_place(wrong, raw_key(1))),
            "data corruption: encrypted snapshot: authentication failed");
}

TEST_F(EnvelopeDir, PiecewiseSealAndFileOpenMatchTheOneShotCipherAtEveryPieceBoundary) {
  // Sealing and opening a file work in pieces of 256 KiB at envelope offsets; the lengths put
  // the end of the ciphertext and the tag before, on and across a piece boundary.
  const std::string prefix = "data corruption: encrypted snapshot: ";
  const size_t piece = size_t{256} << 10;
  const std::string path = tmp.join("p.vault");
  for (size_t length : {size_t{0}, size_t{1}, size_t{65}, piece - 81, piece - 80, piece - 72, piece - 64,
                        piece - 63, piece, 2 * piece + 100}) {
    SCOPED_TRACE(length);
    std::vector<uint8_t> image(length);
    for (size_t i = 0; i < length; ++i) image[i] = static_cast<uint8_t>(i * 131 + (i >> 9));

    // Bytes and tag are libsodium's one-shot AEAD with the header as associated data.
    const auto fixed = *seal_image_with(image, 0, kSalt, kNonce, kKey);
    std::vector<uint8_t> plain = image, cipher(length + 1);
    plain.push_back(0);  // never empty: libsodium takes no null pointer
    std::array<uint8_t, 16> tag{};
    crypto_aead_xchacha20poly1305_ietf_encrypt_detached(cipher.data(), tag.data(), nullptr, plain.data(), length,
                                                        fixed.data(), 64, nullptr, kNonce.data(), kKey.data());
    ASSERT_TRUE(std::equal(cipher.begin(), cipher.begin() + length, fixed.begin() + 64));
    ASSERT_TRUE(std::equal(tag.begin(), tag.end(), fixed.begin() + 64 + length));

    // The hash taken while sealing is the envelope's.
    SecureBytes env(length + kOverheadBytes);
    if (length) std::memcpy(env.data() + 64, image.data(), length);
    Digest hash{};
    ASSERT_TRUE(seal_in_place(env.span(), raw_key(), &hash).has_value());
    EXPECT_EQ(hash, blake3(env.span()));

    // The file read, hashed and decrypted piece by piece gives the image and the file's hash.
    std::filesystem::remove(path);
    ASSERT_TRUE(publish(path, env.span(), false).has_value());
    auto opened = must(read_and_open(path, raw_key()));
    EXPECT_EQ(opened.file_hash, hash);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), opened.image.begin(), opened.image.end()));

    // Damaged files fail with the text of a whole read followed by an open in place.
    const std::vector<std::function<void(std::vector<uint8_t>&)>> damages = {
        [](auto& e) { e[e.size() > 80 ? e.size() - 17 : 40] ^= 1; },  // last ciphertext byte
        [](auto& e) { e.back() ^= 0x80; },                            // last tag byte
        [](auto& e) { e.push_back(0); },
        [](auto& e) { e.pop_back(); },
        [](auto& e) { e[9] = 1; },
    };
    for (size_t i = 0; i < damages.size(); ++i) {
      std::vector<uint8_t> bytes(env.begin(), env.end());
      damages[i](bytes);
      std::filesystem::remove(path);
      ASSERT_TRUE(publish(path, bytes, false).has_value());
      auto whole = read_envelope(path);
      const std::string want = whole ? error_text(open_in_place(whole->span(), raw_key())) : error_text(whole);
      EXPECT_NE(want, "(ok)") << i;
      EXPECT_EQ(error_text(read_and_open(path, raw_key())), want) << i;
    }
    std::filesystem::remove(path);
    ASSERT_TRUE(publish(path, env.span(), false).has_value());
    EXPECT_EQ(error_text(read_and_open(path, raw_key(1))), prefix + "authentication failed");
    auto pass = *Secret::passphrase(as_bytes(std::string("correct horse battery")));
    EXPECT_EQ(error_text(read_and_open(path, pass)), prefix + "authentication failed");
  }
}

TEST_F(EnvelopeDir, PublishIsPrivateAndRefusesToReplaceWithoutLeavingTemporaries) {
  const std::string target = tmp.join("v.vault");
  const auto env = sealed_empty_database();
  ASSERT_TRUE(publish(target, env, false).has_value());
  struct stat st;
  ASSERT_EQ(0, ::stat(target.c_str(), &st));
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  std::vector<uint8_t> other = env;
  other[40] ^= 1;
  EXPECT_TRUE(publish(target, other, false).error().is(ErrorKind::Io));
  EXPECT_EQ(test::read_file(target), text(env));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tmp.path()), {}), 1);

  ASSERT_TRUE(publish(target, other, true).has_value());
  EXPECT_EQ(*read_file(target), other);
}

TEST_F(EnvelopeDir, ReadFileFollowsNoLinkAndNeverWaitsOnAFifo) {
  const auto env = sealed_empty_database();
  ASSERT_TRUE(publish(tmp.join("real"), env, false).has_value());
  ASSERT_EQ(0, ::symlink(tmp.join("real").c_str(), tmp.join("link").c_str()));
  ASSERT_EQ(0, ::mkfifo(tmp.join("fifo").c_str(), 0600));
  EXPECT_EQ(*read_file(tmp.join("real")), env);
  EXPECT_TRUE(read_file(tmp.join("link")).error().is(ErrorKind::Io));  // ELOOP: the link is not followed
  EXPECT_EQ(read_file(tmp.join("fifo")).error().message(),
            "data corruption: encrypted snapshot: vault must be a regular file");
  // A (sparse) file past the bound fails on its header alone.
  ASSERT_EQ(0, ::truncate(tmp.join("real").c_str(), kReadBound + 4096));
  EXPECT_EQ(read_file(tmp.join("real")).error().message(),
            "data corruption: encrypted snapshot: invalid image length or image exceeds 256 MiB");
}

}  // namespace
}  // namespace qm::encryption
