#include "framework/core/Data.h"

#include <algorithm>
#include <cstring>

namespace core {

Data::Data(std::size_t room) {
    if (room == 0)
        return;
    m_spStore = new Store;
    m_spStore->bytes.reserve(room);
    lay();
}

Data::Data(const void* bytes, std::size_t n) : m_size(n) {
    m_spStore = new Store;
    // Copied in one pass: sizing the vector first would zero the bytes before the copy.
    if (n && bytes) {
        const auto* from = static_cast<const unsigned char*>(bytes);
        m_spStore->bytes.assign(from, from + n);
    } else {
        m_spStore->bytes.resize(n);
    }
    lay();
}

Data::Data(const Data& other) : RCObject(other) {
    *this = other;
}

Data& Data::operator=(const Data& other) {
    if (this == &other)
        return *this;
    RCPtr<Store> store;
    if (other.m_size) {
        store = new Store;
        store->bytes.assign(other.m_pBytes, other.m_pBytes + other.m_size);
    }
    m_spStore = store;
    m_offset = 0;
    m_size = other.m_size;
    lay();
    return *this;
}

RCPtr<Data> Data::slice(std::size_t offset, std::size_t n) const {
    RCPtr<Data> part(new Data);
    part->share(*this, offset, n);
    return part;
}

bool Data::isShared() const {
    return m_spStore && !m_spStore->isUniquelyHeld();
}

void Data::own() {
    if (!m_spStore) {
        m_spStore = new Store;
        m_offset = 0;
    } else if (!m_spStore->isUniquelyHeld()) {
        RCPtr<Store> mine(new Store);
        mine->bytes.reserve(m_size);
        mine->bytes.assign(m_pBytes, m_pBytes + m_size);
        m_spStore = mine;
        m_offset = 0;
    }
    lay();
}

void Data::addData(const void* bytes, std::size_t n) {
    if (n == 0)
        return;
    own();
    std::vector<unsigned char>& buf = m_spStore->bytes;
    std::size_t end = m_offset + m_size;
    if (end + n > buf.capacity() && m_offset > 0) {
        // Move the live bytes to the front before growing.
        std::memmove(buf.data(), buf.data() + m_offset, m_size);
        m_offset = 0;
        end = m_size;
    }
    // Bytes already in the vector beyond the live ones (left by trimLeft, resize or clear) are
    // overwritten; the rest is appended, so that no byte is written twice.
    const std::size_t inPlace = std::min(n, buf.size() - end);
    const auto* from = static_cast<const unsigned char*>(bytes);
    if (bytes) {
        if (inPlace)
            std::memcpy(buf.data() + end, from, inPlace);
        buf.insert(buf.end(), from + inPlace, from + n);
    } else {
        if (inPlace)
            std::memset(buf.data() + end, 0, inPlace);
        buf.resize(end + n);
    }
    m_size += n;
    lay();
}

void Data::trimLeft(std::size_t n) {
    if (n >= m_size) {
        clear();
        return;
    }
    m_offset += n;
    m_size -= n;
    lay();
}

void Data::resize(std::size_t n) {
    if (n <= m_size) {
        m_size = n;
    } else {
        addData(nullptr, n - m_size);
    }
}

void Data::clear() {
    // A shared store is left to the others; an own one keeps its room for the next bytes.
    if (m_spStore && !m_spStore->isUniquelyHeld())
        m_spStore.reset();
    m_offset = 0;
    m_size = 0;
    lay();
}

long Data::find(unsigned char b, std::size_t from) const {
    if (from >= m_size)
        return -1;
    const void* hit = std::memchr(m_pBytes + from, b, m_size - from);
    return hit ? static_cast<long>(static_cast<const unsigned char*>(hit) - m_pBytes) : -1;
}

}  // namespace core
