#include "framework/core/ComponentCount.h"

#include <atomic>

#include "framework/core/SyncObjectMgr.h"

namespace core {

namespace {
std::atomic<int> g_live{0};
}

ComponentCount::ComponentCount() {
    g_live.fetch_add(1);
}

ComponentCount::ComponentCount(const ComponentCount&) {
    g_live.fetch_add(1);
}

ComponentCount::~ComponentCount() {
    if (g_live.fetch_sub(1) == 1)
        SyncObjectMgr::joinEndedWorkers();
}

int ComponentCount::live() {
    return g_live.load();
}

}  // namespace core
