// Shared pages: large buffers that are kept by one owner and handed out as
// copies many times (a session's mesh record). Such a buffer lives in
// anonymous memory files (one, or several side by side for a large one); a
// copy is a private mapping of those files, whose
// pages are the buffer's own until the copy writes to them (copy on write),
// so a copy costs neither a pass over the data nor memory of its own. The
// buffer itself must not be written once a copy of it exists: unwritten
// pages of the copies would show the change.
#pragma once

#include <cstddef>

namespace quorin {

// Buffers below this size are never put on shared pages. Copying a buffer
// into fresh pages on the caller's thread costs more than mapping it from
// a few tens of kilobytes on (a session's snapshot of a 1 MB array: 0.1-0.8
// ms on 8 threads, measured, against some 20 us for the mapping).
inline constexpr std::size_t SHARED_PAGES_MIN = std::size_t{1} << 16;

// A buffer of `bytes` bytes on shared pages, or null where the system gives
// none (then callers allocate as usual).
void* allocate_shared_pages(std::size_t bytes);

// Frees a buffer from allocate_shared_pages; false (nothing done) when `p`
// is not one. Copies mapped from it stay valid. The pages are returned to
// the system by a background thread, shortly after the call.
bool release_shared_pages(void* p) noexcept;

// A private copy-on-write mapping of the first `bytes` bytes of the shared
// buffer that starts at `p`, or null when `p` is not one or the mapping fails.
void* map_private_copy(const void* p, std::size_t bytes);
void release_private_copy(void* copy, std::size_t bytes) noexcept;

// While one is alive, shared buffers released without a live copy are kept
// (pages and all) and serve the next shared buffers of about their size,
// which then take no fresh pages: a session that replaces its record reuses
// the old one's memory. Buffers kept and not taken are released when the
// last scope ends. Contents of a reused buffer are what was left in it.
class SharedPagesReuse {
public:
    SharedPagesReuse();
    ~SharedPagesReuse();
    SharedPagesReuse(const SharedPagesReuse&) = delete;
    SharedPagesReuse& operator=(const SharedPagesReuse&) = delete;
};

}  // namespace quorin
