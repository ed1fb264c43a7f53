// A small XML tree and the base of objects that read and write themselves as XML elements.
// Text form through pugixml (XML_pugixml.cpp), on Windows through XmlLite (XML_xmllite.cpp).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "framework/core/RCObject.h"

namespace core {

class XMLObject;

class XMLElement {
  public:
    XMLElement() = default;
    explicit XMLElement(std::string name) : m_name(std::move(name)) {}

    const std::string& getName() const { return m_name; }
    void setName(std::string name) { m_name = std::move(name); }

    // Sets or replaces an attribute; attributes keep the order in which they were first set.
    void setAttribute(const std::string& name, const std::string& value);
    void setAttribute(const std::string& name, long long value);
    bool getAttribute(const std::string& name, std::string& value) const;
    // Reads a whole-number attribute; false when missing or not a number.
    bool getAttribute(const std::string& name, long long& value) const;
    bool hasAttribute(const std::string& name) const;
    const std::vector<std::pair<std::string, std::string>>& getAttributes() const {
        return m_attributes;
    }

    const std::string& getText() const { return m_text; }
    void setText(std::string text) { m_text = std::move(text); }

    XMLElement& addChild(XMLElement child);
    const std::vector<XMLElement>& getChildren() const { return m_children; }
    std::vector<XMLElement>& getChildren() { return m_children; }
    const XMLElement* findChild(const std::string& name) const;

    // Makes an object of the class named by the element's "CLASS" attribute (or, without one,
    // by its name) through the class registry and lets it read this element. Empty when no
    // such class is registered, it is not an XMLObject, or it fails to read the element.
    RCPtr<XMLObject> toXMLObject() const;

    std::string toString() const;
    static bool fromString(const std::string& xml, XMLElement& out, std::string* error = nullptr);
    bool save(const std::string& path) const;
    static bool load(const std::string& path, XMLElement& out, std::string* error = nullptr);

  private:
    std::string m_name;
    std::vector<std::pair<std::string, std::string>> m_attributes;
    std::string m_text;
    std::vector<XMLElement> m_children;
};

class XMLObject : public RCObject {
  public:
    // Fills an element: names it getElementName() unless it already has a name, records the
    // class in "CLASS", then writes the attributes.
    virtual bool toXMLElement(XMLElement& element) const;
    virtual bool fromXMLElement(const XMLElement& element);
    virtual std::string getElementName() const;

  protected:
    virtual bool attributesToElement(XMLElement& element) const;
    virtual bool attributesFromElement(const XMLElement& element);
};

}  // namespace core
