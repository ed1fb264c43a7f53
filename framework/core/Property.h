// Settings trees: a store holds categories, categories hold categories and items, an item is a
// list of values (number or text, a label, a selected flag). Items carry validate, apply,
// applied and populate callbacks. Trees persist as XML.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "framework/core/CallBack.h"
#include "framework/core/RCObject.h"
#include "framework/core/Status.h"
#include "framework/core/XML.h"

namespace core {

class PropertyItem;

class PropertyNode : public XMLObject {
  public:
    // Wide enough for an address: a root store is known by the object that made it.
    using Identity = std::uintptr_t;

    PropertyNode(Identity identity = 0, const std::string& name = {},
                 const std::string& description = {})
        : m_identity(identity), m_name(name), m_description(description) {}

    Identity getIdentity() const { return m_identity; }
    const std::string& getName() const { return m_name; }
    const std::string& getDescription() const { return m_description; }
    PropertyNode* getParent() const { return m_parent; }

    bool isReadOnly() const { return m_readOnly; }
    void setReadOnly(bool readOnly) { m_readOnly = readOnly; }
    unsigned long getStyle() const { return m_style; }
    // Sets (on) or clears (off) the style bits.
    void setStyle(unsigned long style, bool on) {
        m_style = on ? (m_style | style) : (m_style & ~style);
    }

  protected:
    bool attributesToElement(XMLElement& element) const override;
    bool attributesFromElement(const XMLElement& element) override;

  private:
    friend class PropertyCategory;
    Identity m_identity;
    std::string m_name;
    std::string m_description;
    PropertyNode* m_parent = nullptr;
    bool m_readOnly = false;
    unsigned long m_style = 0;
};

class PropertyCategory : public PropertyNode {
  public:
    using PropertyNode::PropertyNode;

    // Appends a child; false for none or when a node with the same identity is in the tree.
    bool insert(const RCPtr<PropertyNode>& node);
    // The node with that identity anywhere below, or empty.
    RCPtr<PropertyNode> get(Identity identity) const;
    // Puts the node in place of the one with its identity below; false if there is none.
    bool replace(const RCPtr<PropertyNode>& node);
    const std::vector<RCPtr<PropertyNode>>& getChildren() const { return m_children; }

    // Takes the selected flags of every item value found in a persisted tree (matched by item
    // identity and value) and leaves everything else as it is. Returns the number of items
    // changed.
    std::size_t loadSelections(const XMLElement& element);

    bool toXMLElement(XMLElement& element) const override;
    bool fromXMLElement(const XMLElement& element) override;
    static Object* createObject() { return new PropertyCategory(); }

  private:
    std::vector<RCPtr<PropertyNode>> m_children;
};

class PropertyStore : public PropertyCategory {
  public:
    using PropertyCategory::PropertyCategory;
    static Object* createObject() { return new PropertyStore(); }
};

// One value of an item.
class PropertyValue {
  public:
    PropertyValue(long long number, const std::string& label, bool selected)
        : m_number(number), m_label(label), m_selected(selected) {}
    PropertyValue(const std::string& text, const std::string& label, bool selected)
        : m_number(0), m_text(text), m_label(label), m_selected(selected), m_isText(true) {}

    long long getValue() const { return m_number; }
    std::uint8_t getByte() const { return static_cast<std::uint8_t>(m_number); }
    std::uint16_t getUShort() const { return static_cast<std::uint16_t>(m_number); }
    const std::string& getString() const { return m_text; }
    bool isText() const { return m_isText; }
    const std::string& getLabel() const { return m_label; }
    bool isSelected() const { return m_selected; }
    void setSelected(bool selected) { m_selected = selected; }

  private:
    long long m_number;
    std::string m_text;
    std::string m_label;
    bool m_selected;
    bool m_isText = false;
};

class PropertyItem : public PropertyNode {
  public:
    // Validate, apply and applied handlers take the item and a status to fill.
    using Handler = BoolCallBackT<PropertyItem&, Status&>;
    using PopulateHandler = BoolCallBackT<PropertyItem&>;
    static constexpr unsigned long kDefaultApplyTimeout = 5000;

    using PropertyNode::PropertyNode;

    // "BOOL", "BYTE", "USHORT", ...: what kind of value the item holds.
    virtual const char* getValueType() const = 0;

