// The text form of XMLElement through pugixml.
#include <pugixml.hpp>

#include <sstream>

#include "framework/core/XML.h"

namespace core {

namespace {

void toPugi(const XMLElement& e, pugi::xml_node node) {
    for (auto& a : e.getAttributes())
        node.append_attribute(a.first.c_str()) = a.second.c_str();
    if (!e.getText().empty())
        node.append_child(pugi::node_pcdata).set_value(e.getText().c_str());
    for (auto& c : e.getChildren())
        toPugi(c, node.append_child(c.getName().c_str()));
}

void fromPugi(pugi::xml_node node, XMLElement& e) {
    e.setName(node.name());
    for (auto a : node.attributes())
        e.setAttribute(a.name(), std::string(a.value()));
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
        if (error)
            *error =
                std::string(result.description()) + " at offset " + std::to_string(result.offset);
        return false;
    }
    pugi::xml_node root = doc.document_element();
    if (!root) {
        if (error)
            *error = "no root element";
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
        if (error)
            *error = path + ": " + result.description();
        return false;
    }
    pugi::xml_node root = doc.document_element();
    if (!root) {
        if (error)
            *error = path + ": no root element";
        return false;
    }
    out = XMLElement();
    fromPugi(root, out);
    return true;
}

}  // namespace core
