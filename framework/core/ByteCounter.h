// Process-wide byte counters, shared by name.
//
// Every channel of every phone counts into the same counter, frame by frame, from its own
// thread. One shared count would make each core take the count's cache line from the other
// for every frame; the count is kept in stripes instead, one cache line each, and a thread
// always adds to the same stripe (threads are spread over the stripes in turn). A read adds
// the stripes up.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "framework/core/RCObject.h"

namespace core {

class ByteCounter : public RCObject {
  public:
    static constexpr std::size_t kStripes = 16;

    // The counter of that name, made on first use and shared by every caller afterwards.
    static RCPtr<ByteCounter> instance(const std::string& name);

    void countBytes(std::uint64_t n) {
        m_stripes[stripeOfThisThread()].bytes.fetch_add(n, std::memory_order_relaxed);
    }
    std::uint64_t getCount() const;
    void reset();
    const std::string& getName() const { return m_name; }

  private:
    struct alignas(64) Stripe {
        std::atomic<std::uint64_t> bytes{0};
    };

    explicit ByteCounter(std::string name) : m_name(std::move(name)) {}
    static std::size_t stripeOfThisThread();

    std::string m_name;
    Stripe m_stripes[kStripes];
};

}  // namespace core
