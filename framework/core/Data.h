// An owned block of bytes: the unit in which bytes travel between threads.
//
// A Data sees its bytes in a counted store. slice() gives a new Data over part of the same
// store without copying, and the store lives as long as any Data that sees it: frames cut from
// a received block share the block's bytes and stay valid after the block is gone. Changing a
// Data's length (addData, resize) while its store is shared first copies its own bytes into a
// store of its own, so that no other Data changes under it; bytes written through
// getInternalData() are seen by every Data that shares them.
#pragma once

#include <cstddef>
#include <vector>

#include "framework/core/ObjectPool.h"
#include "framework/core/RCObject.h"

namespace core {

class DataPool;

class Data : public RCObject {
  public:
    CORE_POOLED_ALLOCATION

    Data() = default;
    // Empty, with room for n bytes.
    explicit Data(std::size_t room);
    // A copy of n bytes.
    Data(const void* bytes, std::size_t n);
    // A copy of the other's bytes (not a share: use slice for that).
    Data(const Data& other);
    Data& operator=(const Data& other);

    std::size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    unsigned char* getInternalData() { return m_pBytes; }
    const unsigned char* getInternalData() const { return m_pBytes; }

    // A new Data over n bytes of this one from offset (fewer at the end), sharing them.
    RCPtr<Data> slice(std::size_t offset, std::size_t n) const;
    // Makes this Data see n bytes of source from offset (fewer at the end), sharing them: the
    // same as slice, in place of a new object.
    // Inline: a received frame makes one.
    void share(const Data& source, std::size_t offset, std::size_t n) {
        offset = offset < source.m_size ? offset : source.m_size;
        const std::size_t left = source.m_size - offset;
        m_spStore = source.m_spStore;
        m_offset = source.m_offset + offset;
        m_size = n < left ? n : left;
        lay();
    }
    // True while another Data shares this one's bytes.
    bool isShared() const;

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

    // A Data that is a member of another object and goes with it, so that the owner needs no
    // second object on the heap. Its count tracks the owner's own pointers to it only, and
    // the last release frees nothing: the owner hands such a pointer to nobody else.
    class Member;

  private:
    // Makes blocks whose objects and stores it recycles (DataPool.h).
    friend class DataPool;

    // The bytes that one or more Data objects see.
    class Store : public RCObject {
      public:
        CORE_POOLED_ALLOCATION
        std::vector<unsigned char> bytes;
    };

    // Makes the store this Data's own (copying its live bytes when it is shared).
    void own();
    void lay() { m_pBytes = m_spStore ? m_spStore->bytes.data() + m_offset : nullptr; }

    RCPtr<Store> m_spStore;
    unsigned char* m_pBytes = nullptr;
    std::size_t m_offset = 0;
    std::size_t m_size = 0;
};

class Data::Member : public Data {
  protected:
    void onFinalRelease() override {}
};

}  // namespace core
