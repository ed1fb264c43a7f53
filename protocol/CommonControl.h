// Common Control messages: execute-test-code commands with callback id 0xAA whose test code
// number is a small header (operation type, function id, block id) and whose argument block
// holds one argument of information elements (IEs).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "framework/core/XML.h"
#include "protocol/TvpTestCodeArgument.h"
#include "protocol/TvpTestCodeArguments.h"

namespace vela {

// An information element: identifier (1), value length (1), value bytes.
class CommonControlIE : public core::XMLObject {
  public:
    // Largest number of unsigned shorts whose bytes fit the 1-byte length.
    static constexpr unsigned int kMaxUShorts = 127;

    // An element with identifier 0 and no value.
    CommonControlIE();
    CommonControlIE(unsigned char iei, unsigned char value);
    // count bytes copied from bytes (zeros when bytes is null).
    CommonControlIE(unsigned char iei, const unsigned char* bytes, unsigned char count);
    CommonControlIE(unsigned char iei, std::uint16_t value);
    CommonControlIE(const CommonControlIE& other) = default;
    CommonControlIE& operator=(const CommonControlIE&) = delete;
    ~CommonControlIE() override;

    // An element holding count unsigned shorts in little-endian order. Empty (no element is
    // made) for more than 127 values, whose length would not fit the length byte, or for a
    // null pointer with a non-zero count.
    static core::RCPtr<CommonControlIE> fromUShorts(unsigned char iei, const std::uint16_t* values,
                                                    unsigned char count);

    core::Object* copy() const override { return new CommonControlIE(*this); }
    static core::Object* createObject();

    unsigned char getIEI() const { return m_IEI; }
    // Encoded size: value length + 2.
    std::uint16_t size() const { return static_cast<std::uint16_t>(m_Length + 2); }
    const std::vector<unsigned char>& getValue() const { return m_value; }

    // Cursor to the first value byte.
    void reset() { m_cursor = 0; }
    // The next byte; false, value untouched, at the end.
    bool next(unsigned char& value);
    // The next two bytes as a little-endian unsigned short; false, value untouched, when fewer
    // than two bytes are left.
    bool next(std::uint16_t& value);

    // Writes IEI, length and value at p; returns the position after them.
    unsigned char* toBytes(unsigned char* p) const;
    // Reads one element from p where remaining bytes are left, takes its size off remaining
    // and returns the position after it; nullptr (nothing changed) when the element's length
    // runs past remaining.
    const unsigned char* fromBytes(const unsigned char* p, unsigned short& remaining);

  protected:
    bool attributesToElement(core::XMLElement& element) const override;
    bool attributesFromElement(const core::XMLElement& element) override;

  private:
    void setIEI(unsigned char iei) { m_IEI = iei; }
    unsigned char getLength() const { return m_Length; }
    void setLength(unsigned char length) { m_Length = length; }

    unsigned char m_IEI = 0;
    unsigned char m_Length = 0;
    std::vector<unsigned char> m_value;
    std::size_t m_cursor = 0;
};

// The one argument of a Common Control message: element type 4, number 0, its elements the
// IEs. Its Length and its element count field both hold the IE byte count.
class CommonControlArg : public TvpTestCodeArgumentBase {
  public:
    CommonControlArg();
    CommonControlArg(const CommonControlArg& other);
    CommonControlArg& operator=(const CommonControlArg&) = delete;
    ~CommonControlArg() override;

    core::Object* copy() const override { return new CommonControlArg(*this); }

    // Total byte size of the IEs.
    unsigned long getLength() const override;
    // The IE byte count (not the number of IEs), as the count field carries it.
    std::uint16_t getNumberOfElements() const override;
    unsigned char* toBytes(unsigned char* p) const override;
    const unsigned char* fromBytes(const unsigned char* p, unsigned short& remaining) override;

