// A test-code argument list: the arguments one after the other, closed by FF FF, with the
// callback id and test code number of the execute-test-code command that carries it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "framework/core/XML.h"
#include "protocol/TvpTestCodeArgument.h"

namespace vela {

class TvpTestCodeArgumentsBase : public core::XMLObject {
  public:
    static constexpr std::uint16_t kTerminator = 0xFFFF;
    static constexpr unsigned long kMaxSize = 0xFFFF;

    unsigned char getCallbackId() const { return m_CallbackId; }
    void setCallbackId(unsigned char callbackId) { m_CallbackId = callbackId; }
    std::uint16_t getTestCodeNumber() const { return m_TestCodeNumber; }
    void setTestCodeNumber(std::uint16_t testCodeNumber) { m_TestCodeNumber = testCodeNumber; }
    std::size_t getArgumentCount() const { return m_arguments.size(); }

    // Encoded size: 2 + the arguments' sizes, kept to 16 bits.
    std::uint16_t size() const { return static_cast<std::uint16_t>(encodedSize()); }
    // Encoded size without the 16-bit limit (an argument may have grown after it was added).
    unsigned long encodedSize() const;
    // Writes the encoding (size() bytes) at p. False, nothing written, when it does not fit a
    // 16-bit size.
    bool toBytes(unsigned char* p) const;

    bool toXMLElement(core::XMLElement& element) const override;
    bool fromXMLElement(const core::XMLElement& element) override;

  protected:
    TvpTestCodeArgumentsBase(unsigned char callbackId, std::uint16_t testCodeNumber);
    // Deep copy: every argument is copied.
    TvpTestCodeArgumentsBase(const TvpTestCodeArgumentsBase& other);
    TvpTestCodeArgumentsBase& operator=(const TvpTestCodeArgumentsBase&) = delete;
    ~TvpTestCodeArgumentsBase() override;

    void onFinalRelease() override;
    bool attributesToElement(core::XMLElement& element) const override;
    bool attributesFromElement(const core::XMLElement& element) override;
    // An empty argument of the list's kind.
    virtual core::RCPtr<TvpTestCodeArgumentBase> createArgument() const = 0;

    // Decodes a block: arguments until the block ends or exactly FF FF is left. Arguments read
    // before a failure stay in the list.
    bool fromBytes(const unsigned char* block, unsigned short length);
    // Numbers the argument by its position and appends it, taking a reference. False for a
    // null argument or when the list would no longer fit a 16-bit size; a refused new
    // argument (no reference held elsewhere) is freed.
    bool addArgument(TvpTestCodeArgumentBase* argument);
    void removeAllArguments() { m_arguments.clear(); }
    const std::vector<core::RCPtr<TvpTestCodeArgumentBase>>& arguments() const {
        return m_arguments;
    }

  private:
    std::vector<core::RCPtr<TvpTestCodeArgumentBase>> m_arguments;
    unsigned char m_CallbackId;
    std::uint16_t m_TestCodeNumber;
};

// A list of TvpTestCodeArgument.
class TvpTestCodeArguments : public TvpTestCodeArgumentsBase {
  public:
    explicit TvpTestCodeArguments(unsigned char callbackId = 0, std::uint16_t testCodeNumber = 0);
    TvpTestCodeArguments(const TvpTestCodeArguments& other);
    ~TvpTestCodeArguments() override;

    core::Object* copy() const override { return new TvpTestCodeArguments(*this); }
    // An empty list, callback id 0, test code number 0.
    static core::Object* createObject();
    // A list (callback id 0, test code number 0) decoded from a block; empty when the block
    // does not decode.
    static core::RCPtr<TvpTestCodeArguments> createObject(const unsigned char* block,
                                                          unsigned short length);

    bool addArgument(TvpTestCodeArgument* argument) {
        return TvpTestCodeArgumentsBase::addArgument(argument);
    }
    // The first argument whose number equals the given one, or empty.
    core::RCPtr<TvpTestCodeArgument> getArgument(unsigned short const& number) const;
    // The first argument (empty if none); the cursor goes after it.
    core::RCPtr<TvpTestCodeArgument> getFirst();
    // The argument under the cursor, then advances; empty at the end.
    core::RCPtr<TvpTestCodeArgument> getNext();

  protected:
    core::RCPtr<TvpTestCodeArgumentBase> createArgument() const override;

  private:
    std::size_t m_cursor = 0;
};

}  // namespace vela
