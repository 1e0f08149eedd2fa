#include "core/large_buffer.h"

#include <sys/mman.h>

namespace qm {

LargeBuffer allocate_large(size_t n) {
  constexpr size_t kMappedFrom = size_t{4} << 20, kHugePage = size_t{2} << 20;
  if (n >= kMappedFrom) {
    const size_t capacity = (n + kHugePage - 1) / kHugePage * kHugePage;
    void* p = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p != MAP_FAILED) {
      (void)::madvise(p, capacity, MADV_HUGEPAGE);  // a hint: without it the pages are small
      return {static_cast<uint8_t*>(p), capacity, true};
    }
  }
  return {new uint8_t[n], n, false};
}

void release_large(const LargeBuffer& buffer) {
  if (buffer.mapped) ::munmap(buffer.data, buffer.capacity);
  else delete[] buffer.data;
}

}  // namespace qm
