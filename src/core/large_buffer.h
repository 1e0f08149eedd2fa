// Buffers for whole images and blob pools. From 4 MiB on a buffer is mapped on its own with
// huge pages asked for, so filling it costs few page faults and dropping it gives it back to
// the system at once; a smaller one comes from the heap.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qm {

struct LargeBuffer {
  uint8_t* data = nullptr;
  size_t capacity = 0;  // at least the size asked for (whole huge pages when mapped)
  bool mapped = false;
};

// Throws std::bad_alloc when neither a mapping nor the heap has room.
LargeBuffer allocate_large(size_t n);
void release_large(const LargeBuffer& buffer);

}  // namespace qm
