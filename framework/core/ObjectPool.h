// Recycled storage for the small counted objects that every received frame makes (the frame
// object and the Data it sees its bytes through), so that a steady stream of frames allocates
// nothing from the heap.
//
// Each thread keeps its own free lists, one per size class, so that no lock and no atomic
// operation is taken: an object freed on the thread that made it (the channel's worker, when
// the host is done with the frame during the call) is reused by that thread's next frame. An
// object freed on another thread goes to that thread's lists; a list that is full gives the
// object back to the heap. The lists of a thread are freed when the thread ends.
#pragma once

#include <cstddef>

namespace core {

class ObjectPool {
  public:
    // Sizes above this come from the heap directly.
    static constexpr std::size_t kLargest = 512;
    static constexpr std::size_t kGranule = 32;
    static constexpr std::size_t kClasses = kLargest / kGranule;
    // Objects one thread keeps per size class before it gives them back to the heap.
    static constexpr std::size_t kKeptPerClass = 4096;

    static void* allocate(std::size_t n);
    static void deallocate(void* p, std::size_t n) noexcept;

    // Objects the calling thread holds ready in the class of size n (for tests).
    static std::size_t cachedOnThisThread(std::size_t n);
};

// Class-scope allocation functions that route a class family's objects through ObjectPool.
// The size given to the deleting form is the size of the object's own class (the destructors
// are virtual), so that every object returns to the class it came from.
#define CORE_POOLED_ALLOCATION                                     \
    static void* operator new(std::size_t n) {                     \
        return ::core::ObjectPool::allocate(n);                    \
    }                                                              \
    static void operator delete(void* p, std::size_t n) noexcept { \
        ::core::ObjectPool::deallocate(p, n);                      \
    }

}  // namespace core
