#include "sim/EventQueue.h"

#include <pthread.h>

#include <condition_variable>
#include <deque>
#include <mutex>

#include "platform/com/ClassRegistry.h"

namespace sim {

struct EventQueue::State {
    std::mutex mutex;
    std::condition_variable wake;  // work or stop
    std::condition_variable idle;  // a task ended or the queue emptied
    std::deque<Task> tasks;
    bool running = false;
    bool stopping = false;
    bool drain = false;
    std::uint64_t done = 0;  // tasks run
    std::thread::id thread;

    void run() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            wake.wait(lock, [&] { return stopping || !tasks.empty(); });
            if (tasks.empty() || (stopping && !drain))
                break;
            Task task = std::move(tasks.front());
            tasks.pop_front();
            running = true;
            lock.unlock();
            task();
            task = nullptr;  // whatever it held goes before the queue counts as idle
            lock.lock();
            running = false;
            ++done;
            idle.notify_all();
        }
        running = false;
        idle.notify_all();
    }
};

EventQueue::EventQueue(const std::string& name) : m_state(std::make_shared<State>()) {
    std::shared_ptr<State> state = m_state;
    std::string shortName = name.substr(0, 15);
    m_thread = std::thread([state, shortName] {
        pthread_setname_np(pthread_self(), shortName.c_str());
        // The thread fires events into its clients' objects, which live in the multithreaded
        // apartment: it joins that apartment for its whole life, as a service's own thread
        // does (on Windows; elsewhere both calls do nothing).
        const bool inApartment = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        state->run();
        if (inApartment)
            CoUninitialize();
    });
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->thread = m_thread.get_id();
}

EventQueue::~EventQueue() {
    stop(Pending::Discard);
}

bool EventQueue::post(Task task) {
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        if (m_state->stopping)
            return false;
        m_state->tasks.push_back(std::move(task));
    }
    m_state->wake.notify_one();
    return true;
}

void EventQueue::stop(Pending pending) {
    std::deque<Task> dropped;
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        if (!m_state->stopping) {
            m_state->stopping = true;
            m_state->drain = pending == Pending::Deliver;
        } else if (pending == Pending::Discard) {
            m_state->drain = false;
        }
        if (!m_state->drain)
            dropped.swap(m_state->tasks);
    }
    m_state->wake.notify_all();
    dropped.clear();
    if (!m_thread.joinable())
        return;
    if (std::this_thread::get_id() == m_thread.get_id())
        m_thread.detach();  // a task of this queue stops it: the thread ends after the task
    else
        m_thread.join();
}

std::vector<EventQueue::Task> EventQueue::close() {
    std::vector<Task> dropped;
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->stopping = true;
        m_state->drain = false;
        for (auto& task : m_state->tasks)
            dropped.push_back(std::move(task));
        m_state->tasks.clear();
    }
    m_state->wake.notify_all();
    return dropped;
}

void EventQueue::cancelPending() {
    std::deque<Task> dropped;
    std::unique_lock<std::mutex> lock(m_state->mutex);
    dropped.swap(m_state->tasks);
    if (std::this_thread::get_id() != m_state->thread)
        m_state->idle.wait(lock, [&] { return !m_state->running; });
    lock.unlock();
    dropped.clear();
}

bool EventQueue::waitIdle(Clock::time_point deadline) const {
    std::unique_lock<std::mutex> lock(m_state->mutex);
    return m_state->idle.wait_until(lock, deadline, [&] {
        return m_state->tasks.empty() &&
               (!m_state->running || std::this_thread::get_id() == m_state->thread);
    });
}

bool EventQueue::isIdle() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->tasks.empty() && !m_state->running;
}

std::uint64_t EventQueue::tasksRun() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->done;
}

bool EventQueue::isCurrentThread() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return std::this_thread::get_id() == m_state->thread;
}

}  // namespace sim
