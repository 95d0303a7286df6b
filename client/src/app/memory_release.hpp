// The heap under the streams' traffic: freed memory kept for reuse while they run, and
// handed back to the system once a burst of them is over.
#pragma once

#include <asio/io_context.hpp>
#include <cstddef>

namespace quillmar {

// Frames of up to a MiB are allocated and freed at a high rate, several at once when
// many streams send. glibc would hand the top of its heap back to the system whenever
// it passed 128 KiB free, and map a frame of more than 128 KiB afresh: a system call and
// new zero-filled pages every few frames. From this call on it keeps freed memory for
// the next frames instead. Elsewhere the C library needs no such setting and this does
// nothing. Call it once at start-up.
void keep_freed_memory_for_reuse();

// glibc keeps the memory that a burst of streams freed (hundreds of coroutine frames,
// queues and buffers) mapped for reuse, so without this call the resident size stays
// at the burst's figure; elsewhere the C library returns it by itself and this does
// nothing. It walks the whole heap: call it after bursts, not after every stream.
void release_free_memory();

// Asio's Linux reactor keeps one record per socket it has ever had open at once and
// never frees them: closed sockets hand theirs back to a free list for the next ones.
// Made during a burst, those records lie among the streams' other memory and keep a page
// of it resident each, which release_free_memory cannot return. This call makes `count`
// of them up front, side by side, so that a burst of up to that many sockets on the
// context reuses them. It opens the sockets and closes them again; when the system runs
// out of descriptors it reserves fewer. Elsewhere it does nothing. Call it once at
// start-up, before the context's first sockets.
void reserve_socket_records(asio::io_context& context, std::size_t count);

}  // namespace quillmar
