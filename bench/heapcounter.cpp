#include "heapcounter.h"

#include <atomic>
#include <cerrno>
#include <malloc.h>

// The C library's own allocator, which these replacements forward to; glibc exports it under
// these names for exactly this use.
extern "C" {
void *__libc_malloc(std::size_t size);
void __libc_free(void *block);
void *__libc_calloc(std::size_t count, std::size_t size);
void *__libc_realloc(void *block, std::size_t size);
void *__libc_memalign(std::size_t alignment, std::size_t size);
void *__libc_valloc(std::size_t size);
void *__libc_pvalloc(std::size_t size);
}

namespace {

std::atomic<std::size_t> s_live{0};
std::atomic<std::size_t> s_peak{0};

void raise_peak(std::size_t now)
{
    std::size_t peak = s_peak.load(std::memory_order_relaxed);
    while (now > peak && !s_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) { }
}

void *allocated(void *block)
{
    if (block) {
        const std::size_t size = malloc_usable_size(block);
        raise_peak(s_live.fetch_add(size, std::memory_order_relaxed) + size);
    }
    return block;
}

void released(void *block)
{
    if (block)
        s_live.fetch_sub(malloc_usable_size(block), std::memory_order_relaxed);
}

} // namespace

extern "C" {

void *malloc(std::size_t size)
{
    return allocated(__libc_malloc(size));
}

void free(void *block)
{
    released(block);
    __libc_free(block);
}

void *calloc(std::size_t count, std::size_t size)
{
    return allocated(__libc_calloc(count, size));
}

// A block that moves is counted twice for a moment, as it is held twice: the old one is freed
// only after the copy.
void *realloc(void *block, std::size_t size)
{
    const std::size_t old_size = block ? malloc_usable_size(block) : 0;
    void *moved = __libc_realloc(block, size);
    if (!moved) {
        // realloc(block, 0) frees the block; a failed realloc keeps it.
        if (block && size == 0)
            s_live.fetch_sub(old_size, std::memory_order_relaxed);
        return moved;
    }
    if (moved == block) {
        const std::size_t new_size = malloc_usable_size(moved);
        if (new_size >= old_size)
            raise_peak(s_live.fetch_add(new_size - old_size, std::memory_order_relaxed) + new_size
                       - old_size);
        else
            s_live.fetch_sub(old_size - new_size, std::memory_order_relaxed);
        return moved;
    }
    allocated(moved);
    s_live.fetch_sub(old_size, std::memory_order_relaxed);
    return moved;
}

void *memalign(std::size_t alignment, std::size_t size)
{
    return allocated(__libc_memalign(alignment, size));
}

void *aligned_alloc(std::size_t alignment, std::size_t size)
{
    return allocated(__libc_memalign(alignment, size));
}

int posix_memalign(void **result, std::size_t alignment, std::size_t size)
{
    if (alignment % sizeof(void *) != 0 || (alignment & (alignment - 1)) != 0)
        return EINVAL;
    void *block = allocated(__libc_memalign(alignment, size));
    if (!block)
        return ENOMEM;
    *result = block;
    return 0;
}

void *valloc(std::size_t size)
{
    return allocated(__libc_valloc(size));
}

void *pvalloc(std::size_t size)
{
    return allocated(__libc_pvalloc(size));
}

} // extern "C"

namespace korvel::bench::heap {

std::size_t live()
{
    return s_live.load(std::memory_order_relaxed);
}

std::size_t peak()
{
    return s_peak.load(std::memory_order_relaxed);
}

void reset_peak()
{
    s_peak.store(s_live.load(std::memory_order_relaxed), std::memory_order_relaxed);
}

} // namespace korvel::bench::heap
