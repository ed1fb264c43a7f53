// Process-wide byte counters, shared by name.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "framework/core/RCObject.h"

namespace core {

class ByteCounter : public RCObject {
  public:
    // The counter of that name, made on first use and shared by every caller afterwards.
    static RCPtr<ByteCounter> instance(const std::string& name);

    void countBytes(std::uint64_t n) { m_bytes.fetch_add(n, std::memory_order_relaxed); }
    std::uint64_t getCount() const { return m_bytes.load(std::memory_order_relaxed); }
    void reset() { m_bytes = 0; }
    const std::string& getName() const { return m_name; }

  private:
    explicit ByteCounter(std::string name) : m_name(std::move(name)) {}
    std::string m_name;
    std::atomic<std::uint64_t> m_bytes{0};
};

}  // namespace core
