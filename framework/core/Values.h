// Value classes: strings, numbers, GUIDs, HRESULT and Win32 error texts, GUID maps.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <type_traits>

#include "framework/core/RCObject.h"
#include "platform/com/ComBase.h"
#include "platform/win32/guiddef.h"
#include "platform/win32/win32.h"

namespace core {

// A narrow (UTF-8) string. Converts from UTF-16 text, as COM strings come.
class EString : public std::string {
  public:
    using std::string::string;
    EString() = default;
    EString(const std::string& s) : std::string(s) {}
    EString(std::string&& s) : std::string(std::move(s)) {}
    explicit EString(const OLECHAR* utf16);
    // UTF-16 form of the text.
    std::basic_string<OLECHAR> toUtf16() const;
    EString toUpper() const;
};

// Base of the number classes. stringValue (base, width): base 0 or 10 decimal, 16
// hexadecimal; width 0 for no padding.
class ENumber : public RCObject {
  public:
    virtual std::string stringValue(int base = 0, int width = 0) const = 0;
    virtual long long toLongLong() const = 0;
    virtual unsigned long long toULongLong() const = 0;
    virtual double toDouble() const = 0;
    // Parses decimal (or 0x-prefixed hexadecimal) text; false, value unchanged, when the text
    // is empty, not a number, or out of the type's range.
    virtual bool fromString(const std::string& text) = 0;
    virtual void setFromLongLong(long long v) = 0;
};

template <class T>
class ENumberT : public ENumber {
  public:
    using value_type = T;
    ENumberT(T value = T()) : m_value(value) {}
    T getValue() const { return m_value; }
    void setValue(T value) { m_value = value; }
    operator T() const { return m_value; }

    std::string stringValue(int base = 0, int width = 0) const override;
    long long toLongLong() const override { return static_cast<long long>(m_value); }
    unsigned long long toULongLong() const override {
        return static_cast<unsigned long long>(m_value);
    }
    double toDouble() const override { return static_cast<double>(m_value); }
    bool fromString(const std::string& text) override;
    void setFromLongLong(long long v) override { m_value = static_cast<T>(v); }
    Object* copy() const override { return new ENumberT(m_value); }

  private:
    T m_value;
};

using EBool = ENumberT<bool>;
using EByte = ENumberT<std::uint8_t>;
using EShort = ENumberT<std::int16_t>;
using EUShort = ENumberT<std::uint16_t>;
using ELong = ENumberT<std::int32_t>;
using EULong = ENumberT<std::uint32_t>;
using ELongLong = ENumberT<std::int64_t>;
using EULongLong = ENumberT<std::uint64_t>;
using EFloat = ENumberT<float>;
using EDouble = ENumberT<double>;

extern template class ENumberT<bool>;
extern template class ENumberT<std::uint8_t>;
extern template class ENumberT<std::int16_t>;
extern template class ENumberT<std::uint16_t>;
extern template class ENumberT<std::int32_t>;
extern template class ENumberT<std::uint32_t>;
extern template class ENumberT<std::int64_t>;
extern template class ENumberT<std::uint64_t>;
extern template class ENumberT<float>;
extern template class ENumberT<double>;

// A GUID with its text form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
class EGUID {
  public:
    EGUID(const GUID& g = GUID_NULL) : m_guid(g) {}
    const GUID& get() const { return m_guid; }
    operator const GUID&() const { return m_guid; }
    std::string stringValue() const;
    // Parses the text form, braces optional; false on malformed text.
    static bool fromString(const std::string& text, GUID& out);

  private:
    GUID m_guid;
};

// An HRESULT with its text ("0x80004005 E_FAIL").
class HResult {
  public:
    explicit HResult(HRESULT hr) : m_hr(hr) {}
    HRESULT get() const { return m_hr; }
    std::string stringValue() const;

  private:
    HRESULT m_hr;
};

// A Win32 error code (GetLastError) with its text.
class LastError {
  public:
    LastError() : m_code(GetLastError()) {}
    explicit LastError(DWORD code) : m_code(code) {}
    DWORD get() const { return m_code; }
    std::string stringValue() const;

  private:
    DWORD m_code;
};

// A process-wide map from GUIDs to names (class identities to class names).
class GUIDToString {
  public:
    bool addItem(const GUID& guid, const std::string& name);  // false if present
    bool removeItem(const GUID& guid);
    bool find(const GUID& guid, std::string& name) const;
    std::size_t size() const;

  private:
    mutable std::mutex m_mutex;
    std::map<GUID, std::string> m_items;
};

}  // namespace core
