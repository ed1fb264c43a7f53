#include "transport/StringRCObjectReq.h"

namespace vela {

namespace {
const char* const kClassName = "vela::StringRCObjectReq";
}

StringRCObjectReq::StringRCObjectReq() {
    setName(getClassName());
}

StringRCObjectReq::StringRCObjectReq(const std::string& name, const core::EString& value,
                                     const core::RCPtr<core::RCObject>& object)
    : core::Request(name), m_string(value), m_spObject(object) {}

StringRCObjectReq::StringRCObjectReq(const StringRCObjectReq& other)
    : core::Request(other), m_string(other.m_string), m_spObject(other.m_spObject) {}

StringRCObjectReq& StringRCObjectReq::operator=(const StringRCObjectReq& other) {
    core::Request::operator=(other);
    m_string = other.m_string;
    m_spObject = other.m_spObject;
    return *this;
}

StringRCObjectReq::~StringRCObjectReq() = default;

bool StringRCObjectReq::toXMLElement(core::XMLElement& element) const {
    bool ok = core::Request::toXMLElement(element);
    element.setAttribute("STRING", m_string);
    auto* object = dynamic_cast<const core::XMLObject*>(m_spObject.get());
    if (!object)
        return false;
    core::XMLElement child("RCOBJECT");
    if (!object->toXMLElement(child))
        return false;
    element.addChild(std::move(child));
    return ok;
}

bool StringRCObjectReq::fromXMLElement(const core::XMLElement& element) {
    m_spObject.reset();
    core::Request::fromXMLElement(element);
    std::string value;
    if (element.getAttribute("STRING", value))
        m_string = value;
    if (const core::XMLElement* child = element.findChild("RCOBJECT"))
        m_spObject = child->toXMLObject();
    return static_cast<bool>(m_spObject);
}

core::Object* StringRCObjectReq::createObject() {
    return new StringRCObjectReq();
}

bool StringRCObjectReq::registerClass() {
    return core::Object::registerClass(kClassName, &StringRCObjectReq::createObject);
}

bool StringRCObjectReq::unRegisterClass() {
    return core::Object::unRegisterClass(kClassName);
}

}  // namespace vela
