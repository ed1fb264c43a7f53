#include "protocol/CommonControl.h"

#include <cstring>

#include "framework/core/Bytes.h"
#include "framework/core/Values.h"

namespace vela {

// ---- CommonControlIE ----

CommonControlIE::CommonControlIE() = default;

CommonControlIE::CommonControlIE(unsigned char iei, unsigned char value)
    : m_IEI(iei), m_Length(1), m_value{value} {}

CommonControlIE::CommonControlIE(unsigned char iei, const unsigned char* bytes, unsigned char count)
    : m_IEI(iei), m_Length(count), m_value(count) {
    if (bytes && count)
        std::memcpy(m_value.data(), bytes, count);
}

CommonControlIE::CommonControlIE(unsigned char iei, std::uint16_t value)
    : m_IEI(iei), m_Length(2), m_value(2) {
    core::writeU2(m_value.data(), value);
}

CommonControlIE::~CommonControlIE() = default;

core::RCPtr<CommonControlIE> CommonControlIE::fromUShorts(unsigned char iei,
                                                          const std::uint16_t* values,
                                                          unsigned char count) {
    if (count > kMaxUShorts || (!values && count))
        return {};
    unsigned char bytes[2 * kMaxUShorts];
    for (unsigned int i = 0; i < count; ++i)
        core::writeU2(bytes + 2 * i, values[i]);
    return core::RCPtr<CommonControlIE>(
        new CommonControlIE(iei, bytes, static_cast<unsigned char>(2 * count)));
}

core::Object* CommonControlIE::createObject() {
    return new CommonControlIE();
}

bool CommonControlIE::next(unsigned char& value) {
    if (m_cursor >= m_value.size())
        return false;
    value = m_value[m_cursor++];
    return true;
}

bool CommonControlIE::next(std::uint16_t& value) {
    if (m_cursor + 2 > m_value.size())
        return false;
    value = core::readU2(m_value.data() + m_cursor);
    m_cursor += 2;
    return true;
}

unsigned char* CommonControlIE::toBytes(unsigned char* p) const {
    p[0] = m_IEI;
    p[1] = m_Length;
    if (m_Length)
        std::memcpy(p + 2, m_value.data(), m_Length);
    return p + 2 + m_Length;
}

const unsigned char* CommonControlIE::fromBytes(const unsigned char* p, unsigned short& remaining) {
    if (!p || remaining < 2)
        return nullptr;
    const unsigned char length = p[1];
    if (remaining - 2 < length)
        return nullptr;
    setIEI(p[0]);
    setLength(length);
    m_value.assign(p + 2, p + 2 + length);
    reset();
    remaining = static_cast<unsigned short>(remaining - 2 - length);
    return p + 2 + length;
}

bool CommonControlIE::attributesToElement(core::XMLElement& element) const {
    element.setAttribute("IEI", static_cast<long long>(m_IEI));
    element.setAttribute("LENGTH", static_cast<long long>(m_Length));
    std::string text;
    for (std::size_t i = 0; i < m_value.size(); ++i) {
        if (i)
            text += ';';
        text += core::EByte(m_value[i]).stringValue();
    }
    element.setText(text);
    return true;
}

bool CommonControlIE::attributesFromElement(const core::XMLElement& element) {
    long long iei = 0, length = 0;
    if (!element.getAttribute("IEI", iei) || iei < 0 || iei > 0xFF)
        return false;
    if (!element.getAttribute("LENGTH", length) || length < 0 || length > 0xFF)
        return false;
    std::vector<unsigned char> value;
    const std::string& text = element.getText();
    std::size_t start = 0;
    bool blank = text.find_first_not_of(" \t\r\n") == std::string::npos;
    while (!blank && start <= text.size()) {
        std::size_t end = text.find(';', start);
        if (end == std::string::npos)
            end = text.size();
        core::EByte byte;
        if (!byte.fromString(text.substr(start, end - start)))
            return false;
        value.push_back(byte.getValue());
        start = end + 1;
    }
    if (value.size() != static_cast<std::size_t>(length))
        return false;
    setIEI(static_cast<unsigned char>(iei));
    setLength(static_cast<unsigned char>(length));
    m_value = std::move(value);
    reset();
    return true;
}

// ---- CommonControlArg ----

namespace {
// 9-byte argument header and the list terminator around the IEs, within a 16-bit list size.
constexpr unsigned long kMaxIEBytes =
    TvpTestCodeArgumentsBase::kMaxSize - TvpTestCodeArgumentBase::kHeaderSize - 2;
}  // namespace

CommonControlArg::CommonControlArg() : TvpTestCodeArgumentBase(0, TVP_DATA_U8) {}

CommonControlArg::CommonControlArg(const CommonControlArg& other) : TvpTestCodeArgumentBase(other) {
    for (void* e : other.elements()) {
        auto* ie = new CommonControlIE(*static_cast<const CommonControlIE*>(e));
        ie->addref();
        TvpTestCodeArgumentBase::addElement(ie);
    }
}

CommonControlArg::~CommonControlArg() {
    removeAllElements();
}

void CommonControlArg::removeAllElements() {
    for (void* e : elements())
        static_cast<CommonControlIE*>(e)->release();
    clearElementPointers();
}

unsigned long CommonControlArg::getLength() const {
    unsigned long n = 0;
    for (void* e : elements())
        n += static_cast<const CommonControlIE*>(e)->size();
    return n;
}

std::uint16_t CommonControlArg::getNumberOfElements() const {
    return static_cast<std::uint16_t>(getLength());
}

bool CommonControlArg::addIE(CommonControlIE* ie) {
    // Held at once, so that a new IE that is refused is freed rather than lost.
    const core::RCPtr<CommonControlIE> held(ie);
    if (!held || getLength() + held->size() > kMaxIEBytes)
        return false;
    held->addref();
    return TvpTestCodeArgumentBase::addElement(held.get());
}

core::RCPtr<CommonControlIE> CommonControlArg::nextIE() {
    return core::RCPtr<CommonControlIE>(static_cast<CommonControlIE*>(nextElement()));
}

core::RCPtr<CommonControlIE> CommonControlArg::getIE(std::size_t index) const {
    if (index >= elementCount())
        return {};
    return core::RCPtr<CommonControlIE>(static_cast<CommonControlIE*>(elements()[index]));
}

unsigned char* CommonControlArg::toBytes(unsigned char* p) const {
    // Number, Length and element type, then the IE byte count in the count field.
    p = TvpTestCodeArgumentBase::toBytes(p);
    for (void* e : elements())
        p = static_cast<const CommonControlIE*>(e)->toBytes(p);
    return p;
}

const unsigned char* CommonControlArg::fromBytes(const unsigned char* p,
                                                 unsigned short& remaining) {
    removeAllElements();
    if (!p || remaining < kHeaderSize)
        return nullptr;
    const std::uint16_t number = core::readU2(p);
    const std::uint32_t length = core::readU4(p + 2);
    if (remaining - 6u < length)
        return nullptr;
    const unsigned char type = p[6];
    unsigned int left = remaining - 7u;
    const unsigned char* q = p + 7;
    if (left < 3) {
        // No room for an IE byte count and an IE: a message without IEs.
        if (length != 0)
            return nullptr;
        setNumber(number);
        setElementType(static_cast<TvpProbeDataIdType>(type));
        remaining = static_cast<unsigned short>(left);
        return q;
    }
    const std::uint16_t ieBytes = core::readU2(q);
    q += 2;
    left -= 2;
    // The terminator still has to follow the IEs; Length and the count field both give the
    // IE byte count, and a message where they disagree is not decoded.
    if (ieBytes >= left || length != ieBytes)
        return nullptr;
    unsigned short budget = ieBytes;
    while (budget > 0) {
        core::RCPtr<CommonControlIE> ie(new CommonControlIE());
        q = ie->fromBytes(q, budget);
        if (!q) {
            removeAllElements();
            return nullptr;
        }
        ie->addref();
        TvpTestCodeArgumentBase::addElement(ie.get());
    }
    setNumber(number);
    setElementType(static_cast<TvpProbeDataIdType>(type));
    remaining = static_cast<unsigned short>(left - ieBytes);
    return q;
}

// ---- CommonControl ----

namespace {
constexpr unsigned int kOperationShift = 0, kOperationWidth = 1;
constexpr unsigned int kFunctionShift = 1, kFunctionWidth = 6;
constexpr unsigned int kBlockShift = 7, kBlockWidth = 6;
}  // namespace

CommonControl::CommonControl() : TvpTestCodeArgumentsBase(identity(), 0) {}

CommonControl::CommonControl(const CommonControl& other) : TvpTestCodeArgumentsBase(other) {}

CommonControl::~CommonControl() = default;

core::Object* CommonControl::createObject() {
    return new CommonControl();
}

core::RCPtr<CommonControl> CommonControl::createObject(const unsigned char* block,
                                                       unsigned short length) {
    core::RCPtr<CommonControl> message(new CommonControl());
    if (!message->fromBytes(block, length))
        return {};
    return message;
}

core::RCPtr<TvpTestCodeArgumentBase> CommonControl::createArgument() const {
    return core::RCPtr<TvpTestCodeArgumentBase>(new CommonControlArg());
}

void CommonControl::setHeaderBits(unsigned int shift, unsigned int width, unsigned int value) {
    const unsigned int mask = ((1u << width) - 1u) << shift;
    const unsigned int number = (getTestCodeNumber() & ~mask) | ((value << shift) & mask);
    setTestCodeNumber(static_cast<std::uint16_t>(number));
}

CommonControl::OperationType CommonControl::getOperationType() const {
    return static_cast<OperationType>((getTestCodeNumber() >> kOperationShift) & 1u);
}
void CommonControl::setOperationType(OperationType type) {
    setHeaderBits(kOperationShift, kOperationWidth, type);
}
CommonControl::CCBlockId CommonControl::getBlockId() const {
    return static_cast<CCBlockId>((getTestCodeNumber() >> kBlockShift) & 0x3Fu);
}
void CommonControl::setBlockId(CCBlockId id) {
    setHeaderBits(kBlockShift, kBlockWidth, id);
}
unsigned char CommonControl::getFunctionId() const {
    return static_cast<unsigned char>((getTestCodeNumber() >> kFunctionShift) & 0x3Fu);
}

void CommonControl::setFunctionId(InternalFunctionId id) {
    setHeaderBits(kFunctionShift, kFunctionWidth, id);
    setBlockId(INTERNAL_BLOCK);
}
void CommonControl::setFunctionId(WASFunctionId id) {
    setHeaderBits(kFunctionShift, kFunctionWidth, id);
    setBlockId(WAS_BLOCK);
}
void CommonControl::setFunctionId(GASFunctionId id) {
    setHeaderBits(kFunctionShift, kFunctionWidth, id);
    setBlockId(GAS_BLOCK);
}
void CommonControl::setFunctionId(CASFunctionId id) {
    setHeaderBits(kFunctionShift, kFunctionWidth, id);
    setBlockId(CAS_BLOCK);
}

CommonControlArg* CommonControl::firstArgument() const {
    return arguments().empty() ? nullptr
                               : dynamic_cast<CommonControlArg*>(arguments().front().get());
}

bool CommonControl::addIE(CommonControlIE* ie) {
    const core::RCPtr<CommonControlIE> held(ie);
    if (!held)
        return false;
    if (arguments().empty()) {
        core::RCPtr<TvpTestCodeArgumentBase> argument = createArgument();
        if (!addArgument(argument.get()))
            return false;
    }
    CommonControlArg* argument = firstArgument();
    return argument && argument->addIE(held.get());
}

void CommonControl::resetIEs() {
    if (CommonControlArg* argument = firstArgument())
        argument->resetIEs();
}

core::RCPtr<CommonControlIE> CommonControl::nextIE() {
    CommonControlArg* argument = firstArgument();
    return argument ? argument->nextIE() : core::RCPtr<CommonControlIE>();
}

bool CommonControl::toXMLElement(core::XMLElement& element) const {
    if (!core::XMLObject::toXMLElement(element))
        return false;
    for (const auto& a : arguments()) {
        auto* argument = dynamic_cast<CommonControlArg*>(a.get());
        if (!argument)
            continue;
        for (std::size_t i = 0; i < argument->getIECount(); ++i) {
            core::XMLElement child("IE");
            if (!argument->getIE(i)->toXMLElement(child))
                return false;
            element.addChild(std::move(child));
        }
    }
    return true;
}

bool CommonControl::fromXMLElement(const core::XMLElement& element) {
    if (!attributesFromElement(element))
        return false;
    removeAllArguments();
    for (const auto& child : element.getChildren()) {
        if (child.getName() != "IE")
            continue;
        core::RCPtr<CommonControlIE> ie = child.toXMLObject().dynamicCast<CommonControlIE>();
        if (!ie || !addIE(ie.get())) {
            removeAllArguments();
            return false;
        }
    }
    return true;
}

// ---- decoding of execute-test-code argument blocks ----

core::RCPtr<core::RCObject> decodeTestCodeArguments(unsigned char callbackId,
                                                    std::uint16_t testCodeNumber,
                                                    const unsigned char* block,
                                                    unsigned int length) {
    if (length > TvpTestCodeArgumentsBase::kMaxSize)
        return {};
    const auto n = static_cast<unsigned short>(length);
    core::RCPtr<TvpTestCodeArgumentsBase> list;
    if (callbackId == CommonControl::identity()) {
        list = CommonControl::createObject(block, n);
    } else {
        list = TvpTestCodeArguments::createObject(block, n);
    }
    if (!list)
        return {};
    list->setCallbackId(callbackId);
    list->setTestCodeNumber(testCodeNumber);
    return list;
}

}  // namespace vela
