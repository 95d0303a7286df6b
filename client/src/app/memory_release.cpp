#include "app/memory_release.hpp"

#include <cstdlib>  // defines __GLIBC__ where glibc is the C library
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace quillmar {

void release_free_memory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

}  // namespace quillmar
