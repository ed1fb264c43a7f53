// A delivery thread: runs the tasks posted to it one at a time, in order, and sleeps while it
// has none. The simulated service fires its events from such threads, as a real service
// fires them from threads of its own.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace sim {

class EventQueue {
  public:
    using Task = std::function<void()>;
    using Clock = std::chrono::steady_clock;

    // name: the thread's name (up to 15 characters are shown by the system).
    explicit EventQueue(const std::string& name);
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;
    // Stops the thread; pending tasks are dropped.
    ~EventQueue();

    // Queues a task; false once the queue is stopped.
    bool post(Task task);

    enum class Pending { Deliver, Discard };
    // Stops the thread after the running task and, with Deliver, after the pending ones. Waits
    // for the thread to end, unless called from a task of this queue (the thread then ends by
    // itself after that task). Dropped tasks are destroyed in the caller.
    void stop(Pending pending);
    // Stops taking tasks and drops the pending ones without waiting for the running one; a
    // later stop() waits for the thread. The dropped tasks are handed back, for the caller to
    // destroy where no lock of its own is held.
    std::vector<Task> close();
    // Drops the pending tasks and waits for the running one (not when called from a task of
    // this queue). The queue goes on taking tasks.
    void cancelPending();
    // Waits until no task is queued or running; false at the deadline.
    bool waitIdle(Clock::time_point deadline) const;
    bool isIdle() const;
    // Tasks run so far: the same count at two idle times means nothing ran in between.
    std::uint64_t tasksRun() const;
    bool isCurrentThread() const;

  private:
    struct State;
    std::shared_ptr<State> m_state;
    std::thread m_thread;
};

}  // namespace sim
