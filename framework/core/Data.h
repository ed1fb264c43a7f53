// An owned block of bytes: the unit in which bytes travel between threads.
#pragma once

#include <cstddef>
#include <vector>

#include "framework/core/RCObject.h"

namespace core {

class Data : public RCObject {
public:
    Data() = default;
    // Empty, with room for n bytes.
    explicit Data(std::size_t room);
    // A copy of n bytes.
    Data(const void* bytes, std::size_t n);
    Data(const Data& other);
    Data& operator=(const Data& other);

    std::size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    unsigned char* getInternalData() { return m_buf.data() + m_offset; }
    const unsigned char* getInternalData() const { return m_buf.data() + m_offset; }

    // Appends n bytes.
    void addData(const void* bytes, std::size_t n);
    // Drops the first n bytes (all of them when n exceeds the size).
    void trimLeft(std::size_t n);
    // Sets the size to n; new bytes are zero.
    void resize(std::size_t n);
    void clear();
    // Position of the first byte equal to b at or after from, or -1.
    long find(unsigned char b, std::size_t from = 0) const;

    Object* copy() const override { return new Data(*this); }

private:
    std::vector<unsigned char> m_buf;
    std::size_t m_offset = 0;
    std::size_t m_size = 0;
};

}  // namespace core
