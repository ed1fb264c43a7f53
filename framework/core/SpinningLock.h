// Taking a std::mutex that is held only for a few instructions at a time, by threads on other
// processors: the taker tries again for a short while before it sleeps for the lock. A sleep
// and the wake-up it needs are two system calls, each far longer than such a hold; and a
// mutex nobody sleeps for is given back without a system call.
#pragma once

#include <mutex>

namespace core {

// One processor pause in a spin-wait: it tells the processor that this thread is only waiting,
// so that it spends less power and leaves more to its other hardware thread.
inline void pauseProcessor() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

class SpinningLock {
  public:
    explicit SpinningLock(std::mutex& mutex) : m_mutex(mutex) { acquire(mutex); }
    ~SpinningLock() { m_mutex.unlock(); }
    SpinningLock(const SpinningLock&) = delete;
    SpinningLock& operator=(const SpinningLock&) = delete;

    // Takes the mutex: a few tries a processor's pause apart, then a sleep for it. Past the
    // tries the holder is most likely not running, and waiting on is waste.
    static void acquire(std::mutex& mutex) {
        for (int i = 0; i < kTries; ++i) {
            if (mutex.try_lock())
                return;
            pauseProcessor();
        }
        mutex.lock();
    }

  private:
    static constexpr int kTries = 64;

    std::mutex& m_mutex;
};

}  // namespace core
