// The result of an operation: a code (1 success, -1 failure; some operations use others),
// two further values and an optional text.
#pragma once

#include <string>

#include "framework/core/RCObject.h"

namespace core {

class Status : public RCObject {
  public:
    explicit Status(long code = 1, long value2 = 0, long value3 = 0)
        : m_code(code), m_value2(value2), m_value3(value3) {}

    long getCode() const { return m_code; }
    void setCode(long code) { m_code = code; }
    long getValue2() const { return m_value2; }
    void setValue2(long v) { m_value2 = v; }
    long getValue3() const { return m_value3; }
    void setValue3(long v) { m_value3 = v; }

    void setAdditionalInfo(long code, const std::string& text) {
        m_code = code;
        m_text = text;
    }
    const std::string& getAdditionalInfo() const { return m_text; }

    // A positive code is success.
    bool succeeded() const { return m_code > 0; }
    explicit operator bool() const { return succeeded(); }

    Object* copy() const override { return new Status(*this); }

  private:
    long m_code;
    long m_value2;
    long m_value3;
    std::string m_text;
};

}  // namespace core
