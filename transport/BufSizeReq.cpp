#include "transport/BufSizeReq.h"

namespace {
bool readU32(const core::XMLElement& element, const char* name, std::uint32_t& out) {
    long long v;
    if (!element.hasAttribute(name))
        return true;  // not given: kept
    if (!element.getAttribute(name, v) || v < 0 || v > 0xFFFFFFFFLL)
        return false;
    out = static_cast<std::uint32_t>(v);
    return true;
}
}  // namespace

BufSizeReq::BufSizeReq(std::uint32_t inputSize, std::uint32_t outputSize)
    : m_inputSize(inputSize), m_outputSize(outputSize) {
    // The base constructor cannot see this class's name: the key is set here.
    setName(getClassName());
}

bool BufSizeReq::attributesToElement(core::XMLElement& element) const {
    Request::attributesToElement(element);
    element.setAttribute("INPUT_SIZE", static_cast<long long>(m_inputSize));
    element.setAttribute("OUTPUT_SIZE", static_cast<long long>(m_outputSize));
    return true;
}

bool BufSizeReq::attributesFromElement(const core::XMLElement& element) {
    if (!Request::attributesFromElement(element))
        return false;
    std::uint32_t in = m_inputSize;
    std::uint32_t out = m_outputSize;
    if (!readU32(element, "INPUT_SIZE", in) || !readU32(element, "OUTPUT_SIZE", out))
        return false;
    m_inputSize = in;
    m_outputSize = out;
    return true;
}

BufSizeReq* BufSizeReq::clone() const {
    return new BufSizeReq(*this);
}