    std::size_t getValueCount() const { return m_values.size(); }
    PropertyValue* getValue(std::size_t index);
    // Walks the values: the first (and the cursor after it), then each next; null at the end.
    PropertyValue* getFirst();
    PropertyValue* getNext();
    const std::vector<PropertyValue>& getValues() const { return m_values; }
    void clearValues() { m_values.clear(); }
    // Selects the values whose labels are given (and no other); returns how many matched.
    std::size_t selectByLabel(const std::vector<std::string>& labels);

    unsigned long getApplyTimeout() const { return m_applyTimeout; }
    void setApplyTimeout(unsigned long milliseconds) { m_applyTimeout = milliseconds; }

    template <class T>
    void attachValidate(T* object, bool (T::*member)(PropertyItem&, Status&)) {
        m_validate = Handler(object, member);
    }
    template <class T>
    void attachApply(T* object, bool (T::*member)(PropertyItem&, Status&)) {
        m_apply = Handler(object, member);
    }
    template <class T>
    void attachApplied(T* object, bool (T::*member)(PropertyItem&, Status&)) {
        m_applied = Handler(object, member);
    }
    template <class T>
    void attachPopulate(T* object, bool (T::*member)(PropertyItem&)) {
        m_populate = PopulateHandler(object, member);
    }
    bool hasValidate() const { return m_validate.isValid(); }
    bool hasApply() const { return m_apply.isValid(); }

    // Runs the handler; true without one.
    bool validate(Status& status) {
        return m_validate.isValid() ? m_validate(*this, status) : true;
    }
    bool apply(Status& status) { return m_apply.isValid() ? m_apply(*this, status) : true; }
    bool applied(Status& status) { return m_applied.isValid() ? m_applied(*this, status) : true; }
    bool populate() { return m_populate.isValid() ? m_populate(*this) : true; }

    bool toXMLElement(XMLElement& element) const override;
    bool fromXMLElement(const XMLElement& element) override;

  protected:
    void addValue(PropertyValue value) { m_values.push_back(std::move(value)); }

  private:
    std::vector<PropertyValue> m_values;
    std::size_t m_cursor = 0;
    unsigned long m_applyTimeout = kDefaultApplyTimeout;
    Handler m_validate, m_apply, m_applied;
    PopulateHandler m_populate;
};

// Items holding numbers of one kind.
template <class T>
class NumberPropertyItem : public PropertyItem {
  public:
    using value_type = T;
    using PropertyItem::PropertyItem;
    void add(T value, const std::string& label, bool selected) {
        addValue(PropertyValue(static_cast<long long>(value), label, selected));
    }
};

#define CORE_NUMBER_ITEM(Name, Type, Tag)                         \
    class Name : public NumberPropertyItem<Type> {                \
      public:                                                     \
        using NumberPropertyItem<Type>::NumberPropertyItem;       \
        const char* getValueType() const override { return Tag; } \
        static Object* createObject() { return new Name(); }      \
    }

CORE_NUMBER_ITEM(BoolPropertyItem, bool, "BOOL");
CORE_NUMBER_ITEM(BytePropertyItem, std::uint8_t, "BYTE");
CORE_NUMBER_ITEM(UShortPropertyItem, std::uint16_t, "USHORT");
CORE_NUMBER_ITEM(LongPropertyItem, std::int32_t, "LONG");
CORE_NUMBER_ITEM(ULongPropertyItem, std::uint32_t, "ULONG");
#undef CORE_NUMBER_ITEM

// Items holding text.
class StringPropertyItem : public PropertyItem {
  public:
    using PropertyItem::PropertyItem;
    void addString(const std::string& text, const std::string& label = {}, bool selected = false) {
        addValue(PropertyValue(text, label, selected));
    }
    const char* getValueType() const override { return "STRING"; }
    static Object* createObject() { return new StringPropertyItem(); }
};

class FilePropertyItem : public StringPropertyItem {
  public:
    using StringPropertyItem::StringPropertyItem;
    const char* getValueType() const override { return "FILE"; }
    static Object* createObject() { return new FilePropertyItem(); }
};

class FolderPropertyItem : public StringPropertyItem {
  public:
    using StringPropertyItem::StringPropertyItem;
    const char* getValueType() const override { return "FOLDER"; }
    static Object* createObject() { return new FolderPropertyItem(); }
};

}  // namespace core
