// One test-code argument: a numbered, homogeneously typed list of elements, with its byte form
// (number, length, element type, element count, elements) and its XML form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "framework/core/XML.h"
#include "protocol/TvpProbeInject.h"

namespace vela {

class TvpTestCodeArgumentsBase;

class TvpTestCodeArgumentBase : public core::XMLObject {
  public:
    // Number (2), Length (4), ElementType (1), element count (2).
    static constexpr unsigned int kHeaderSize = 9;
    // Largest encoded argument: one that still fits a list (with its 2-byte terminator) whose
    // size is a 16-bit number.
    static constexpr unsigned long kMaxSize = 0xFFFF - 2;

    std::uint16_t getNumber() const { return m_Number; }
    TvpProbeDataIdType getElementType() const { return m_ElementType; }
    // The element count as written to the element count field.
    virtual std::uint16_t getNumberOfElements() const;
    // Byte length of the element data.
    virtual unsigned long getLength() const = 0;
    // Encoded size, getLength() + 9, kept to 16 bits.
    std::uint16_t size() const { return static_cast<std::uint16_t>(encodedSize()); }
    // Encoded size without the 16-bit limit.
    unsigned long encodedSize() const { return getLength() + kHeaderSize; }

    // Writes the encoding at p; returns the position after it.
    virtual unsigned char* toBytes(unsigned char* p) const;
    // Reads one argument from p, where remaining bytes of the block are left, and takes what
    // it read off remaining. Returns the position after it, or nullptr (remaining untouched)
    // when the bytes are not a whole, well-formed argument.
    virtual const unsigned char* fromBytes(const unsigned char* p, unsigned short& remaining) = 0;

  protected:
    TvpTestCodeArgumentBase(std::uint16_t number, TvpProbeDataIdType elementType);
    // Copies number and element type; the derived class copies its elements.
    TvpTestCodeArgumentBase(const TvpTestCodeArgumentBase& other);
    ~TvpTestCodeArgumentBase() override;

    // Frees the elements before the object goes.
    void onFinalRelease() override;
    bool attributesToElement(core::XMLElement& element) const override;
    bool attributesFromElement(const core::XMLElement& element) override;

    void setNumber(std::uint16_t number) { m_Number = number; }
    void setElementType(TvpProbeDataIdType elementType) { m_ElementType = elementType; }
    // Appends an element; false for a null pointer.
    bool addElement(void* element);
    void resetElements() { m_cursor = 0; }
    // The element under the cursor, then advances; nullptr at the end.
    void* nextElement();
    // The element under the cursor without advancing; nullptr at the end.
    void* peekElement() const {
        return m_cursor < m_elements.size() ? m_elements[m_cursor] : nullptr;
    }
    void advanceElement() { ++m_cursor; }
    std::size_t elementCount() const { return m_elements.size(); }
    const std::vector<void*>& elements() const { return m_elements; }
    // Frees every element and clears the vector.
    virtual void removeAllElements() = 0;
    void clearElementPointers();

    // Reads the 9-byte header: fails below 9 bytes, when fewer than Length bytes follow the
    // length field, or when the element data would run past the block. On success p points
    // at the element data and remaining counts from there.
    static bool headerFromBytes(const unsigned char*& p, unsigned int& remaining,
                                std::uint16_t& number, std::uint32_t& length,
                                unsigned char& elementType, std::uint16_t& count);

  private:
    friend class TvpTestCodeArgumentsBase;

    std::vector<void*> m_elements;
    std::uint16_t m_Number;
    TvpProbeDataIdType m_ElementType;
    std::size_t m_cursor = 0;
};

// An argument of the element types 0 (unsigned short), 2 (unsigned long, 32 bits),
// 4 (unsigned char), 6 (zero-terminated string) and 7 (float). Each element is held as its own
// allocation of its wire bytes.
class TvpTestCodeArgument : public TvpTestCodeArgumentBase {
  public:
    // Number 0, element type 4, no element.
    TvpTestCodeArgument();
    // An argument holding the single value.
    explicit TvpTestCodeArgument(unsigned char value);
    explicit TvpTestCodeArgument(std::uint16_t value);
    explicit TvpTestCodeArgument(std::uint32_t value);
    explicit TvpTestCodeArgument(const char* value);
    explicit TvpTestCodeArgument(const std::string& value);
    explicit TvpTestCodeArgument(float value);
    TvpTestCodeArgument(const TvpTestCodeArgument& other);
    TvpTestCodeArgument& operator=(const TvpTestCodeArgument&) = delete;
    ~TvpTestCodeArgument() override;

    core::Object* copy() const override { return new TvpTestCodeArgument(*this); }
    static core::Object* createObject();

    // The first value sets the element type; later ones are appended only when they are of
    // that type. False, nothing added, for a value of another type, a null string, or when the
    // argument would grow past kMaxSize.
    bool addElement(unsigned char value);
    bool addElement(std::uint16_t value);
    bool addElement(std::uint32_t value);
    bool addElement(const char* value);
    bool addElement(const std::string& value);
    bool addElement(float value);

    void resetElements() { TvpTestCodeArgumentBase::resetElements(); }
    // The element under the cursor, then advances. False, value untouched, for another element
    // type or past the end.
    bool nextElement(unsigned char& value);
    bool nextElement(std::uint16_t& value);
    bool nextElement(std::uint32_t& value);
    bool nextElement(std::string& value);
    bool nextElement(float& value);

    unsigned long getLength() const override;
    unsigned char* toBytes(unsigned char* p) const override;
    const unsigned char* fromBytes(const unsigned char* p, unsigned short& remaining) override;

    // Width of one element of a fixed-width type, 0 for strings and types without values.
    static unsigned int elementWidth(TvpProbeDataIdType type);

  protected:
    bool attributesToElement(core::XMLElement& element) const override;
    bool attributesFromElement(const core::XMLElement& element) override;

  private:
    void removeAllElements() override;
    bool addWire(TvpProbeDataIdType type, const unsigned char* wire, std::size_t n);
    const unsigned char* nextWire(TvpProbeDataIdType type);
    bool elementFromText(const std::string& text);
    std::string elementToText(const unsigned char* wire) const;
};

}  // namespace vela
