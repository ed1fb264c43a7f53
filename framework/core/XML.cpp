#include "framework/core/XML.h"

#include <cerrno>
#include <cstdlib>

namespace core {

void XMLElement::setAttribute(const std::string& name, const std::string& value) {
    for (auto& a : m_attributes) {
        if (a.first == name) {
            a.second = value;
            return;
        }
    }
    m_attributes.emplace_back(name, value);
}

void XMLElement::setAttribute(const std::string& name, long long value) {
    setAttribute(name, std::to_string(value));
}

bool XMLElement::getAttribute(const std::string& name, std::string& value) const {
    for (auto& a : m_attributes) {
        if (a.first == name) {
            value = a.second;
            return true;
        }
    }
    return false;
}

bool XMLElement::getAttribute(const std::string& name, long long& value) const {
    std::string text;
    if (!getAttribute(name, text) || text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(text.c_str(), &end, 0);
    if (*end != '\0' || errno == ERANGE)
        return false;
    value = v;
    return true;
}

bool XMLElement::hasAttribute(const std::string& name) const {
    for (auto& a : m_attributes)
        if (a.first == name)
            return true;
    return false;
}

XMLElement& XMLElement::addChild(XMLElement child) {
    m_children.push_back(std::move(child));
    return m_children.back();
}

const XMLElement* XMLElement::findChild(const std::string& name) const {
    for (auto& c : m_children)
        if (c.m_name == name)
            return &c;
    return nullptr;
}

RCPtr<XMLObject> XMLElement::toXMLObject() const {
    std::string cls;
    if (!getAttribute("CLASS", cls))
        cls = m_name;
    Object* raw = Object::createObject(cls);
    auto* xml = dynamic_cast<XMLObject*>(raw);
    if (!xml) {
        delete raw;
        return {};
    }
    RCPtr<XMLObject> object(xml);
    if (!object->fromXMLElement(*this))
        return {};
    return object;
}

bool XMLObject::toXMLElement(XMLElement& element) const {
    if (element.getName().empty())
        element.setName(getElementName());
    element.setAttribute("CLASS", getClassName());
    return attributesToElement(element);
}

bool XMLObject::fromXMLElement(const XMLElement& element) {
    return attributesFromElement(element);
}

std::string XMLObject::getElementName() const {
    // Element names cannot hold "::".
    const std::string cls = getClassName();
    std::string name;
    for (std::size_t i = 0; i < cls.size(); ++i) {
        if (cls[i] == ':' && i + 1 < cls.size() && cls[i + 1] == ':') {
            name += '.';
            ++i;
        } else {
            name += cls[i];
        }
    }
    return name;
}

bool XMLObject::attributesToElement(XMLElement&) const {
    return true;
}
bool XMLObject::attributesFromElement(const XMLElement&) {
    return true;
}

}  // namespace core
