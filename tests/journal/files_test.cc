// Checked files, entry names, bounded walks and the journal's own page reader.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "core/blake3.h"
#include "core/fs.h"
#include "journal/files.h"
#include "support/result_text.h"
#include "support/temp_dir.h"

namespace qm::journal {
namespace {

using CheckedFileDir = qm::test::InTempDir;
using ReadPageDir = qm::test::InTempDir;
using TreeWalkDir = qm::test::InTempDir;
using namespace qm::test;

template <class T>
std::string error_of(const Result<T>& r) { return r ? "ok" : r.error().message(); }

TEST_F(CheckedFileDir, TamperedShortOrOversizedFilesAreRefused) {
  const std::string path = tmp.join("f");
  ASSERT_TRUE(write_checked(path, "payload"));
  EXPECT_EQ(*read_checked(path), "payload");
  EXPECT_EQ(error_of(write_checked(path, "again")).find("File exists") != std::string::npos, true);

  Digest empty = blake3(std::string_view());
  std::string good = std::string(reinterpret_cast<const char*>(empty.data()), 32);
  std::string flipped = checked_bytes("payload");
  flipped.back() ^= 1;
  const std::pair<std::string, std::string> cases[] = {
      {good, "ok"},
      {good.substr(0, 31), "data corruption: commit log checksum mismatch"},
      {flipped, "data corruption: commit log checksum mismatch"},
  };
  for (const auto& [bytes, expected] : cases) {
    write_file(path, bytes);
    EXPECT_EQ(error_of(read_checked(path)), expected);
  }
  write_file(path, "12345");
  EXPECT_EQ(*read_bounded(path, 5), "12345");
  EXPECT_EQ(error_of(read_bounded(path, 4)), "query resource limit exceeded: journal file exceeds byte limit");
}

TEST_F(CheckedFileDir, LinksAreExistingButNeverRead) {
  ASSERT_TRUE(write_checked(tmp.join("real"), "x"));
  std::filesystem::create_symlink(tmp.join("real"), tmp.join("link"));
  std::filesystem::create_directory(tmp.join("dir"));
  std::filesystem::create_directory_symlink(tmp.join("dir"), tmp.join("dirlink"));
  EXPECT_TRUE(must(present(tmp.join("link"))));
  EXPECT_EQ(error_of(read_checked(tmp.join("link"))), "data corruption: expected regular journal file: " + tmp.join("link"));
  EXPECT_EQ(error_of(safe_directory(tmp.join("dirlink"))),
            "data corruption: expected real journal directory: " + tmp.join("dirlink"));
  EXPECT_TRUE(safe_directory(tmp.join("dir")));
}

TEST(EntryName, OnlyTwentyDigitsWithinRangeParse) {
  const std::pair<std::string, std::string> cases[] = {
      {"18446744073709551615", "18446744073709551615"},
      {"00000000000000000042", "42"},
      {"18446744073709551616", "data corruption: journal entry overflow"},
      {"99999999999999999999", "data corruption: journal entry overflow"},
      {"0000000000000000042", "data corruption: invalid journal entry name"},
      {"0000000000000000004a", "data corruption: invalid journal entry name"},
  };
  for (const auto& [name, expected] : cases) {
    auto r = parse_sequence(name);
    EXPECT_EQ(r ? std::to_string(*r) : r.error().message(), expected) << name;
  }
  EXPECT_EQ(sequence_name(42), "00000000000000000042");
}

TEST_F(TreeWalkDir, DepthLinksAndCleanupAreBounded) {
  const std::string log = tmp.join(".qm-log");
  std::filesystem::create_directories(log + "/preparing/a/b/c/d");
  write_file(log + "/preparing/a/b/c/d/f", "12345");
  uint64_t counter = 0;
  EXPECT_EQ(*tree_size_bounded(log + "/preparing", 0, counter), 5u);
  EXPECT_EQ(counter, 5u);
  counter = 0;
  EXPECT_EQ(error_of(tree_size_bounded(log, 0, counter)),
            "query resource limit exceeded: commit log directory nesting exceeds limit");

  // A link under `discarded` stops the cleanup and is reported; what it points to survives.
  std::filesystem::create_directories(tmp.join("outside"));
  write_file(tmp.join("outside/keep"), "k");
  std::filesystem::create_directories(log + "/discarded");
  std::filesystem::create_directory_symlink(tmp.join("outside"), log + "/discarded/link");
  EXPECT_EQ(error_of(cleanup_inactive(log)),
            "data corruption: symlink in commit log");
  EXPECT_FALSE(must(present(log + "/preparing")));  // removed before `discarded` was looked at
  EXPECT_TRUE(must(present(log + "/discarded/link")));
  // A removal meets the link as an entry, never as the directory it names.
  ASSERT_TRUE(remove_tree(log + "/discarded"));
  EXPECT_EQ(qm::test::read_file(tmp.join("outside/keep")), "k");
}

TEST_F(ReadPageDir, PagesMapToChunkFilesAndShortFilesFail) {
  std::filesystem::create_directories(tmp.join("chunks"));
  write_file(tmp.join("chunks/chunk_00000.qmd"), "");
  // A sparse 64 MiB chunk whose last page is written.
  std::filesystem::resize_file(tmp.join("chunks/chunk_00000.qmd"), 16383 * 4096);
  {
    std::ofstream out(tmp.join("chunks/chunk_00000.qmd"), std::ios::binary | std::ios::app);
    out << std::string(4096, 'z');
  }
  write_file(tmp.join("chunks/chunk_00001.qmd"), std::string(4096, 'y') + "short");
  std::string page(4096, '\0');
  auto out = std::span<uint8_t>(reinterpret_cast<uint8_t*>(page.data()), page.size());
  ASSERT_TRUE(read_page(tmp.path(), 16383, out));
  EXPECT_EQ(page, std::string(4096, 'z'));
  ASSERT_TRUE(read_page(tmp.path(), 16384, out));
  EXPECT_EQ(page, std::string(4096, 'y'));
  EXPECT_EQ(read_page(tmp.path(), 16385, out).error().kind, ErrorKind::Io);
  EXPECT_EQ(chunk_path("/w", 16384), "/w/chunks/chunk_00001.qmd");
}

}  // namespace
}  // namespace qm::journal
