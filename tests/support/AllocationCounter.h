#pragma once
// Counts heap allocations and frees made by the calling thread while counting is switched on.
// Every global operator new and delete and the C allocator entry points (malloc, calloc,
// realloc, free and the aligned variants) of the test binary go through the counter, so
// allocations made inside JUCE or the standard library are seen too.
namespace tgtest
{
struct AllocationCounts
{
    long allocations = 0; // malloc, calloc, aligned allocations, operator new, growing realloc
    long frees = 0;       // free of a non-null pointer, operator delete, realloc that moves or frees
};

// Starts counting on this thread from zero.
void startCountingAllocations() noexcept;

// Stops counting on this thread and returns what was seen since the start.
AllocationCounts stopCountingAllocations() noexcept;
} // namespace tgtest
