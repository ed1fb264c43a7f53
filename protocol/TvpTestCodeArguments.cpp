#include "protocol/TvpTestCodeArguments.h"

#include <typeinfo>

#include "framework/core/Bytes.h"

namespace vela {

namespace {
bool sameKind(const TvpTestCodeArgumentBase& a, const TvpTestCodeArgumentBase& b) {
    return typeid(a) == typeid(b);
}
}  // namespace

// ---- TvpTestCodeArgumentsBase ----

TvpTestCodeArgumentsBase::TvpTestCodeArgumentsBase(unsigned char callbackId,
                                                   std::uint16_t testCodeNumber)
    : m_CallbackId(callbackId), m_TestCodeNumber(testCodeNumber) {}

TvpTestCodeArgumentsBase::TvpTestCodeArgumentsBase(const TvpTestCodeArgumentsBase& other)
    : core::XMLObject(other),
      m_CallbackId(other.m_CallbackId),
      m_TestCodeNumber(other.m_TestCodeNumber) {
    for (const auto& argument : other.m_arguments) {
        core::RCPtr<TvpTestCodeArgumentBase> copy(
            dynamic_cast<TvpTestCodeArgumentBase*>(argument->copy()));
        if (copy)
            m_arguments.push_back(copy);
    }
}

TvpTestCodeArgumentsBase::~TvpTestCodeArgumentsBase() = default;

void TvpTestCodeArgumentsBase::onFinalRelease() {
    removeAllArguments();
    core::XMLObject::onFinalRelease();
}

unsigned long TvpTestCodeArgumentsBase::encodedSize() const {
    unsigned long n = 2;
    for (const auto& argument : m_arguments)
        n += argument->encodedSize();
    return n;
}

bool TvpTestCodeArgumentsBase::toBytes(unsigned char* p) const {
    const unsigned long total = encodedSize();
    if (!p || total > kMaxSize)
        return false;
    unsigned char* const start = p;
    for (const auto& argument : m_arguments)
        p = argument->toBytes(p);
    core::writeU2(p, kTerminator);
    p += 2;
    return static_cast<unsigned long>(p - start) == size();
}

bool TvpTestCodeArgumentsBase::addArgument(TvpTestCodeArgumentBase* argument) {
    // Held at once, so that a new argument that is refused is freed rather than lost.
    const core::RCPtr<TvpTestCodeArgumentBase> held(argument);
    if (!held)
        return false;
    if (encodedSize() + held->encodedSize() > kMaxSize)
        return false;
    held->setNumber(static_cast<std::uint16_t>(m_arguments.size()));
    m_arguments.push_back(held);
    return true;
}

bool TvpTestCodeArgumentsBase::fromBytes(const unsigned char* block, unsigned short length) {
    if (!block && length)
        return false;
    const unsigned char* p = block;
    unsigned short remaining = length;
    while (remaining > 0) {
        // The terminator may close the list at any point, an empty list included.
        if (remaining == 2)
            return core::readU2(p) == kTerminator;
        core::RCPtr<TvpTestCodeArgumentBase> argument = createArgument();
        if (!argument)
            return false;
        p = argument->fromBytes(p, remaining);
        if (!p || !addArgument(argument.get()))
            return false;
    }
    return true;
}

bool TvpTestCodeArgumentsBase::attributesToElement(core::XMLElement& element) const {
    element.setAttribute("CALLBACK_ID", static_cast<long long>(m_CallbackId));
    element.setAttribute("TEST_CODE_NUMBER", static_cast<long long>(m_TestCodeNumber));
    return true;
}

bool TvpTestCodeArgumentsBase::attributesFromElement(const core::XMLElement& element) {
    long long callbackId = 0, testCodeNumber = 0;
    if (!element.getAttribute("CALLBACK_ID", callbackId) || callbackId < 0 || callbackId > 0xFF)
        return false;
    if (!element.getAttribute("TEST_CODE_NUMBER", testCodeNumber) || testCodeNumber < 0 ||
        testCodeNumber > 0xFFFF)
        return false;
    m_CallbackId = static_cast<unsigned char>(callbackId);
    m_TestCodeNumber = static_cast<std::uint16_t>(testCodeNumber);
    return true;
}

bool TvpTestCodeArgumentsBase::toXMLElement(core::XMLElement& element) const {
    if (!core::XMLObject::toXMLElement(element))
        return false;
    for (const auto& argument : m_arguments) {
        core::XMLElement child("ARGUMENT");
        if (!argument->toXMLElement(child))
            return false;
        element.addChild(std::move(child));
    }
    return true;
}

bool TvpTestCodeArgumentsBase::fromXMLElement(const core::XMLElement& element) {
    if (!attributesFromElement(element))
        return false;
    removeAllArguments();
    const core::RCPtr<TvpTestCodeArgumentBase> kind = createArgument();
    for (const auto& child : element.getChildren()) {
        if (child.getName() != "ARGUMENT")
            continue;
        // Only arguments of the list's own kind are taken; anything else is bad input.
        core::RCPtr<TvpTestCodeArgumentBase> argument =
            child.toXMLObject().dynamicCast<TvpTestCodeArgumentBase>();
        if (!argument || !kind || !sameKind(*argument, *kind) || !addArgument(argument.get())) {
            removeAllArguments();
            return false;
        }
    }
    return true;
}

// ---- TvpTestCodeArguments ----

TvpTestCodeArguments::TvpTestCodeArguments(unsigned char callbackId, std::uint16_t testCodeNumber)
    : TvpTestCodeArgumentsBase(callbackId, testCodeNumber) {}

TvpTestCodeArguments::TvpTestCodeArguments(const TvpTestCodeArguments& other)
    : TvpTestCodeArgumentsBase(other) {}

TvpTestCodeArguments::~TvpTestCodeArguments() = default;

core::Object* TvpTestCodeArguments::createObject() {
    return new TvpTestCodeArguments();
}

core::RCPtr<TvpTestCodeArguments> TvpTestCodeArguments::createObject(const unsigned char* block,
                                                                     unsigned short length) {
    core::RCPtr<TvpTestCodeArguments> list(new TvpTestCodeArguments());
    if (!list->fromBytes(block, length))
        return {};
    return list;
}

core::RCPtr<TvpTestCodeArgumentBase> TvpTestCodeArguments::createArgument() const {
    return core::RCPtr<TvpTestCodeArgumentBase>(new TvpTestCodeArgument());
}

core::RCPtr<TvpTestCodeArgument> TvpTestCodeArguments::getArgument(
    unsigned short const& number) const {
    for (const auto& argument : arguments())
        if (argument->getNumber() == number)
            return core::rcCast<TvpTestCodeArgument>(argument);
    return {};
}

core::RCPtr<TvpTestCodeArgument> TvpTestCodeArguments::getFirst() {
    m_cursor = 0;
    return getNext();
}

core::RCPtr<TvpTestCodeArgument> TvpTestCodeArguments::getNext() {
    if (m_cursor >= arguments().size())
        return {};
    return core::rcCast<TvpTestCodeArgument>(arguments()[m_cursor++]);
}

}  // namespace vela
