#include "framework/core/WorkerBound.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/win32/win32.h"

namespace core {

namespace {

struct Alive {
    std::mutex mutex;
    std::condition_variable none;
    int count = 0;
};

Alive& aliveObjects() {
    static auto* a = new Alive;  // never destroyed: objects may go during exit
    return *a;
}

}  // namespace

WorkerBound::WorkerBound() {
    Alive& a = aliveObjects();
    std::lock_guard<std::mutex> lock(a.mutex);
    ++a.count;
}

bool WorkerBound::waitNoneAlive(std::chrono::milliseconds timeout) {
    Alive& a = aliveObjects();
    std::unique_lock<std::mutex> lock(a.mutex);
    return a.none.wait_for(lock, timeout, [&a] { return a.count == 0; });
}

int WorkerBound::alive() {
    Alive& a = aliveObjects();
    std::lock_guard<std::mutex> lock(a.mutex);
    return a.count;
}

WorkerBound::~WorkerBound() {
    {
        Alive& a = aliveObjects();
        std::lock_guard<std::mutex> lock(a.mutex);
        if (--a.count == 0)
            a.none.notify_all();
    }
#ifndef NDEBUG
    if (m_boundWorker && m_boundWorker->isRunning()) {
        std::fprintf(stderr, "WorkerBound: \"%s\" destroyed with its worker running\n",
                     m_boundWorker->getName().c_str());
        std::abort();
    }
#endif
}

void WorkerBound::onFinalRelease() {
    if (m_boundWorker)
        m_boundWorker->stop(INFINITE);
    m_boundWorker.reset();
    RCObject::onFinalRelease();
}

}  // namespace core
