// The name of a serial port and the settings applied to it when it is opened. Fields hold
// "not set" values after construction; SerialPort substitutes the defaults shown below.
#pragma once

#include <cstdint>
#include <string>

#include "framework/core/Values.h"

class SerialPortSettings {
  public:
    SerialPortSettings();
    virtual ~SerialPortSettings();

    // The file name for CreateFileA. A name without backslash and dot gets the device prefix
    // "\\.\" put before it (COM12 becomes \\.\COM12).
    void setPortName(const std::string& name);
    const core::EString& getPortName() const { return m_portName; }

    std::uint32_t getBaudRate() const { return m_baudRate; }  // 0: 9600
    void setBaudRate(std::uint32_t rate) { m_baudRate = rate; }
    std::uint8_t getEventChar() const { return m_eventChar; }  // 0xFF: 0x0A (line feed)
    void setEventChar(std::uint8_t c) { m_eventChar = c; }
    std::uint32_t getEventMask() const { return m_eventMask; }  // 0: 0x5FA
    void setEventMask(std::uint32_t mask) { m_eventMask = mask; }
    std::uint8_t getByteSize() const { return m_byteSize; }  // 0: 8
    void setByteSize(std::uint8_t size) { m_byteSize = size; }
    std::uint8_t getParity() const { return m_parity; }  // 0xFF: 0 (none)
    void setParity(std::uint8_t parity) { m_parity = parity; }
    std::uint8_t getStopBits() const { return m_stopBits; }  // 0xFF: 0 (one stop bit)
    void setStopBits(std::uint8_t stopBits) { m_stopBits = stopBits; }
    std::uint32_t getInputSize() const { return m_inputSize; }  // 0xFFFFFFFF: 1024
    void setInputSize(std::uint32_t size) { m_inputSize = size; }
    std::uint32_t getOutputSize() const { return m_outputSize; }  // 0xFFFFFFFF: 1024
    void setOutputSize(std::uint32_t size) { m_outputSize = size; }

    // The values in use, with the defaults put in for fields that are not set.
    std::uint32_t baudRateInUse() const { return m_baudRate == 0 ? 9600 : m_baudRate; }
    std::uint8_t eventCharInUse() const { return m_eventChar == 0xFF ? 0x0A : m_eventChar; }
    std::uint32_t eventMaskInUse() const { return m_eventMask == 0 ? 0x5FA : m_eventMask; }
    std::uint8_t byteSizeInUse() const { return m_byteSize == 0 ? 8 : m_byteSize; }
    std::uint8_t parityInUse() const { return m_parity == 0xFF ? 0 : m_parity; }
    std::uint8_t stopBitsInUse() const { return m_stopBits == 0xFF ? 0 : m_stopBits; }
    std::uint32_t inputSizeInUse() const { return m_inputSize == 0xFFFFFFFF ? 1024 : m_inputSize; }
    std::uint32_t outputSizeInUse() const {
        return m_outputSize == 0xFFFFFFFF ? 1024 : m_outputSize;
    }

  private:
    core::EString m_portName;
    std::uint32_t m_baudRate = 0;
    std::uint8_t m_eventChar = 0xFF;
    std::uint32_t m_eventMask = 0;
    std::uint8_t m_byteSize = 0;
    std::uint8_t m_parity = 0xFF;
    std::uint8_t m_stopBits = 0xFF;
    std::uint32_t m_inputSize = 0xFFFFFFFF;
    std::uint32_t m_outputSize = 0xFFFFFFFF;
};
