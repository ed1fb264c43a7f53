// Lets a test's threads start a step together: each arrives, and all go on once the last has.
//
// A mutex and a condition, not std::latch: the mingw-w64 build's libstdc++ waits on atomics
// without a futex, and its latch now and then misses the last arrival and never opens (seen
// under Wine).
#pragma once

#include <condition_variable>
#include <mutex>

namespace testsupport {

class StartGate {
  public:
    explicit StartGate(int count) : m_left(count) {}
    void arriveAndWait() {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (--m_left == 0)
            m_open.notify_all();
        m_open.wait(lock, [this] { return m_left <= 0; });
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_open;
    int m_left;
};

}  // namespace testsupport
