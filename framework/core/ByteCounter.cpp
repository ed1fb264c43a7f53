#include "framework/core/ByteCounter.h"

#include <map>
#include <mutex>

namespace core {

RCPtr<ByteCounter> ByteCounter::instance(const std::string& name) {
    static std::mutex* mutex = new std::mutex;
    // Counters live as long as the process: the registry keeps one reference to each.
    static auto* counters = new std::map<std::string, RCPtr<ByteCounter>>;
    std::lock_guard<std::mutex> lock(*mutex);
    auto& slot = (*counters)[name];
    if (!slot)
        slot = new ByteCounter(name);
    return slot;
}

}  // namespace core
