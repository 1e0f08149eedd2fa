// The frame's own exports: version, last error, and releasing what the library handed out.
#include <cstdlib>

#include "ffi/export.h"
#include "ffi/frame.h"

extern "C" {

QM_EXPORT const char* qm_version(void) { return "2.3.0"; }

QM_EXPORT const char* qm_last_error(void) { return qm::ffi::last_error(); }

QM_EXPORT void qm_string_free(char* s) { std::free(s); }

QM_EXPORT void qm_bytes_free(uint8_t* ptr, size_t len) {
  if (ptr == nullptr || len == 0) return;
  std::free(ptr);
}

}  // extern "C"
