// Handing the heap's free pages back to the system.
#pragma once

namespace quillmar {

// glibc keeps the memory that a burst of streams freed (hundreds of coroutine frames,
// queues and buffers) mapped for reuse, so without this call the resident size stays
// at the burst's figure; elsewhere the C library returns it by itself and this does
// nothing. It walks the whole heap: call it after bursts, not after every stream.
void release_free_memory();

}  // namespace quillmar
