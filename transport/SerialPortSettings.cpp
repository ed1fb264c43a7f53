#include "transport/SerialPortSettings.h"

SerialPortSettings::SerialPortSettings() : m_portName("\\\\.\\COM1") {}

SerialPortSettings::~SerialPortSettings() = default;

void SerialPortSettings::setPortName(const std::string& name) {
    if (name.find_first_of("\\.") == std::string::npos) {
        m_portName = "\\\\.\\" + name;
    } else {
        m_portName = name;
    }
}
