// The vault calls of the C interface: open (or create), request, rotate, close. Arguments
// are checked in a fixed order with fixed texts; the host's secret buffer is copied, never
// kept or wiped; a QmVault owns one Vault and nothing else.
#include <string>

#include "encryption/vault.h"
#include "encryption/vault_request.h"
#include "ffi/export.h"
#include "ffi/frame.h"
#include "ffi/handle_use.h"

struct QmVault {
  explicit QmVault(qm::encryption::Vault v) : vault(std::move(v)) {}
  qm::encryption::Vault vault;
  std::atomic<bool> in_use{false};  // held by each call (ffi/handle_use.h)
};

namespace {

using qm::QmError;
using qm::Result;
using qm::encryption::Secret;

Result<Secret> secret_arg(const uint8_t* ptr, size_t len, uint32_t kind) {
  if (ptr == nullptr) return qm::fail(QmError::query("invalid secret kind or length"));
  std::span<const uint8_t> bytes(ptr, len);
  if (kind == 0) return Secret::raw(bytes);
  if (kind == 1) return Secret::passphrase(bytes);
  return qm::fail(QmError::query("invalid secret kind or length"));
}

template <class T>
bool report(const Result<T>& r) {
  if (r) return true;
  qm::ffi::set_last_error(r.error());
  return false;
}

}  // namespace

extern "C" {

QM_EXPORT QmVault* qm_vault_open(const char* path, const uint8_t* secret, size_t secret_len, uint32_t kind,
                                 int32_t create) {
  return qm::ffi::entry<QmVault*>(nullptr, [&]() -> QmVault* {
    auto p = qm::ffi::utf8_arg(path);
    if (!p) {
      qm::ffi::set_last_error(QmError::query("invalid vault path"));
      return nullptr;
    }
    auto s = secret_arg(secret, secret_len, kind);
    if (!report(s)) return nullptr;
    if (create != 0 && create != 1) {
      qm::ffi::set_last_error(QmError::query("create must be 0 or 1"));
      return nullptr;  // the secret just built is wiped as it goes
    }
    auto opened = create ? qm::encryption::Vault::create(std::string(*p), std::move(*s))
                         : qm::encryption::Vault::open(std::string(*p), std::move(*s));
    if (!report(opened)) return nullptr;
    return new QmVault(std::move(*opened));
  });
}

QM_EXPORT char* qm_vault_request(QmVault* vault, const char* request) {
  return qm::ffi::entry<char*>(nullptr, [&]() -> char* {
    if (vault == nullptr) {
      qm::ffi::set_last_error(QmError::query("vault is closed"));
      return nullptr;
    }
    auto text = qm::ffi::utf8_arg(request);
    if (!text) {
      qm::ffi::set_last_error(QmError::query("invalid request"));
      return nullptr;
    }
    qm::ffi::HandleUse use(vault->in_use);
    if (!use) {
      qm::ffi::set_last_error(qm::ffi::handle_in_use());
      return nullptr;
    }
    auto reply = qm::encryption::handle_request(vault->vault, *text);
    if (!report(reply)) return nullptr;
    return qm::ffi::string_to_c(*reply);
  });
}

QM_EXPORT int32_t qm_vault_rotate(QmVault* vault, const uint8_t* secret, size_t secret_len, uint32_t kind) {
  return qm::ffi::entry<int32_t>(0, [&]() -> int32_t {
    if (vault == nullptr) {
      qm::ffi::set_last_error(QmError::query("vault is closed"));
      return 0;
    }
    auto s = secret_arg(secret, secret_len, kind);
    if (!report(s)) return 0;
    qm::ffi::HandleUse use(vault->in_use);
    if (!use) {
      qm::ffi::set_last_error(qm::ffi::handle_in_use());
      return 0;
    }
    return report(vault->vault.rotate_key(std::move(*s))) ? 1 : 0;
  });
}

QM_EXPORT void qm_vault_close(QmVault* vault) {
  // Closing keeps the caller's last error; the lock is released, the secret wiped. A vault
  // another thread is using is left open (the refusal is the last error), not freed under it.
  if (vault == nullptr) return;
  if (!qm::ffi::take_for_close(vault->in_use)) return;
  delete vault;
}

}  // extern "C"
