// BSTR, the Automation string, and _bstr_t, its counted wrapper.
//
// A BSTR points at the first OLECHAR (UTF-16) of a block that starts 4 bytes earlier with the
// string's length in bytes (without the terminator) and that ends with a null OLECHAR. The
// string may hold embedded nulls; its length comes from the prefix. A null BSTR is the empty
// string. BSTRs are made and freed only with the Sys* functions below (oleaut32's on Windows).
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "platform/com/ComBase.h"

#if !defined(_WIN32)
BSTR SysAllocString(const OLECHAR* psz);
// A string of ui characters copied from strIn, or ui null characters when strIn is null.
BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui);
// A string of len bytes copied from psz (zeroed when psz is null), plus a null OLECHAR.
BSTR SysAllocStringByteLen(const char* psz, UINT len);
// Replace *pbstr by a new copy of psz; TRUE on success (then the old string is freed).
INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz);
INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len);
void SysFreeString(BSTR bstr);
UINT SysStringLen(BSTR bstr);
UINT SysStringByteLen(BSTR bstr);
#endif

namespace platform::com {
// Strings of OLECHAR: UTF-16 code units (char16_t here, wchar_t on Windows).
using OleString = std::basic_string<OLECHAR>;
using OleStringView = std::basic_string_view<OLECHAR>;
// UTF-8 <-> UTF-16. Malformed input (bad or overlong sequences, lone surrogates) becomes
// U+FFFD; nothing is dropped silently.
OleString utf8ToUtf16(std::string_view utf8);
std::string utf16ToUtf8(OleStringView utf16);
// A new BSTR with the UTF-16 form of UTF-8 text (raises _com_error E_OUTOFMEMORY on failure).
BSTR allocBstr(std::string_view utf8);
}  // namespace platform::com

// A counted BSTR. Copies share one string; the string is freed with the last copy. Converts
// from UTF-8 text and from OLECHAR strings; gives the OLECHAR string (operator const
// OLECHAR*), so `core::EString(bstr)` makes UTF-8 text of it. Raises _com_error when a string
// cannot be allocated or a VARIANT cannot be converted.
class _bstr_t {
  public:
    _bstr_t() noexcept = default;
    _bstr_t(const _bstr_t& other) noexcept;
    _bstr_t(_bstr_t&& other) noexcept : m_data(other.m_data) { other.m_data = nullptr; }
    _bstr_t(const char* utf8);
    _bstr_t(const std::string& utf8);
    _bstr_t(const OLECHAR* text);
    // fCopy false takes ownership of bstr (it is freed with the last copy).
    _bstr_t(BSTR bstr, bool fCopy);
    // The VARIANT converted to VT_BSTR.
    explicit _bstr_t(const VARIANT& var);
    ~_bstr_t() { release(); }

    _bstr_t& operator=(const _bstr_t& other) noexcept;
    _bstr_t& operator=(_bstr_t&& other) noexcept;
    _bstr_t& operator=(const char* utf8);
    _bstr_t& operator=(const OLECHAR* text);
    _bstr_t& operator+=(const _bstr_t& other);
    _bstr_t operator+(const _bstr_t& other) const;

    operator const OLECHAR*() const noexcept { return m_data ? m_data->str : nullptr; }
    operator OLECHAR*() const noexcept { return m_data ? m_data->str : nullptr; }
    bool operator!() const noexcept { return !m_data || !m_data->str; }

    unsigned int length() const noexcept { return m_data ? SysStringLen(m_data->str) : 0; }
    platform::com::OleStringView view() const noexcept {
        return {m_data ? m_data->str : OLESTR(""), length()};
    }
    // UTF-8 text of the string.
    std::string utf8() const { return platform::com::utf16ToUtf8(view()); }

    // fCopy true: a new BSTR that the caller frees; false: the shared string itself.
    BSTR copy(bool fCopy = true) const;
    // The shared string, made (empty, null) if there is none.
    BSTR& GetBSTR();
    // Drops the current string and gives the address of a new null one, for out parameters.
    BSTR* GetAddress();
    // Takes a copy of s.
    void Assign(BSTR s);
    // Takes ownership of s.
    void Attach(BSTR s);
    // Gives up the string: the caller owns the BSTR returned (a copy when it was shared).
    BSTR Detach();

    // Compares the UTF-16 code units; a null string equals the empty string.
    int compare(const _bstr_t& other) const noexcept;
    bool operator==(const _bstr_t& o) const noexcept { return compare(o) == 0; }
    bool operator!=(const _bstr_t& o) const noexcept { return compare(o) != 0; }
    bool operator<(const _bstr_t& o) const noexcept { return compare(o) < 0; }
    bool operator>(const _bstr_t& o) const noexcept { return compare(o) > 0; }
    bool operator<=(const _bstr_t& o) const noexcept { return compare(o) <= 0; }
    bool operator>=(const _bstr_t& o) const noexcept { return compare(o) >= 0; }
    bool operator==(const char* utf8) const { return compare(_bstr_t(utf8)) == 0; }
    bool operator!=(const char* utf8) const { return compare(_bstr_t(utf8)) != 0; }

  private:
    struct Data {
        std::atomic<long> refs{1};
        BSTR str = nullptr;
    };
    static Data* makeData(BSTR owned);
    void release() noexcept;

    Data* m_data = nullptr;
};
