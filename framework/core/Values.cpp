#include "framework/core/Values.h"

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace core {

EString::EString(const OLECHAR* utf16) {
    if (!utf16)
        return;
    for (const OLECHAR* p = utf16; *p; ++p) {
        std::uint32_t c = *p;
        if (c >= 0xD800 && c <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<std::uint32_t>(p[1]) - 0xDC00);
            ++p;
        }
        if (c < 0x80) {
            push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            push_back(static_cast<char>(0xC0 | (c >> 6)));
            push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            push_back(static_cast<char>(0xE0 | (c >> 12)));
            push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            push_back(static_cast<char>(0xF0 | (c >> 18)));
            push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
}

std::basic_string<OLECHAR> EString::toUtf16() const {
    std::basic_string<OLECHAR> out;
    const auto* s = reinterpret_cast<const unsigned char*>(data());
    std::size_t n = size();
    for (std::size_t i = 0; i < n;) {
        std::uint32_t c = s[i];
        std::size_t len = c < 0x80           ? 1
                          : (c >> 5) == 0x6  ? 2
                          : (c >> 4) == 0xE  ? 3
                          : (c >> 3) == 0x1E ? 4
                                             : 1;
        if (i + len > n)
            len = 1;
        if (len == 2)
            c = ((c & 0x1F) << 6) | (s[i + 1] & 0x3F);
        if (len == 3)
            c = ((c & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F);
        if (len == 4)
            c = ((c & 0x07) << 18) | ((s[i + 1] & 0x3F) << 12) | ((s[i + 2] & 0x3F) << 6) |
                (s[i + 3] & 0x3F);
        if (len == 1 && c >= 0x80)
            c = 0xFFFD;  // a stray byte that is not UTF-8
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

EString EString::toUpper() const {
    EString up(*this);
    for (auto& ch : up)
        ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return up;
}

template <class T>
std::string ENumberT<T>::stringValue(int base, int width) const {
    char buf[64];
    if constexpr (std::is_floating_point_v<T>) {
        std::snprintf(buf, sizeof buf, "%.*g", std::numeric_limits<T>::max_digits10,
                      static_cast<double>(m_value));
    } else if constexpr (std::is_same_v<T, bool>) {
        std::snprintf(buf, sizeof buf, "%d", m_value ? 1 : 0);
    } else if (base == 16) {
        std::snprintf(
            buf, sizeof buf, "%0*llX", width,
            static_cast<unsigned long long>(static_cast<std::make_unsigned_t<T>>(m_value)));
    } else if constexpr (std::is_signed_v<T>) {
        std::snprintf(buf, sizeof buf, "%0*lld", width, static_cast<long long>(m_value));
    } else {
        std::snprintf(buf, sizeof buf, "%0*llu", width, static_cast<unsigned long long>(m_value));
    }
    return buf;
}

template <class T>
bool ENumberT<T>::fromString(const std::string& text) {
    std::size_t start = 0;
    while (start < text.size() && std::isspace(static_cast<unsigned char>(text[start])))
        ++start;
    std::string t = text.substr(start);
    while (!t.empty() && std::isspace(static_cast<unsigned char>(t.back())))
        t.pop_back();
    if (t.empty())
        return false;
    const char* begin = t.c_str();
    char* end = nullptr;
    errno = 0;
    if constexpr (std::is_floating_point_v<T>) {
        double v = std::strtod(begin, &end);
        if (*end != '\0' || errno == ERANGE)
            return false;
        m_value = static_cast<T>(v);
        return true;
    } else if constexpr (std::is_signed_v<T>) {
        long long v = std::strtoll(begin, &end, 0);
        if (*end != '\0' || errno == ERANGE || v < std::numeric_limits<T>::min() ||
            v > std::numeric_limits<T>::max())
            return false;
        m_value = static_cast<T>(v);
        return true;
    } else {
        if (t[0] == '-')
            return false;
        unsigned long long v = std::strtoull(begin, &end, 0);
        if (*end != '\0' || errno == ERANGE || v > std::numeric_limits<T>::max())
            return false;
        m_value = static_cast<T>(v);
        return true;
    }
}

template class ENumberT<bool>;
template class ENumberT<std::uint8_t>;
template class ENumberT<std::int16_t>;
template class ENumberT<std::uint16_t>;
template class ENumberT<std::int32_t>;
template class ENumberT<std::uint32_t>;
template class ENumberT<std::int64_t>;
template class ENumberT<std::uint64_t>;
template class ENumberT<float>;
template class ENumberT<double>;

std::string EGUID::stringValue() const {
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(m_guid.Data1), m_guid.Data2, m_guid.Data3, m_guid.Data4[0],
                  m_guid.Data4[1], m_guid.Data4[2], m_guid.Data4[3], m_guid.Data4[4],
                  m_guid.Data4[5], m_guid.Data4[6], m_guid.Data4[7]);
    return buf;
}

bool EGUID::fromString(const std::string& text, GUID& out) {
    std::string t = text;
    if (t.size() == 38 && t.front() == '{' && t.back() == '}')
        t = t.substr(1, 36);
    if (t.size() != 36 || t[8] != '-' || t[13] != '-' || t[18] != '-' || t[23] != '-')
        return false;
    std::string hex;
    for (char c : t) {
        if (c == '-')
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
        hex.push_back(c);
    }
    auto field = [&](std::size_t pos, std::size_t len) {
        return static_cast<std::uint32_t>(std::strtoul(hex.substr(pos, len).c_str(), nullptr, 16));
    };
    GUID g;
    g.Data1 = field(0, 8);
    g.Data2 = static_cast<std::uint16_t>(field(8, 4));
    g.Data3 = static_cast<std::uint16_t>(field(12, 4));
    for (int i = 0; i < 8; ++i)
        g.Data4[i] = static_cast<std::uint8_t>(field(16 + 2 * i, 2));
    out = g;
    return true;
}

std::string HResult::stringValue() const {
    const char* name;
    switch (static_cast<std::uint32_t>(m_hr)) {
        case 0x00000000u:
            name = "S_OK";
            break;
        case 0x00000001u:
            name = "S_FALSE";
            break;
        case 0x80004001u:
            name = "E_NOTIMPL";
            break;
        case 0x80004002u:
            name = "E_NOINTERFACE";
            break;
        case 0x80004003u:
            name = "E_POINTER";
            break;
        case 0x80004004u:
            name = "E_ABORT";
            break;
        case 0x80004005u:
            name = "E_FAIL";
            break;
        case 0x8000FFFFu:
            name = "E_UNEXPECTED";
            break;
        case 0x80070005u:
            name = "E_ACCESSDENIED";
            break;
        case 0x8007000Eu:
            name = "E_OUTOFMEMORY";
            break;
        case 0x80070057u:
            name = "E_INVALIDARG";
            break;
        case 0x80040154u:
            name = "REGDB_E_CLASSNOTREG";
            break;
        case 0x80040110u:
            name = "CLASS_E_NOAGGREGATION";
            break;
        case 0x80040200u:
            name = "CONNECT_E_NOCONNECTION";
            break;
        case 0x80040202u:
            name = "CONNECT_E_CANNOTCONNECT";
            break;
        case 0x8002000Bu:
            name = "DISP_E_BADINDEX";
            break;
        case 0x80020003u:
            name = "DISP_E_MEMBERNOTFOUND";
            break;
        case 0x80020005u:
            name = "DISP_E_TYPEMISMATCH";
            break;
        case 0x8002000Du:
            name = "DISP_E_ARRAYISLOCKED";
            break;
        case 0x8002000Au:
            name = "DISP_E_OVERFLOW";
            break;
        case 0x80010006u:
            name = "RPC_E_CONNECTION_TERMINATED";
            break;
        case 0x80010007u:
            name = "RPC_E_SERVER_DIED";
            break;
        case 0x80010012u:
            name = "RPC_E_SERVER_DIED_DNE";
            break;
        case 0x80010108u:
            name = "RPC_E_DISCONNECTED";
            break;
        case 0x800401FDu:
            name = "CO_E_OBJNOTCONNECTED";
            break;
        case 0x80080005u:
            name = "CO_E_SERVER_EXEC_FAILURE";
            break;
        case 0x800706BAu:
            name = "RPC_S_SERVER_UNAVAILABLE";
            break;
        case 0x800706BEu:
            name = "RPC_S_CALL_FAILED";
            break;
        case 0x800706BFu:
            name = "RPC_S_CALL_FAILED_DNE";
            break;
        default:
            name = "unknown HRESULT";
            break;
    }
    char buf[64];
    std::snprintf(buf, sizeof buf, "0x%08X %s", static_cast<std::uint32_t>(m_hr), name);
    return buf;
}

std::string LastError::stringValue() const {
    return platform::errorText(m_code);
}

bool GUIDToString::addItem(const GUID& guid, const std::string& name) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_items.emplace(guid, name).second;
}

bool GUIDToString::removeItem(const GUID& guid) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_items.erase(guid) != 0;
}

bool GUIDToString::find(const GUID& guid, std::string& name) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_items.find(guid);
    if (it == m_items.end())
        return false;
    name = it->second;
    return true;
}

std::size_t GUIDToString::size() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_items.size();
}

}  // namespace core
