#include "framework/core/ObjectPool.h"

#include <new>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CORE_POOL_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define CORE_POOL_ASAN 1
#endif
#ifdef CORE_POOL_ASAN
#include <sanitizer/asan_interface.h>
#define CORE_POOL_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define CORE_POOL_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define CORE_POOL_POISON(p, n) ((void)(p), (void)(n))
#define CORE_POOL_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace core {

namespace {

struct FreeNode {
    FreeNode* next;
};

struct ThreadLists {
    FreeNode* heads[ObjectPool::kClasses] = {};
    std::size_t counts[ObjectPool::kClasses] = {};
};

// Plain pointers, so that they stay readable while the thread's destructors run: an object
// freed after the lists are gone goes straight back to the heap.
// Initial-exec: the framework library is loaded with the program, and every frame reads these.
__attribute__((tls_model("initial-exec"))) thread_local ThreadLists* t_lists = nullptr;
__attribute__((tls_model("initial-exec"))) thread_local bool t_ended = false;

std::size_t classOf(std::size_t n) {
    return (n + ObjectPool::kGranule - 1) / ObjectPool::kGranule - 1;
}
std::size_t classBytes(std::size_t c) {
    return (c + 1) * ObjectPool::kGranule;
}

struct ListsOwner {
    ~ListsOwner() {
        ThreadLists* lists = t_lists;
        t_lists = nullptr;
        t_ended = true;
        if (!lists)
            return;
        for (std::size_t c = 0; c < ObjectPool::kClasses; ++c) {
            for (FreeNode* node = lists->heads[c]; node;) {
                CORE_POOL_UNPOISON(node, classBytes(c));
                FreeNode* next = node->next;
                ::operator delete(node);
                node = next;
            }
        }
        delete lists;
    }
};

ThreadLists* lists() {
    if (t_lists || t_ended)
        return t_lists;
    static thread_local ListsOwner owner;  // frees the lists when the thread ends
    (void)owner;
    t_lists = new ThreadLists;
    return t_lists;
}

}  // namespace

void* ObjectPool::allocate(std::size_t n) {
    if (n == 0 || n > kLargest)
        return ::operator new(n);
    const std::size_t c = classOf(n);
    ThreadLists* l = lists();
    if (l && l->heads[c]) {
        FreeNode* node = l->heads[c];
        CORE_POOL_UNPOISON(node, classBytes(c));
        l->heads[c] = node->next;
        --l->counts[c];
        return node;
    }
    return ::operator new(classBytes(c));
}

void ObjectPool::deallocate(void* p, std::size_t n) noexcept {
    if (!p)
        return;
    if (n == 0 || n > kLargest) {
        ::operator delete(p);
        return;
    }
    const std::size_t c = classOf(n);
    ThreadLists* l = nullptr;
    try {
        l = lists();
    } catch (const std::bad_alloc&) {
        l = nullptr;
    }
    if (!l || l->counts[c] >= kKeptPerClass) {
        // The unsized form: clang offers the sized global one only with -fsized-deallocation.
        ::operator delete(p);
        return;
    }
    auto* node = static_cast<FreeNode*>(p);
    node->next = l->heads[c];
    l->heads[c] = node;
    ++l->counts[c];
    CORE_POOL_POISON(node, classBytes(c));
}

std::size_t ObjectPool::cachedOnThisThread(std::size_t n) {
    if (n == 0 || n > kLargest)
        return 0;
    ThreadLists* l = lists();
    return l ? l->counts[classOf(n)] : 0;
}

}  // namespace core
