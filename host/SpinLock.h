// A lock for a few instructions' worth of work shared by a few threads: taking it is one
// atomic exchange and giving it back a plain store, where a mutex takes two locked updates. A
// thread that finds it taken gives the processor away until it is free, so a holder must keep
// it only briefly and never wait for anything while it holds it (no file, no trace, no other
// thread).
#pragma once

#include <atomic>
#include <thread>

namespace host {

class SpinLock {
  public:
    void lock() noexcept {
        while (m_taken.exchange(true, std::memory_order_acquire))
            while (m_taken.load(std::memory_order_relaxed))
                std::this_thread::yield();
    }
    void unlock() noexcept { m_taken.store(false, std::memory_order_release); }

  private:
    std::atomic<bool> m_taken{false};
};

}  // namespace host
