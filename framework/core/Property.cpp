#include "framework/core/Property.h"

#include <cerrno>
#include <cstdlib>
#include <limits>

namespace core {

namespace {

// An unsigned number of the attribute that fits T. Read as 64 bits whatever the width of
// unsigned long (32 bits on 64-bit Windows, where an identity, an address, has 64).
template <class T>
bool readUnsigned(const XMLElement& e, const char* name, T& out) {
    std::string text;
    if (!e.getAttribute(name, text) || text.empty() || text[0] == '-')
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (*end != '\0' || errno == ERANGE || v > std::numeric_limits<T>::max())
        return false;
    out = static_cast<T>(v);
    return true;
}

// Registers the property classes so that persisted trees can be read back by class name.
struct Registrations {
    Registrations() {
        Object::registerClass("core::PropertyStore", &PropertyStore::createObject);
        Object::registerClass("core::PropertyCategory", &PropertyCategory::createObject);
        Object::registerClass("core::BoolPropertyItem", &BoolPropertyItem::createObject);
        Object::registerClass("core::BytePropertyItem", &BytePropertyItem::createObject);
        Object::registerClass("core::UShortPropertyItem", &UShortPropertyItem::createObject);
        Object::registerClass("core::LongPropertyItem", &LongPropertyItem::createObject);
        Object::registerClass("core::ULongPropertyItem", &ULongPropertyItem::createObject);
        Object::registerClass("core::StringPropertyItem", &StringPropertyItem::createObject);
        Object::registerClass("core::FilePropertyItem", &FilePropertyItem::createObject);
        Object::registerClass("core::FolderPropertyItem", &FolderPropertyItem::createObject);
    }
} registrations;

}  // namespace

bool PropertyNode::attributesToElement(XMLElement& element) const {
    element.setAttribute("ID", std::to_string(m_identity));
    element.setAttribute("ID_TYPE", dynamic_cast<const PropertyItem*>(this)    ? "ITEM"
                                    : dynamic_cast<const PropertyStore*>(this) ? "STORE"
                                                                               : "CATEGORY");
    element.setAttribute("NAME", m_name);
    element.setAttribute("DESCRIPTION", m_description);
    element.setAttribute("STYLE", std::to_string(m_style));
    element.setAttribute("READ_ONLY", m_readOnly ? 1 : 0);
    return true;
}

bool PropertyNode::attributesFromElement(const XMLElement& element) {
    Identity identity;
    if (!readUnsigned(element, "ID", identity))
        return false;
    m_identity = identity;
    element.getAttribute("NAME", m_name);
    element.getAttribute("DESCRIPTION", m_description);
    unsigned long style;
    if (readUnsigned(element, "STYLE", style))
        m_style = style;
    long long readOnly;
    if (element.getAttribute("READ_ONLY", readOnly))
        m_readOnly = readOnly != 0;
    return true;
}

bool PropertyCategory::insert(const RCPtr<PropertyNode>& node) {
    if (!node)
        return false;
    // Identities are unique in the whole tree.
    const PropertyNode* root = this;
    while (root->getParent())
        root = root->getParent();
    if (node->getIdentity() == root->getIdentity() ||
        static_cast<const PropertyCategory*>(root)->get(node->getIdentity()))
        return false;
    node->m_parent = this;
    m_children.push_back(node);
    return true;
}

RCPtr<PropertyNode> PropertyCategory::get(Identity identity) const {
    for (auto& child : m_children) {
        if (child->getIdentity() == identity)
            return child;
        if (auto* category = dynamic_cast<PropertyCategory*>(child.get()))
            if (auto found = category->get(identity))
                return found;
    }
    return {};
}

bool PropertyCategory::replace(const RCPtr<PropertyNode>& node) {
    if (!node)
        return false;
    for (auto& child : m_children) {
        if (child->getIdentity() == node->getIdentity()) {
            node->m_parent = this;
            child->m_parent = nullptr;
            child = node;
            return true;
        }
        if (auto* category = dynamic_cast<PropertyCategory*>(child.get()))
            if (category->replace(node))
                return true;
    }
    return false;
}

std::size_t PropertyCategory::loadSelections(const XMLElement& element) {
    std::size_t changed = 0;
    for (auto& childElement : element.getChildren()) {
        Identity identity;
        if (!readUnsigned(childElement, "ID", identity))
            continue;
        auto node = get(identity);
        if (auto* category = dynamic_cast<PropertyCategory*>(node.get())) {
            changed += category->loadSelections(childElement);
            continue;
        }
        auto* item = dynamic_cast<PropertyItem*>(node.get());
        if (!item)
            continue;
        bool touched = false;
        for (auto& valueElement : childElement.getChildren()) {
            if (valueElement.getName() != "VALUE")
                continue;
            std::string text;
            long long number = 0;
            bool hasNumber = valueElement.getAttribute("VALUE", number);
            valueElement.getAttribute("VALUE", text);
            long long selected = 0;
            valueElement.getAttribute("SELECTED", selected);
            std::string label;
            valueElement.getAttribute("LABEL", label);
            for (std::size_t i = 0; i < item->getValueCount(); ++i) {
                PropertyValue* v = item->getValue(i);
                bool same =
                    v->isText() ? v->getString() == text : hasNumber && v->getValue() == number;
                // Two values may share a number (and differ by label): match both.
                if (same && v->getLabel() == label) {
                    v->setSelected(selected != 0);
                    touched = true;
                }
            }
        }
        changed += touched;
    }
    return changed;
}

bool PropertyCategory::toXMLElement(XMLElement& element) const {
    if (!PropertyNode::toXMLElement(element))
        return false;
    for (auto& child : m_children) {
        XMLElement childElement;
        if (!child->toXMLElement(childElement))
            return false;
        element.addChild(std::move(childElement));
    }
    return true;
}

bool PropertyCategory::fromXMLElement(const XMLElement& element) {
    if (!PropertyNode::fromXMLElement(element))
        return false;
    m_children.clear();
    for (auto& childElement : element.getChildren()) {
        auto node = rcCast<PropertyNode>(childElement.toXMLObject());
        if (!node || !insert(node))
            return false;
    }
    return true;
}

PropertyValue* PropertyItem::getValue(std::size_t index) {
    return index < m_values.size() ? &m_values[index] : nullptr;
}

PropertyValue* PropertyItem::getFirst() {
    m_cursor = 0;
    return getNext();
}

PropertyValue* PropertyItem::getNext() {
    if (m_cursor >= m_values.size())
        return nullptr;
    return &m_values[m_cursor++];
}

std::size_t PropertyItem::selectByLabel(const std::vector<std::string>& labels) {
    std::size_t matched = 0;
    for (auto& v : m_values) {
        bool on = false;
        for (auto& l : labels)
            on = on || l == v.getLabel();
        v.setSelected(on);
        matched += on;
    }
    return matched;
}

bool PropertyItem::toXMLElement(XMLElement& element) const {
    if (!PropertyNode::toXMLElement(element))
        return false;
    element.setAttribute("VALUE_TYPE", std::string(getValueType()));
    element.setAttribute("APPLY_TIMEOUT", std::to_string(m_applyTimeout));
    for (auto& v : m_values) {
        XMLElement value("VALUE");
        if (v.isText()) {
            value.setAttribute("VALUE", v.getString());
        } else {
            value.setAttribute("VALUE", v.getValue());
        }
        value.setAttribute("LABEL", v.getLabel());
        value.setAttribute("SELECTED", v.isSelected() ? 1 : 0);
        element.addChild(std::move(value));
    }
    return true;
}

bool PropertyItem::fromXMLElement(const XMLElement& element) {
    if (!PropertyNode::fromXMLElement(element))
        return false;
    std::string type;
    if (element.getAttribute("VALUE_TYPE", type) && type != getValueType())
        return false;
    unsigned long timeout;
    if (readUnsigned(element, "APPLY_TIMEOUT", timeout))
        m_applyTimeout = timeout;
    m_values.clear();
    bool text = dynamic_cast<StringPropertyItem*>(this) != nullptr;
    for (auto& valueElement : element.getChildren()) {
        if (valueElement.getName() != "VALUE")
            continue;
        std::string label, raw;
        valueElement.getAttribute("LABEL", label);
        long long selected = 0;
        valueElement.getAttribute("SELECTED", selected);
        if (text) {
            valueElement.getAttribute("VALUE", raw);
            m_values.emplace_back(raw, label, selected != 0);
        } else {
            long long number;
            if (!valueElement.getAttribute("VALUE", number))
                return false;
            m_values.emplace_back(number, label, selected != 0);
        }
    }
    return true;
}

}  // namespace core
