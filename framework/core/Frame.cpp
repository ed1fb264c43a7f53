#include "framework/core/Frame.h"

#include <utility>

namespace core {

Frame::Frame() : m_frame(new Data()) {}

Frame::Frame(std::size_t n) : m_frame(new Data()) {
    m_frame->resize(n);
}

Frame::Frame(const void* bytes, std::size_t n) : m_frame(new Data(bytes, n)) {}

Frame::Frame(RCPtr<Data> data) : m_frame(data ? std::move(data) : RCPtr<Data>(new Data())) {}

const unsigned char* Frame::getFrameBuf() const {
    return m_frame->getInternalData();
}

unsigned int Frame::size() const {
    return static_cast<unsigned int>(m_frame->size());
}

}  // namespace core
