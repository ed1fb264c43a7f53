// A first-in first-out queue in one ring of slots that keeps its room: it grows (doubling)
// when full and never gives room back, so a queue that has once held its peak takes and hands
// out entries without touching the heap. The workers' queues and the pipes use it: a
// double-ended queue takes a new node every few entries and frees it again, an allocation
// and a free for every few blocks that pass.
//
// Not synchronised: its owner guards it.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace core {

template <class T>
class RingQueue {
  public:
    RingQueue() = default;
    RingQueue(RingQueue&& other) noexcept { swap(other); }
    RingQueue& operator=(RingQueue&& other) noexcept {
        if (this != &other) {
            clear();
            swap(other);
        }
        return *this;
    }
    RingQueue(const RingQueue&) = delete;
    RingQueue& operator=(const RingQueue&) = delete;

    bool empty() const { return m_count == 0; }
    std::size_t size() const { return m_count; }
    // Slots held, in use or not.
    std::size_t capacity() const { return m_slots.size(); }

    void push_back(T&& value) {
        if (m_count == m_slots.size())
            grow();
        m_slots[index(m_count)] = std::move(value);
        ++m_count;
    }
    void push_back(const T& value) { push_back(T(value)); }

    T& front() { return m_slots[m_head]; }
    const T& front() const { return m_slots[m_head]; }
    // The i-th entry from the front.
    T& operator[](std::size_t i) { return m_slots[index(i)]; }
    const T& operator[](std::size_t i) const { return m_slots[index(i)]; }

    // Drops the front entry; its slot is left empty (what it held is released now).
    void pop_front() {
        m_slots[m_head] = T();
        m_head = m_head + 1 == m_slots.size() ? 0 : m_head + 1;
        --m_count;
    }

    // Drops every entry and keeps the room.
    void clear() {
        while (!empty())
            pop_front();
        m_head = 0;
    }

    // Drops the entries for which pred is true; the others keep their order.
    template <class Pred>
    std::size_t removeIf(Pred pred) {
        std::size_t kept = 0;
        for (std::size_t i = 0; i < m_count; ++i) {
            T& entry = m_slots[index(i)];
            if (pred(entry))
                continue;
            if (kept != i)
                m_slots[index(kept)] = std::move(entry);
            ++kept;
        }
        const std::size_t removed = m_count - kept;
        for (std::size_t i = kept; i < m_count; ++i)
            m_slots[index(i)] = T();
        m_count = kept;
        return removed;
    }

    void swap(RingQueue& other) noexcept {
        m_slots.swap(other.m_slots);
        std::swap(m_head, other.m_head);
        std::swap(m_count, other.m_count);
    }

  private:
    std::size_t index(std::size_t i) const {
        const std::size_t at = m_head + i;
        return at < m_slots.size() ? at : at - m_slots.size();
    }
    void grow() {
        std::vector<T> slots(m_slots.empty() ? 8 : m_slots.size() * 2);
        for (std::size_t i = 0; i < m_count; ++i)
            slots[i] = std::move(m_slots[index(i)]);
        m_slots.swap(slots);
        m_head = 0;
    }

    std::vector<T> m_slots;
    std::size_t m_head = 0;
    std::size_t m_count = 0;
};

}  // namespace core
