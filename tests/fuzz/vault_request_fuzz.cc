// Vault requests against a real vault in a private temporary directory: any text is refused
// cleanly or answered, and the vault stays usable. Backups go to one fixed file inside that
// directory (removed after each run) whatever path the request names; the vault is made
// afresh now and then so the database a fuzzer grows stays small.
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "encryption/vault_request.h"

namespace {

using namespace qm::encryption;

struct Fixture {
  std::string dir, path, backup;
  std::optional<Vault> vault;
  unsigned runs = 0;

  Fixture() {
    const char* t = std::getenv("TMPDIR");
    std::string templ = std::string(t && *t ? t : "/tmp") + "/qm_vault_fuzz_XXXXXX";
    if (!mkdtemp(templ.data())) std::abort();
    dir = templ;
    path = dir + "/fuzz.vault";
    backup = dir + "/backup.vault";
  }
  ~Fixture() {
    vault.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  Vault& get() {
    if (!vault || ++runs % 256 == 0) {
      vault.reset();
      ::unlink(path.c_str());
      std::array<uint8_t, 32> key{};
      key.fill(0x42);
      auto created = Vault::create(path, *Secret::raw(key));
      if (!created) std::abort();
      vault.emplace(std::move(*created));
    }
    return *vault;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture fixture;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  Vault& vault = fixture.get();
  if (text.size() > kMaxRequestBytes) return 0;
  auto request = parse_request(text);
  if (!request) return 0;
  if (request->action == Request::Action::Backup) request->path = fixture.backup;
  (void)run_request(vault, *request);
  ::unlink(fixture.backup.c_str());
  // A poisoned handle means the fuzzer changed the file behind it, which it cannot do.
  if (vault.poisoned()) std::abort();
  return 0;
}
