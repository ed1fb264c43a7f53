#include "framework/core/XML.h"

#include <pugixml.hpp>

#include <cerrno>
#include <cstdlib>
#include <sstream>

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
    if (!getAttribute(name, text) || text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(text.c_str(), &end, 0);
    if (*end != '\0' || errno == ERANGE) return false;
    value = v;
    return true;
}

bool XMLElement::hasAttribute(const std::string& name) const {
    for (auto& a : m_attributes)
        if (a.first == name) return true;
    return false;
}

XMLElement& XMLElement::addChild(XMLElement child) {
    m_children.push_back(std::move(child));
    return m_children.back();
}

const XMLElement* XMLElement::findChild(const std::string& name) const {
    for (auto& c : m_children)
        if (c.m_name == name) return &c;
    return nullptr;
}

RCPtr<XMLObject> XMLElement::toXMLObject() const {
    std::string cls;
    if (!getAttribute("CLASS", cls)) cls = m_name;
    Object* raw = Object::createObject(cls);
    auto* xml = dynamic_cast<XMLObject*>(raw);
    if (!xml) {
        delete raw;
        return {};
    }
    RCPtr<XMLObject> object(xml);
    if (!object->fromXMLElement(*this)) return {};
    return object;
}

namespace {

void toPugi(const XMLElement& e, pugi::xml_node node) {
    for (auto& a : e.getAttributes()) node.append_attribute(a.first.c_str()) = a.second.c_str();
    if (!e.getText().empty()) node.append_child(pugi::node_pcdata).set_value(e.getText().c_str());
    for (auto& c : e.getChildren()) toPugi(c, node.append_child(c.getName().c_str()));
}

void fromPugi(pugi::xml_node node, XMLElement& e) {
    e.setName(node.name());
    for (auto a : node.attributes()) e.setAttribute(a.name(), std::string(a.value()));
    std::string text;
    for (auto child : node.children()) {
        if (child.type() == pugi::node_element) {
            XMLElement c;
            fromPugi(child, c);
            e.addChild(std::move(c));
        } else if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) {
            text += child.value();
        }
    }
    e.setText(text);
}

}  // namespace

std::string XMLElement::toString() const {
    pugi::xml_document doc;
    toPugi(*this, doc.append_child(m_name.c_str()));
    std::ostringstream out;
    doc.save(out, "  ", pugi::format_default, pugi::encoding_utf8);
    return out.str();
}

bool XMLElement::fromString(const std::string& xml, XMLElement& out, std::string* error) {
    pugi::xml_document doc;
    auto result = doc.load_buffer(xml.data(), xml.size(), pugi::parse_default, pugi::encoding_utf8);
    if (!result) {
        if (error) *error = std::string(result.description()) + " at offset " + std::to_string(result.offset);
        return false;
    }
    pugi::xml_node root = doc.document_element();
    if (!root) {
        if (error) *error = "no root element";
        return false;
    }
    out = XMLElement();
    fromPugi(root, out);
    return true;
}

bool XMLElement::save(const std::string& path) const {
    pugi::xml_document doc;
    toPugi(*this, doc.append_child(m_name.c_str()));
    return doc.save_file(path.c_str(), "  ", pugi::format_default, pugi::encoding_utf8);
}

bool XMLElement::load(const std::string& path, XMLElement& out, std::string* error) {
    pugi::xml_document doc;
    auto result = doc.load_file(path.c_str(), pugi::parse_default, pugi::encoding_utf8);
    if (!result) {
        if (error) *error = path + ": " + result.description();
        return false;
    }
    pugi::xml_node root = doc.document_element();
    if (!root) {
        if (error) *error = path + ": no root element";
        return false;
    }
    out = XMLElement();
    fromPugi(root, out);
    return true;
}

bool XMLObject::toXMLElement(XMLElement& element) const {
    if (element.getName().empty()) element.setName(getElementName());
    element.setAttribute("CLASS", getClassName());
    return attributesToElement(element);
}

bool XMLObject::fromXMLElement(const XMLElement& element) { return attributesFromElement(element); }

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

bool XMLObject::attributesToElement(XMLElement&) const { return true; }
bool XMLObject::attributesFromElement(const XMLElement&) { return true; }

}  // namespace core
