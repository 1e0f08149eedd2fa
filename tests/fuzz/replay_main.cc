// Runs a fuzz target over every file of a corpus directory, so the committed corpus is a
// regression suite in the ordinary build. Every target is linked into this one program under
// the name qm_fuzz_<target> (see tests/CMakeLists.txt); the first argument picks one.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#define QM_FUZZ_TARGET(name) extern "C" int qm_fuzz_##name(const uint8_t* data, size_t size);
#include "replay_targets.inc"
#undef QM_FUZZ_TARGET

namespace {

struct Target {
  const char* name;
  int (*run)(const uint8_t*, size_t);
};

constexpr Target kTargets[] = {
#define QM_FUZZ_TARGET(name) {#name, qm_fuzz_##name},
#include "replay_targets.inc"
#undef QM_FUZZ_TARGET
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s TARGET CORPUS_DIR\n", argv[0]);
    return 2;
  }
  const Target* target = nullptr;
  for (const Target& t : kTargets)
    if (std::string_view(t.name) == argv[1]) target = &t;
  if (!target) {
    std::fprintf(stderr, "no fuzz target %s\n", argv[1]);
    return 2;
  }
  size_t count = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(argv[2])) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    target->run(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    ++count;
  }
  std::printf("replayed %zu inputs\n", count);
  return 0;
}
