#include "transport/DataFormatReq.h"

namespace {
bool readU8(const core::XMLElement& element, const char* name, std::uint8_t& out) {
    long long v;
    if (!element.hasAttribute(name))
        return true;  // not given: kept
    if (!element.getAttribute(name, v) || v < 0 || v > 0xFF)
        return false;
    out = static_cast<std::uint8_t>(v);
    return true;
}
}  // namespace

DataFormatReq::DataFormatReq(std::uint8_t byteSize, std::uint8_t parity, std::uint8_t stopBits)
    : m_byteSize(byteSize), m_parity(parity), m_stopBits(stopBits) {
    // The base constructor cannot see this class's name: the key is set here.
    setName(getClassName());
}

bool DataFormatReq::attributesToElement(core::XMLElement& element) const {
    Request::attributesToElement(element);
    element.setAttribute("BYTE_SIZE", static_cast<long long>(m_byteSize));
    element.setAttribute("PARITY", static_cast<long long>(m_parity));
    element.setAttribute("STOP_BITS", static_cast<long long>(m_stopBits));
    return true;
}

bool DataFormatReq::attributesFromElement(const core::XMLElement& element) {
    if (!Request::attributesFromElement(element))
        return false;
    std::uint8_t size = m_byteSize, parity = m_parity, stop = m_stopBits;
    if (!readU8(element, "BYTE_SIZE", size) || !readU8(element, "PARITY", parity) ||
        !readU8(element, "STOP_BITS", stop))
        return false;
    m_byteSize = size;
    m_parity = parity;
    m_stopBits = stop;
    return true;
}

DataFormatReq* DataFormatReq::clone() const {
    return new DataFormatReq(*this);
}
