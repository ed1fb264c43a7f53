// "BufSizeReq": sets the sizes of a serial port's input and output queues.
#pragma once

#include <cstdint>

#include "framework/core/Request.h"

class BufSizeReq : public core::Request {
  public:
    explicit BufSizeReq(std::uint32_t inputSize = 1024, std::uint32_t outputSize = 1024);
    BufSizeReq(const BufSizeReq& other) = default;
    BufSizeReq& operator=(const BufSizeReq& other) = default;

    Object* copy() const override { return clone(); }

  protected:
    // XML attributes "INPUT_SIZE" and "OUTPUT_SIZE" besides those of every request.
    bool attributesToElement(core::XMLElement& element) const override;
    bool attributesFromElement(const core::XMLElement& element) override;

  public:
    // A new request with the same fields.
    virtual BufSizeReq* clone() const;

    std::uint32_t getInputSize() const { return m_inputSize; }
    void setInputSize(std::uint32_t size) { m_inputSize = size; }
    std::uint32_t getOutputSize() const { return m_outputSize; }
    void setOutputSize(std::uint32_t size) { m_outputSize = size; }

  private:
    std::uint32_t m_inputSize;
    std::uint32_t m_outputSize;
};
