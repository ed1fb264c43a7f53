// A frame: a counted byte buffer with a layout cursor that derived classes use to lay pointers
// to their fields over the bytes, in wire order.
#pragma once

#include <cstddef>

#include "framework/core/Data.h"
#include "framework/core/ObjectPool.h"
#include "framework/core/RCObject.h"

namespace core {

class Frame : public RCObject {
  public:
    CORE_POOLED_ALLOCATION

    Frame();
    // A zeroed buffer of n bytes.
    explicit Frame(std::size_t n);
    // A copy of n bytes.
    Frame(const void* bytes, std::size_t n);
    // Shares an existing buffer.
    explicit Frame(RCPtr<Data> data);
    // Shares the source's buffer and cursor.
    Frame(const Frame& other) = default;
    Frame& operator=(const Frame& other) = default;

    // The whole buffer.
    virtual const RCPtr<Data>& getFrame() const { return m_frame; }
    virtual const unsigned char* getFrameBuf() const;
    virtual unsigned int size() const;
    // Lays the members again after the buffer changed; frames here keep their layout.
    virtual void repositionMembers() {}

  protected:
    // Tag of the constructor that leaves the buffer to the derived class's constructor.
    struct BufferLaterTag {};
    explicit Frame(BufferLaterTag) {}

    unsigned char* buffer() { return m_frame->getInternalData(); }
    // Puts the cursor at a byte offset.
    void setPosition(std::size_t offset) { m_position = offset; }
    std::size_t getPosition() const { return m_position; }
    // Each returns the cursor's place in the buffer and moves the cursor on by the width.
    // Inline: frame constructors lay several fields each, once per received frame.
    unsigned char* positionBuf(std::size_t n) {
        unsigned char* p = m_frame->getInternalData() + m_position;
        m_position += n;
        return p;
    }
    unsigned char* positionU1() { return positionBuf(1); }
    unsigned char* positionU2() { return positionBuf(2); }
    unsigned char* positionU4() { return positionBuf(4); }

    RCPtr<Data> m_frame;

  private:
    std::size_t m_position = 0;
};

}  // namespace core
