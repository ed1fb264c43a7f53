// "DataFormatReq": sets a serial port's byte size, parity and stop bits (DCB values).
#pragma once

#include <cstdint>

#include "framework/core/Request.h"

class DataFormatReq : public core::Request {
  public:
    explicit DataFormatReq(std::uint8_t byteSize = 8, std::uint8_t parity = 0,
                           std::uint8_t stopBits = 0);
    DataFormatReq(const DataFormatReq& other) = default;
    DataFormatReq& operator=(const DataFormatReq& other) = default;

    Object* copy() const override { return clone(); }

  protected:
    // XML attributes "BYTE_SIZE", "PARITY" and "STOP_BITS" besides those of every request.
    bool attributesToElement(core::XMLElement& element) const override;
    bool attributesFromElement(const core::XMLElement& element) override;

  public:
    // A new request with the same fields.
    virtual DataFormatReq* clone() const;

    std::uint8_t getByteSize() const { return m_byteSize; }
    void setByteSize(std::uint8_t size) { m_byteSize = size; }
    std::uint8_t getParity() const { return m_parity; }
    void setParity(std::uint8_t parity) { m_parity = parity; }
    std::uint8_t getStopBits() const { return m_stopBits; }
    void setStopBits(std::uint8_t stopBits) { m_stopBits = stopBits; }

  private:
    std::uint8_t m_byteSize;
    std::uint8_t m_parity;
    std::uint8_t m_stopBits;
};
