#include "framework/core/ComponentCount.h"

#include <atomic>
#include <chrono>

#include "framework/core/SyncObjectMgr.h"
#include "framework/core/Trace.h"
#include "framework/core/WorkerBound.h"

namespace core {

namespace {
std::atomic<int> g_live{0};

// How long the end waits for objects that handlers still hold. A handler runs briefly; an
// object still there after this is held by something else, and the end goes on without it.
constexpr std::chrono::seconds kObjectsEndWait{5};
}  // namespace

ComponentCount::ComponentCount() {
    g_live.fetch_add(1);
}

ComponentCount::ComponentCount(const ComponentCount&) {
    g_live.fetch_add(1);
}

ComponentCount::~ComponentCount() {
    if (g_live.fetch_sub(1) == 1)
        endThreads();
}

void ComponentCount::endThreads() {
    if (!SyncObjectMgr::current() && !WorkerBound::waitNoneAlive(kObjectsEndWait))
        ToggleTrace(20,
                    "ComponentCount::endThreads - %d objects with workers are still there: their "
                    "threads are not waited for\n",
                    WorkerBound::alive());
    SyncObjectMgr::joinEndedWorkers();
}

int ComponentCount::live() {
    return g_live.load();
}

}  // namespace core
