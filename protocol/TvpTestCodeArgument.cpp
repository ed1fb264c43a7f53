#include "protocol/TvpTestCodeArgument.h"

#include <cstring>

#include "framework/core/Bytes.h"
#include "framework/core/Values.h"

namespace vela {

// ---- TvpTestCodeArgumentBase ----

TvpTestCodeArgumentBase::TvpTestCodeArgumentBase(std::uint16_t number,
                                                 TvpProbeDataIdType elementType)
    : m_Number(number), m_ElementType(elementType) {}

TvpTestCodeArgumentBase::TvpTestCodeArgumentBase(const TvpTestCodeArgumentBase& other)
    : core::XMLObject(other), m_Number(other.m_Number), m_ElementType(other.m_ElementType) {}

TvpTestCodeArgumentBase::~TvpTestCodeArgumentBase() = default;

void TvpTestCodeArgumentBase::onFinalRelease() {
    removeAllElements();
    core::XMLObject::onFinalRelease();
}

std::uint16_t TvpTestCodeArgumentBase::getNumberOfElements() const {
    return static_cast<std::uint16_t>(m_elements.size());
}

bool TvpTestCodeArgumentBase::addElement(void* element) {
    if (!element)
        return false;
    m_elements.push_back(element);
    return true;
}

void* TvpTestCodeArgumentBase::nextElement() {
    void* element = peekElement();
    if (element)
        ++m_cursor;
    return element;
}

void TvpTestCodeArgumentBase::clearElementPointers() {
    m_elements.clear();
    m_cursor = 0;
}

unsigned char* TvpTestCodeArgumentBase::toBytes(unsigned char* p) const {
    core::writeU2(p, m_Number);
    core::writeU4(p + 2, static_cast<std::uint32_t>(getLength()));
    p[6] = m_ElementType;
    core::writeU2(p + 7, getNumberOfElements());
    return p + kHeaderSize;
}

bool TvpTestCodeArgumentBase::headerFromBytes(const unsigned char*& p, unsigned int& remaining,
                                              std::uint16_t& number, std::uint32_t& length,
                                              unsigned char& elementType, std::uint16_t& count) {
    if (!p || remaining < kHeaderSize)
        return false;
    number = core::readU2(p);
    length = core::readU4(p + 2);
    if (remaining - 6 < length)
        return false;
    elementType = p[6];
    count = core::readU2(p + 7);
    // The element data follows the count and must lie inside the block.
    if (remaining - kHeaderSize < length)
        return false;
    p += kHeaderSize;
    remaining -= kHeaderSize;
    return true;
}

bool TvpTestCodeArgumentBase::attributesToElement(core::XMLElement& element) const {
    element.setAttribute("NUMBER", static_cast<long long>(m_Number));
    element.setAttribute("ELEMENT_TYPE", static_cast<long long>(m_ElementType));
    return true;
}

bool TvpTestCodeArgumentBase::attributesFromElement(const core::XMLElement& element) {
    long long number = 0, type = 0;
    if (!element.getAttribute("NUMBER", number) || number < 0 || number > 0xFFFF)
        return false;
    if (!element.getAttribute("ELEMENT_TYPE", type) || type < 0 || type > 0xFF)
        return false;
    removeAllElements();
    m_Number = static_cast<std::uint16_t>(number);
    m_ElementType = static_cast<TvpProbeDataIdType>(type);
    return true;
}

// ---- TvpTestCodeArgument ----

namespace {

bool hasValues(TvpProbeDataIdType type) {
    return type == TVP_DATA_U16 || type == TVP_DATA_U32 || type == TVP_DATA_U8 ||
           type == TVP_DATA_STRING || type == TVP_DATA_FLOAT;
}

std::size_t wireLength(TvpProbeDataIdType type, const unsigned char* wire) {
    if (type == TVP_DATA_STRING)
        return std::strlen(reinterpret_cast<const char*>(wire)) + 1;
    return TvpTestCodeArgument::elementWidth(type);
}

}  // namespace

TvpTestCodeArgument::TvpTestCodeArgument() : TvpTestCodeArgumentBase(0, TVP_DATA_U8) {}

TvpTestCodeArgument::TvpTestCodeArgument(unsigned char value) : TvpTestCodeArgument() {
    addElement(value);
}
TvpTestCodeArgument::TvpTestCodeArgument(std::uint16_t value) : TvpTestCodeArgument() {
    addElement(value);
}
TvpTestCodeArgument::TvpTestCodeArgument(std::uint32_t value) : TvpTestCodeArgument() {
    addElement(value);
}
TvpTestCodeArgument::TvpTestCodeArgument(const char* value) : TvpTestCodeArgument() {
    setElementType(TVP_DATA_STRING);
    addElement(value);
}
// A string with an embedded zero is taken up to that zero, as the wire form ends it there.
TvpTestCodeArgument::TvpTestCodeArgument(const std::string& value)
    : TvpTestCodeArgument(value.c_str()) {}
TvpTestCodeArgument::TvpTestCodeArgument(float value) : TvpTestCodeArgument() {
    addElement(value);
}

TvpTestCodeArgument::TvpTestCodeArgument(const TvpTestCodeArgument& other)
    : TvpTestCodeArgumentBase(other) {
    for (void* e : other.elements()) {
        const auto* wire = static_cast<const unsigned char*>(e);
        const std::size_t n = wireLength(getElementType(), wire);
        auto* copy = new unsigned char[n];
        std::memcpy(copy, wire, n);
        TvpTestCodeArgumentBase::addElement(copy);
    }
}

TvpTestCodeArgument::~TvpTestCodeArgument() {
    removeAllElements();
}

core::Object* TvpTestCodeArgument::createObject() {
    return new TvpTestCodeArgument();
}

void TvpTestCodeArgument::removeAllElements() {
    for (void* e : elements())
        delete[] static_cast<unsigned char*>(e);
    clearElementPointers();
}

unsigned int TvpTestCodeArgument::elementWidth(TvpProbeDataIdType type) {
    switch (type) {
        case TVP_DATA_U16:
        case TVP_DATA_RESERVED_2BYTE:
            return 2;
        case TVP_DATA_U32:
        case TVP_DATA_RESERVED_4BYTE:
        case TVP_DATA_FLOAT:
            return 4;
        case TVP_DATA_U8:
        case TVP_DATA_RESERVED_1BYTE:
            return 1;
        default:
            return 0;
    }
}

unsigned long TvpTestCodeArgument::getLength() const {
    if (getElementType() != TVP_DATA_STRING)
        return elementCount() * elementWidth(getElementType());
    unsigned long n = 0;
    for (void* e : elements())
        n += wireLength(TVP_DATA_STRING, static_cast<const unsigned char*>(e));
    return n;
}

bool TvpTestCodeArgument::addWire(TvpProbeDataIdType type, const unsigned char* wire,
                                  std::size_t n) {
    if (elementCount() == 0)
        setElementType(type);
    if (getElementType() != type)
        return false;
    if (encodedSize() + n > kMaxSize || elementCount() >= 0xFFFF)
        return false;
    auto* element = new unsigned char[n];
    std::memcpy(element, wire, n);
    return TvpTestCodeArgumentBase::addElement(element);
}

bool TvpTestCodeArgument::addElement(unsigned char value) {
    return addWire(TVP_DATA_U8, &value, 1);
}

bool TvpTestCodeArgument::addElement(std::uint16_t value) {
    unsigned char wire[2];
    core::writeU2(wire, value);
    return addWire(TVP_DATA_U16, wire, 2);
}

bool TvpTestCodeArgument::addElement(std::uint32_t value) {
    unsigned char wire[4];
    core::writeU4(wire, value);
    return addWire(TVP_DATA_U32, wire, 4);
}

bool TvpTestCodeArgument::addElement(const char* value) {
    if (!value)
        return false;
    return addWire(TVP_DATA_STRING, reinterpret_cast<const unsigned char*>(value),
                   std::strlen(value) + 1);
}

bool TvpTestCodeArgument::addElement(const std::string& value) {
    // The wire form ends a string at its first zero: one with an embedded zero would not
    // come back as it went.
    if (value.find('\0') != std::string::npos)
        return false;
    return addElement(value.c_str());
}

bool TvpTestCodeArgument::addElement(float value) {
    unsigned char wire[4];
    core::writeF4(wire, value);
    return addWire(TVP_DATA_FLOAT, wire, 4);
}

const unsigned char* TvpTestCodeArgument::nextWire(TvpProbeDataIdType type) {
    if (getElementType() != type)
        return nullptr;
    return static_cast<const unsigned char*>(TvpTestCodeArgumentBase::nextElement());
}

bool TvpTestCodeArgument::nextElement(unsigned char& value) {
    const unsigned char* wire = nextWire(TVP_DATA_U8);
    if (!wire)
        return false;
    value = wire[0];
    return true;
}

bool TvpTestCodeArgument::nextElement(std::uint16_t& value) {
    const unsigned char* wire = nextWire(TVP_DATA_U16);
    if (!wire)
        return false;
    value = core::readU2(wire);
    return true;
}

bool TvpTestCodeArgument::nextElement(std::uint32_t& value) {
    const unsigned char* wire = nextWire(TVP_DATA_U32);
    if (!wire)
        return false;
    value = core::readU4(wire);
    return true;
}

bool TvpTestCodeArgument::nextElement(std::string& value) {
    const unsigned char* wire = nextWire(TVP_DATA_STRING);
    if (!wire)
        return false;
    value = reinterpret_cast<const char*>(wire);
    return true;
}

bool TvpTestCodeArgument::nextElement(float& value) {
    const unsigned char* wire = nextWire(TVP_DATA_FLOAT);
    if (!wire)
        return false;
    value = core::readF4(wire);
    return true;
}

unsigned char* TvpTestCodeArgument::toBytes(unsigned char* p) const {
    p = TvpTestCodeArgumentBase::toBytes(p);
    for (void* e : elements()) {
        const auto* wire = static_cast<const unsigned char*>(e);
        const std::size_t n = wireLength(getElementType(), wire);
        std::memcpy(p, wire, n);
        p += n;
    }
    return p;
}

const unsigned char* TvpTestCodeArgument::fromBytes(const unsigned char* p,
                                                    unsigned short& remaining) {
    removeAllElements();
    unsigned int left = remaining;
    std::uint16_t number = 0, count = 0;
    std::uint32_t length = 0;
    unsigned char type = 0;
    if (!headerFromBytes(p, left, number, length, type, count))
        return nullptr;
    const auto elementType = static_cast<TvpProbeDataIdType>(type);
    // Types without element values cannot be stepped over element by element.
    if (!hasValues(elementType))
        return nullptr;
    setNumber(number);
    setElementType(elementType);

    // The elements must fill exactly the Length bytes: anything else is a malformed argument
    // whose tail would otherwise be misread as the next argument.
    const unsigned char* end = p + length;
    for (unsigned int i = 0; i < count; ++i) {
        std::size_t n = elementWidth(elementType);
        if (elementType == TVP_DATA_STRING) {
            const void* zero = std::memchr(p, 0, static_cast<std::size_t>(end - p));
            if (!zero)
                break;
            n = static_cast<std::size_t>(static_cast<const unsigned char*>(zero) - p) + 1;
        }
        if (static_cast<std::size_t>(end - p) < n)
            break;
        auto* element = new unsigned char[n];
        std::memcpy(element, p, n);
        TvpTestCodeArgumentBase::addElement(element);
        p += n;
    }
    if (elementCount() != count || p != end) {
        removeAllElements();
        return nullptr;
    }
    remaining = static_cast<unsigned short>(left - length);
    return p;
}

std::string TvpTestCodeArgument::elementToText(const unsigned char* wire) const {
    switch (getElementType()) {
        case TVP_DATA_U16:
            return core::EUShort(core::readU2(wire)).stringValue();
        case TVP_DATA_U32:
            return core::EULong(core::readU4(wire)).stringValue();
        case TVP_DATA_U8:
            return core::EByte(wire[0]).stringValue();
        case TVP_DATA_STRING:
            return reinterpret_cast<const char*>(wire);
        case TVP_DATA_FLOAT:
            return core::EFloat(core::readF4(wire)).stringValue();
        default:
            return {};
    }
}

bool TvpTestCodeArgument::elementFromText(const std::string& text) {
    switch (getElementType()) {
        case TVP_DATA_U16: {
            core::EUShort v;
            return v.fromString(text) && addElement(v.getValue());
        }
        case TVP_DATA_U32: {
            core::EULong v;
            return v.fromString(text) && addElement(v.getValue());
        }
        case TVP_DATA_U8: {
            core::EByte v;
            return v.fromString(text) && addElement(v.getValue());
        }
        case TVP_DATA_STRING:
            return addElement(text);
        case TVP_DATA_FLOAT: {
            core::EFloat v;
            return v.fromString(text) && addElement(v.getValue());
        }
        default:
            return true;  // no element values for this type
    }
}

bool TvpTestCodeArgument::attributesToElement(core::XMLElement& element) const {
    if (!TvpTestCodeArgumentBase::attributesToElement(element))
        return false;
    if (!hasValues(getElementType()))
        return true;
    for (void* e : elements()) {
        core::XMLElement child("ELEMENT");
        child.setText(elementToText(static_cast<const unsigned char*>(e)));
        element.addChild(std::move(child));
    }
    return true;
}

bool TvpTestCodeArgument::attributesFromElement(const core::XMLElement& element) {
    if (!TvpTestCodeArgumentBase::attributesFromElement(element))
        return false;
    if (!hasValues(getElementType()))
        return true;
    for (const auto& child : element.getChildren()) {
        if (child.getName() != "ELEMENT")
            continue;
        if (!elementFromText(child.getText())) {
            removeAllElements();
            return false;
        }
    }
    return true;
}

}  // namespace vela
