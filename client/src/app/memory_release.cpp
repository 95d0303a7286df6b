#include "app/memory_release.hpp"

#include <cstdlib>  // defines __GLIBC__ where glibc is the C library
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "proto/frame.hpp"

namespace quillmar {

void keep_freed_memory_for_reuse() {
#if defined(__GLIBC__)
  // Every frame's payload comes from the heap itself, and the heap keeps up to a few
  // frames' worth of free memory at its top.
  mallopt(M_MMAP_THRESHOLD, static_cast<int>(2 * MAX_FRAME_LEN));
  mallopt(M_TRIM_THRESHOLD, static_cast<int>(8 * MAX_FRAME_LEN));
#endif
}

void release_free_memory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

}  // namespace quillmar