    // Appends an IE, taking a reference. False for a null IE or when the message would no
    // longer fit its 16-bit sizes; a refused new IE (no reference held elsewhere) is freed.
    bool addIE(CommonControlIE* ie);
    std::size_t getIECount() const { return elementCount(); }
    // The IE at a position, or empty.
    core::RCPtr<CommonControlIE> getIE(std::size_t index) const;
    void resetIEs() { resetElements(); }
    core::RCPtr<CommonControlIE> nextIE();

  private:
    void removeAllElements() override;
};

class CommonControl : public TvpTestCodeArgumentsBase {
  public:
    enum OperationType : unsigned char {
        SET = 0,
        GET = 1,
    };
    enum CCBlockId : unsigned char {
        INTERNAL_BLOCK = 0,
        WAS_BLOCK = 1,
        GAS_BLOCK = 2,
        CAS_BLOCK = 3,
    };
    enum InternalFunctionId : unsigned char {
        INTERNAL_FUNCTION_NONE = 0,
    };
    enum WASFunctionId : unsigned char {
        WAS_FUNCTION_NONE = 0,
    };
    enum GASFunctionId : unsigned char {
        GAS_FUNCTION_NONE = 0,
    };
    enum CASFunctionId : unsigned char {
        CAS_FUNCTION_NONE = 0,
        CAS_SYSTEM_CAPABILITY_CONTROL = 1,
    };

    // Callback id 0xAA, test code number 0, no argument.
    CommonControl();
    CommonControl(const CommonControl& other);
    ~CommonControl() override;

    core::Object* copy() const override { return new CommonControl(*this); }
    static core::Object* createObject();
    // A message decoded from an argument block (callback id 0xAA, test code number 0: the
    // caller sets them from the frame); empty when the block does not decode.
    static core::RCPtr<CommonControl> createObject(const unsigned char* block,
                                                   unsigned short length);
    // The callback id that marks a Common Control message.
    static unsigned char identity() { return 0xAA; }

    // Header bit fields of the test code number: bit 0 operation type, bits 1-6 function id,
    // bits 7-12 block id; bits 13-15 are kept.
    OperationType getOperationType() const;
    void setOperationType(OperationType type);
    CCBlockId getBlockId() const;
    unsigned char getFunctionId() const;
    InternalFunctionId getInternalFunctionId() const {
        return static_cast<InternalFunctionId>(getFunctionId());
    }
    WASFunctionId getWASFunctionId() const { return static_cast<WASFunctionId>(getFunctionId()); }
    GASFunctionId getGASFunctionId() const { return static_cast<GASFunctionId>(getFunctionId()); }
    CASFunctionId getCASFunctionId() const { return static_cast<CASFunctionId>(getFunctionId()); }
    // Each writes the function id and then the block id of its enum.
    void setFunctionId(InternalFunctionId id);
    void setFunctionId(WASFunctionId id);
    void setFunctionId(GASFunctionId id);
    void setFunctionId(CASFunctionId id);

    // Appends an IE to the message's argument, making the argument first if there is none.
    // A refused new IE (no reference held elsewhere) is freed.
    bool addIE(CommonControlIE* ie);
    // Cursor to the first IE (nothing without an argument).
    void resetIEs();
    // The IE under the cursor, then advances; empty at the end or without an argument.
    core::RCPtr<CommonControlIE> nextIE();

    bool toXMLElement(core::XMLElement& element) const override;
    bool fromXMLElement(const core::XMLElement& element) override;

  protected:
    core::RCPtr<TvpTestCodeArgumentBase> createArgument() const override;

  private:
    void setBlockId(CCBlockId id);
    void setHeaderBits(unsigned int shift, unsigned int width, unsigned int value);
    CommonControlArg* firstArgument() const;
};

// Decodes an execute-test-code argument block: a CommonControl message for callback id 0xAA,
// test-code arguments otherwise, then sets the callback id and test code number. Empty when the
// block does not decode or is longer than a 16-bit size.
core::RCPtr<core::RCObject> decodeTestCodeArguments(unsigned char callbackId,
                                                    std::uint16_t testCodeNumber,
                                                    const unsigned char* block,
                                                    unsigned int length);

}  // namespace vela
