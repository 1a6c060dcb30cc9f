// Allocation counting for the real-time tests: the test binary's own malloc family and global
// operator new/delete, forwarding to glibc's allocator. Counting costs one thread-local flag
// test per call while it is switched off.
#include "support/AllocationCounter.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <new>

extern "C"
{
void* __libc_malloc (size_t size);
void* __libc_calloc (size_t count, size_t size);
void* __libc_realloc (void* pointer, size_t size);
void* __libc_memalign (size_t alignment, size_t size);
void __libc_free (void* pointer);
}

namespace
{
// Plain thread-locals with constant initialisation: reading them never allocates.
thread_local bool counting = false;
thread_local long allocationCount = 0;
thread_local long freeCount = 0;

inline void noteAllocation() noexcept
{
    if (counting)
        ++allocationCount;
}

inline void noteFree (const void* pointer) noexcept
{
    if (counting && pointer != nullptr)
        ++freeCount;
}

void* alignedOrNull (size_t alignment, size_t size) noexcept
{
    noteAllocation();
    return __libc_memalign (alignment, size);
}

void* newOrThrow (size_t size)
{
    if (size == 0)
        size = 1;
    if (void* p = std::malloc (size))
        return p;
    throw std::bad_alloc();
}

void* alignedNewOrThrow (size_t size, std::align_val_t alignment)
{
    if (size == 0)
        size = 1;
    if (void* p = alignedOrNull ((size_t) alignment, size))
        return p;
    throw std::bad_alloc();
}
} // namespace

namespace tgtest
{
void startCountingAllocations() noexcept
{
    allocationCount = 0;
    freeCount = 0;
    counting = true;
}

AllocationCounts stopCountingAllocations() noexcept
{
    counting = false;
    return { allocationCount, freeCount };
}
} // namespace tgtest

// --- C allocator --------------------------------------------------------------------------------
extern "C"
{
void* malloc (size_t size) noexcept
{
    noteAllocation();
    return __libc_malloc (size);
}

void* calloc (size_t count, size_t size) noexcept
{
    noteAllocation();
    return __libc_calloc (count, size);
}

void* realloc (void* pointer, size_t size) noexcept
{
    // A realloc is an allocation unless it only frees, and a free unless it only allocates.
    if (size != 0)
        noteAllocation();
    noteFree (pointer);
    return __libc_realloc (pointer, size);
}

void free (void* pointer) noexcept
{
    noteFree (pointer);
    __libc_free (pointer);
}

void* memalign (size_t alignment, size_t size) noexcept
{
    return alignedOrNull (alignment, size);
}

void* aligned_alloc (size_t alignment, size_t size) noexcept
{
    return alignedOrNull (alignment, size);
}

int posix_memalign (void** result, size_t alignment, size_t size) noexcept
{
    if (alignment < sizeof (void*) || (alignment & (alignment - 1)) != 0)
        return EINVAL;
    void* p = alignedOrNull (alignment, size);
    if (p == nullptr)
        return ENOMEM;
    *result = p;
    return 0;
}
}

// --- global operator new and delete, every variant ------------------------------------------------
void* operator new (size_t size) { return newOrThrow (size); }
void* operator new[] (size_t size) { return newOrThrow (size); }
void* operator new (size_t size, const std::nothrow_t&) noexcept { return std::malloc (size == 0 ? 1 : size); }
void* operator new[] (size_t size, const std::nothrow_t&) noexcept { return std::malloc (size == 0 ? 1 : size); }
void* operator new (size_t size, std::align_val_t alignment) { return alignedNewOrThrow (size, alignment); }
void* operator new[] (size_t size, std::align_val_t alignment) { return alignedNewOrThrow (size, alignment); }
void* operator new (size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    return alignedOrNull ((size_t) alignment, size == 0 ? 1 : size);
}
void* operator new[] (size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    return alignedOrNull ((size_t) alignment, size == 0 ? 1 : size);
}

void operator delete (void* p) noexcept { std::free (p); }
void operator delete[] (void* p) noexcept { std::free (p); }
void operator delete (void* p, size_t) noexcept { std::free (p); }
void operator delete[] (void* p, size_t) noexcept { std::free (p); }
void operator delete (void* p, const std::nothrow_t&) noexcept { std::free (p); }
void operator delete[] (void* p, const std::nothrow_t&) noexcept { std::free (p); }
void operator delete (void* p, std::align_val_t) noexcept { std::free (p); }
void operator delete[] (void* p, std::align_val_t) noexcept { std::free (p); }
void operator delete (void* p, size_t, std::align_val_t) noexcept { std::free (p); }
void operator delete[] (void* p, size_t, std::align_val_t) noexcept { std::free (p); }
void operator delete (void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free (p); }
void operator delete[] (void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free (p); }
