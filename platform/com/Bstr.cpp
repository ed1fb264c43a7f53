#include "platform/com/Bstr.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "platform/com/ComError.h"
#include "platform/com/Variant.h"

namespace platform::com {

OleString utf8ToUtf16(std::string_view utf8) {
    OleString out;
    out.reserve(utf8.size());
    const auto* s = reinterpret_cast<const unsigned char*>(utf8.data());
    const std::size_t n = utf8.size();
    std::size_t i = 0;
    while (i < n) {
        std::uint32_t c = s[i];
        std::size_t len = c < 0x80             ? 1
                          : (c & 0xE0) == 0xC0 ? 2
                          : (c & 0xF0) == 0xE0 ? 3
                          : (c & 0xF8) == 0xF0 ? 4
                                               : 0;
        bool ok = len != 0;
        if (ok && len > 1) {
            c &= 0xFFu >> (len + 1);
            for (std::size_t k = 1; k < len; ++k) {
                if (i + k >= n || (s[i + k] & 0xC0) != 0x80) {
                    ok = false;
                    len = k;  // resynchronise on the byte that broke the sequence
                    break;
                }
                c = (c << 6) | (s[i + k] & 0x3F);
            }
            static constexpr std::uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
            if (ok && (c < kMin[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)))
                ok = false;
        }
        if (!ok) {
            out.push_back(u'\uFFFD');
            i += len ? len : 1;
            continue;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<OLECHAR>(0xD800 + (c >> 10)));
            out.push_back(static_cast<OLECHAR>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<OLECHAR>(c));
        }
        i += len;
    }
    return out;
}

std::string utf16ToUtf8(OleStringView utf16) {
    std::string out;
    out.reserve(utf16.size());
    for (std::size_t i = 0; i < utf16.size(); ++i) {
        std::uint32_t c = utf16[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
            utf16[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) +
                (static_cast<std::uint32_t>(utf16[i + 1]) - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;  // a lone surrogate
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

BSTR allocBstr(std::string_view utf8) {
    OleString wide = utf8ToUtf16(utf8);
    BSTR s = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    if (!s)
        _com_issue_error(E_OUTOFMEMORY);
    return s;
}

}  // namespace platform::com

// ---- _bstr_t ----------------------------------------------------------------------------

_bstr_t::Data* _bstr_t::makeData(BSTR owned) {
    auto* d = new (std::nothrow) Data;
    if (!d) {
        SysFreeString(owned);
        _com_issue_error(E_OUTOFMEMORY);
    }
    d->str = owned;
    return d;
}

void _bstr_t::release() noexcept {
    if (m_data && m_data->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        SysFreeString(m_data->str);
        delete m_data;
    }
    m_data = nullptr;
}

_bstr_t::_bstr_t(const _bstr_t& other) noexcept : m_data(other.m_data) {
    if (m_data)
        m_data->refs.fetch_add(1, std::memory_order_relaxed);
}

_bstr_t::_bstr_t(const char* utf8) {
    if (utf8)
        m_data = makeData(platform::com::allocBstr(utf8));
}

_bstr_t::_bstr_t(const std::string& utf8) : m_data(makeData(platform::com::allocBstr(utf8))) {}

_bstr_t::_bstr_t(const OLECHAR* text) {
    if (!text)
        return;
    BSTR s = SysAllocString(text);
    if (!s)
        _com_issue_error(E_OUTOFMEMORY);
    m_data = makeData(s);
}

_bstr_t::_bstr_t(BSTR bstr, bool fCopy) {
    if (!fCopy) {
        m_data = makeData(bstr);
        return;
    }
    if (!bstr)
        return;
    BSTR s = SysAllocStringLen(bstr, SysStringLen(bstr));
    if (!s)
        _com_issue_error(E_OUTOFMEMORY);
    m_data = makeData(s);
}

_bstr_t::_bstr_t(const VARIANT& var) {
    if (var.vt == VT_BSTR) {
        *this = _bstr_t(var.bstrVal, true);
        return;
    }
    VARIANT converted;
    VariantInit(&converted);
    HRESULT hr = VariantChangeType(&converted, &var, 0, VT_BSTR);
    if (FAILED(hr))
        _com_issue_error(hr);
    m_data = makeData(converted.bstrVal);  // takes the converted string
}

_bstr_t& _bstr_t::operator=(const _bstr_t& other) noexcept {
    if (m_data != other.m_data) {
        if (other.m_data)
            other.m_data->refs.fetch_add(1, std::memory_order_relaxed);
        release();
        m_data = other.m_data;
    }
    return *this;
}

_bstr_t& _bstr_t::operator=(_bstr_t&& other) noexcept {
    if (this != &other) {
        release();
        m_data = other.m_data;
        other.m_data = nullptr;
    }
    return *this;
}

_bstr_t& _bstr_t::operator=(const char* utf8) {
    return *this = _bstr_t(utf8);
}

_bstr_t& _bstr_t::operator=(const OLECHAR* text) {
    return *this = _bstr_t(text);
}

_bstr_t& _bstr_t::operator+=(const _bstr_t& other) {
    return *this = *this + other;
}

_bstr_t _bstr_t::operator+(const _bstr_t& other) const {
    UINT a = length(), b = other.length();
    BSTR s = SysAllocStringLen(nullptr, a + b);
    if (!s)
        _com_issue_error(E_OUTOFMEMORY);
    if (a)
        std::memcpy(s, m_data->str, a * sizeof(OLECHAR));
    if (b)
        std::memcpy(s + a, other.m_data->str, b * sizeof(OLECHAR));
    return _bstr_t(s, false);
}

BSTR _bstr_t::copy(bool fCopy) const {
    if (!m_data || !m_data->str)
        return nullptr;
    if (!fCopy)
        return m_data->str;
    BSTR s = SysAllocStringLen(m_data->str, SysStringLen(m_data->str));
    if (!s)
        _com_issue_error(E_OUTOFMEMORY);
    return s;
}

BSTR& _bstr_t::GetBSTR() {
    if (!m_data)
        m_data = makeData(nullptr);
    return m_data->str;
}

BSTR* _bstr_t::GetAddress() {
    release();
    m_data = makeData(nullptr);
    return &m_data->str;
}

void _bstr_t::Assign(BSTR s) {
    *this = _bstr_t(s, true);
}

void _bstr_t::Attach(BSTR s) {
    release();
    m_data = makeData(s);
}

BSTR _bstr_t::Detach() {
    if (!m_data)
        return nullptr;
    BSTR s;
    if (m_data->refs.load(std::memory_order_acquire) == 1) {
        s = m_data->str;
        m_data->str = nullptr;
    } else {
        s = copy(true);
    }
    release();
    return s;
}

int _bstr_t::compare(const _bstr_t& other) const noexcept {
    int c = view().compare(other.view());
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}
