// The test executables' operator new: it can count the allocations of one size and make the
// n-th allocation fail, in the calling thread only.
#include "testing.h"

#include <cstdlib>
#include <new>

namespace {

thread_local std::size_t s_counted_size = 0;
thread_local int s_counted = 0;
thread_local int s_until_failure = 0;

void *allocate(std::size_t size)
{
    if (s_counted_size != 0 && size == s_counted_size)
        ++s_counted;
    if (s_until_failure > 0 && --s_until_failure == 0)
        throw std::bad_alloc();
    if (void *memory = std::malloc(size == 0 ? 1 : size))
        return memory;
    throw std::bad_alloc();
}

} // namespace

namespace kesu::test::allocations {

void count_size(std::size_t size)
{
    s_counted_size = size;
    s_counted = 0;
}

int counted()
{
    return std::exchange(s_counted, 0);
}

void fail_at(int n)
{
    s_until_failure = n;
}

} // namespace kesu::test::allocations

// Every replaceable form that pairs with the two below is replaced too, so that no allocation
// made by the standard library's own forms is freed by ours (a mismatch that ASan reports).
void *operator new(std::size_t size)
{
    return allocate(size);
}

void *operator new(std::size_t size, const std::nothrow_t &) noexcept
{
    return std::malloc(size == 0 ? 1 : size);
}

void *operator new[](std::size_t size)
{
    return allocate(size);
}

void *operator new[](std::size_t size, const std::nothrow_t &) noexcept
{
    return std::malloc(size == 0 ? 1 : size);
}

void operator delete(void *memory) noexcept
{
    std::free(memory);
}

void operator delete(void *memory, std::size_t) noexcept
{
    std::free(memory);
}

void operator delete(void *memory, const std::nothrow_t &) noexcept
{
    std::free(memory);
}

void operator delete[](void *memory) noexcept
{
    std::free(memory);
}

void operator delete[](void *memory, std::size_t) noexcept
{
    std::free(memory);
}

void operator delete[](void *memory, const std::nothrow_t &) noexcept
{
    std::free(memory);
}
