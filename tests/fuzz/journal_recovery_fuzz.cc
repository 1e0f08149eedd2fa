// Recovery over a crafted commit log: the input describes entries of a workspace's
// `.qm-log` (journal header, saved manifest, undo files, commits, checkpoint, leftovers,
// links pointing out of the workspace) and its manifest, built in a fresh temporary
// directory. Recovery and the readers may refuse, but never crash, never write through a
// link, and a recovery that succeeds leaves no active journal and an inventory that holds.
//
// Input: repeated entries of [selector u8][flags u8][number u8][length u16 LE][bytes];
// flags bit 0 wraps the bytes as a checked file, bit 1 makes a directory, bit 2 a link to
// the directory outside the workspace.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "journal/feed.h"
#include "journal/files.h"
#include "journal/inventory.h"

namespace {

namespace sfs = std::filesystem;
using namespace qm::journal;

std::string path_for(uint8_t selector, uint8_t number) {
  const std::string undo = ".qm-log/active/undo/";
  switch (selector % 14) {
    case 0: return "qm_manifest.json";
    case 1: return ".qm-log/active/header";
    case 2: return ".qm-log/active/before";
    case 3: return undo + sequence_name(number % 4);
    case 4: return undo + sequence_name(number % 4) + ".tmp";
    case 5: return ".qm-log/" + sequence_name(number % 4) + "/change";
    case 6: return ".qm-log/checkpoint";
    case 7: return ".qm-log/preparing/" + std::to_string(number);
    case 8: return ".qm-log/discarded/" + std::to_string(number);
    case 9: return "chunks/chunk_00000.qmd";
    case 10: return ".qm-log/" + sequence_name(number % 4);
    case 11: return ".qm-log/active/undo";
    case 12: return undo + std::string(1, static_cast<char>('a' + number % 26));
    default: return ".qm-log/active";
  }
}

void build(const std::string& root, const std::string& outside, const uint8_t* data, size_t size) {
  size_t pos = 0;
  while (pos + 5 <= size) {
    uint8_t selector = data[pos], flags = data[pos + 1], number = data[pos + 2];
    size_t len = data[pos + 3] | (size_t{data[pos + 4]} << 8);
    pos += 5;
    len = std::min(len, size - pos);
    std::string bytes(reinterpret_cast<const char*>(data + pos), len);
    pos += len;
    sfs::path p = sfs::path(root) / path_for(selector, number);
    std::error_code ec;
    sfs::create_directories(p.parent_path(), ec);
    if (flags & 4) {
      sfs::create_directory_symlink(outside, p, ec);
    } else if (flags & 2) {
      sfs::create_directories(p, ec);
    } else {
      if (flags & 1) bytes = checked_bytes(bytes);
      std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string base = sfs::temp_directory_path().string() + "/qm_recovery_fuzz_XXXXXX";
  if (!mkdtemp(base.data())) return 0;
  const std::string root = base + "/ws", outside = base + "/outside";
  sfs::create_directories(root + "/chunks");
  sfs::create_directories(outside);
  std::ofstream(outside + "/keep") << "keep";
  std::ofstream(root + "/chunks/chunk_00000.qmd", std::ios::binary) << std::string(3 * 4096, 'c');
  build(root, outside, data, size);

  (void)status(root, {});
  (void)changes(root, 0, 8);
  if (recover(root)) {
    if (auto active = present(root + "/.qm-log/active"); !active || *active) std::abort();
    if (!inventory(root)) std::abort();
  }
  if (!sfs::exists(outside + "/keep") || sfs::file_size(outside + "/keep") != 4) std::abort();
  std::error_code ec;
  sfs::remove_all(base, ec);
  return 0;
}
