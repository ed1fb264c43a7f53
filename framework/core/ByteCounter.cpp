#include "framework/core/ByteCounter.h"

#include <map>
#include <mutex>

namespace core {

namespace {
// The stripe of each thread, given out in turn when the thread first counts.
std::atomic<std::size_t> g_nextStripe{0};
__attribute__((tls_model("initial-exec"))) thread_local std::size_t t_stripe = ~std::size_t(0);
}  // namespace

std::size_t ByteCounter::stripeOfThisThread() {
    if (t_stripe == ~std::size_t(0))
        t_stripe = g_nextStripe.fetch_add(1, std::memory_order_relaxed) % kStripes;
    return t_stripe;
}

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

std::uint64_t ByteCounter::getCount() const {
    std::uint64_t sum = 0;
    for (const Stripe& stripe : m_stripes)
        sum += stripe.bytes.load(std::memory_order_relaxed);
    return sum;
}

void ByteCounter::reset() {
    for (Stripe& stripe : m_stripes)
        stripe.bytes.store(0, std::memory_order_relaxed);
}

}  // namespace core
