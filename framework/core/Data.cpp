#include "framework/core/Data.h"

#include <algorithm>
#include <cstring>

namespace core {

Data::Data(std::size_t room) { m_buf.reserve(room); }

Data::Data(const void* bytes, std::size_t n) : m_size(n) {
    // Copied in one pass: sizing the vector first would zero the bytes before the copy.
    if (n && bytes) {
        const auto* from = static_cast<const unsigned char*>(bytes);
        m_buf.assign(from, from + n);
    } else {
        m_buf.resize(n);
    }
}

Data::Data(const Data& other)
    : RCObject(other),
      m_buf(other.getInternalData(), other.getInternalData() + other.m_size),
      m_size(other.m_size) {}

Data& Data::operator=(const Data& other) {
    if (this != &other) {
        m_buf.assign(other.getInternalData(), other.getInternalData() + other.m_size);
        m_offset = 0;
        m_size = other.m_size;
    }
    return *this;
}

void Data::addData(const void* bytes, std::size_t n) {
    if (n == 0) return;
    std::size_t end = m_offset + m_size;
    if (end + n > m_buf.capacity() && m_offset > 0) {
        // Move the live bytes to the front before growing.
        std::memmove(m_buf.data(), m_buf.data() + m_offset, m_size);
        m_offset = 0;
        end = m_size;
    }
    // Bytes already in the vector beyond the live ones (left by trimLeft, resize or clear) are
    // overwritten; the rest is appended, so that no byte is written twice.
    const std::size_t inPlace = std::min(n, m_buf.size() - end);
    const auto* from = static_cast<const unsigned char*>(bytes);
    if (bytes) {
        if (inPlace) std::memcpy(m_buf.data() + end, from, inPlace);
        m_buf.insert(m_buf.end(), from + inPlace, from + n);
    } else {
        if (inPlace) std::memset(m_buf.data() + end, 0, inPlace);
        m_buf.resize(end + n);
    }
    m_size += n;
}

void Data::trimLeft(std::size_t n) {
    if (n >= m_size) {
        clear();
        return;
    }
    m_offset += n;
    m_size -= n;
}

void Data::resize(std::size_t n) {
    if (n <= m_size) {
        m_size = n;
    } else {
        addData(nullptr, n - m_size);
    }
}

void Data::clear() {
    m_offset = 0;
    m_size = 0;
}

long Data::find(unsigned char b, std::size_t from) const {
    if (from >= m_size) return -1;
    const void* hit = std::memchr(getInternalData() + from, b, m_size - from);
    return hit ? static_cast<long>(static_cast<const unsigned char*>(hit) - getInternalData()) : -1;
}

}  // namespace core
