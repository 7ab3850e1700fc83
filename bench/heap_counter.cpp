// Stands in for glibc's malloc family and forwards every call to glibc's own entry points; the
// program's allocations and those of every library it loads come here.
#include "heap_counter.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <malloc.h>
#include <unistd.h>

extern "C" {
void* __libc_malloc(std::size_t size) noexcept;
void* __libc_calloc(std::size_t count, std::size_t size) noexcept;
void* __libc_realloc(void* pointer, std::size_t size) noexcept;
void* __libc_memalign(std::size_t alignment, std::size_t size) noexcept;
void __libc_free(void* pointer) noexcept;
}

namespace {

std::atomic<bool> counting { false };
std::atomic<std::int64_t> live { 0 };
std::atomic<std::int64_t> peak { 0 };
std::atomic<std::int64_t> allocations { 0 };

void added(void* pointer)
{
    if (!pointer || !counting.load(std::memory_order_relaxed))
        return;
    allocations.fetch_add(1, std::memory_order_relaxed);
    const auto size = static_cast<std::int64_t>(malloc_usable_size(pointer));
    const auto now = live.fetch_add(size, std::memory_order_relaxed) + size;
    auto high = peak.load(std::memory_order_relaxed);
    while (now > high && !peak.compare_exchange_weak(high, now, std::memory_order_relaxed)) { }
}

// A block from before the count began lowers the figure when it goes: the peak is the net
// growth over the start.
void removed(void* pointer)
{
    if (pointer && counting.load(std::memory_order_relaxed))
        live.fetch_sub(
            static_cast<std::int64_t>(malloc_usable_size(pointer)), std::memory_order_relaxed);
}

} // namespace

extern "C" {

void* malloc(std::size_t size) noexcept
{
    void* pointer = __libc_malloc(size);
    added(pointer);
    return pointer;
}

void* calloc(std::size_t count, std::size_t size) noexcept
{
    void* pointer = __libc_calloc(count, size);
    added(pointer);
    return pointer;
}

void* realloc(void* pointer, std::size_t size) noexcept
{
    removed(pointer);
    void* moved = __libc_realloc(pointer, size);
    // A failed realloc leaves the old block in place.
    added(moved ? moved : (size ? pointer : nullptr));
    return moved;
}

void* memalign(std::size_t alignment, std::size_t size) noexcept
{
    void* pointer = __libc_memalign(alignment, size);
    added(pointer);
    return pointer;
}

void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept
{
    return memalign(alignment, size);
}

int posix_memalign(void** out, std::size_t alignment, std::size_t size) noexcept
{
    if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0)
        return EINVAL;
    void* pointer = memalign(alignment, size);
    if (!pointer)
        return ENOMEM;
    *out = pointer;
    return 0;
}

void* valloc(std::size_t size) noexcept
{
    return memalign(static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)), size);
}

void* pvalloc(std::size_t size) noexcept
{
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return memalign(page, (size + page - 1) / page * page);
}

void free(void* pointer) noexcept
{
    removed(pointer);
    __libc_free(pointer);
}

} // extern "C"

namespace miruteka::bench {

void StartHeapCount()
{
    live.store(0);
    peak.store(0);
    allocations.store(0);
    counting.store(true);
}

HeapFigures StopHeapCount()
{
    counting.store(false);
    return { peak.load(), allocations.load() };
}

} // namespace miruteka::bench
