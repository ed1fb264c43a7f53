#include "host/JsonWriter.h"

#include <cstdio>

namespace host {

namespace {

// The length of the UTF-8 sequence at p (of at most n bytes), or 0 when it is not one.
std::size_t utf8Length(const unsigned char* p, std::size_t n) {
    std::size_t length;
    std::uint32_t min;
    if (p[0] < 0x80)
        return 1;
    if ((p[0] & 0xE0) == 0xC0) {
        length = 2;
        min = 0x80;
    } else if ((p[0] & 0xF0) == 0xE0) {
        length = 3;
        min = 0x800;
    } else if ((p[0] & 0xF8) == 0xF0) {
        length = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    if (length > n)
        return 0;
    std::uint32_t cp = p[0] & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        cp = cp << 6 | (p[i] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return length;
}

}  // namespace

std::string jsonString(std::string_view text) {
    std::string out = "\"";
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        const unsigned char c = p[i];
        char escape[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(escape, sizeof escape, "\\u%04X", c);
            out += escape;
        } else if (c >= 0x80) {
            const std::size_t length = utf8Length(p + i, n - i);
            if (length == 0) {
                std::snprintf(escape, sizeof escape, "\\u%04X", c);
                out += escape;
            } else {
                out.append(text.data() + i, length);
                i += length;
                continue;
            }
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    return out + "\"";
}

std::string isoTime(std::uint64_t micros) {
    // Days since 1970 to a civil date (the proleptic Gregorian calendar).
    const std::int64_t days = static_cast<std::int64_t>(micros / 86400000000ull);
    const std::int64_t z = days + 719468;
    const std::int64_t era = z / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = yoe + era * 400 + (month <= 2);
    const std::uint64_t ofDay = micros % 86400000000ull;
    char text[96];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02u:%02u:%02u.%06uZ",
                  static_cast<long long>(year), static_cast<long long>(month),
                  static_cast<long long>(day), static_cast<unsigned>(ofDay / 3600000000ull),
                  static_cast<unsigned>(ofDay / 60000000ull % 60),
                  static_cast<unsigned>(ofDay / 1000000ull % 60),
                  static_cast<unsigned>(ofDay % 1000000ull));
    return text;
}

void JsonWriter::separate() {
    if (m_afterKey) {
        m_afterKey = false;
        return;
    }
    if (!m_empty.empty()) {
        if (!m_empty.back())
            m_text += ',';
        m_empty.back() = false;
    }
}

JsonWriter& JsonWriter::beginObject() {
    separate();
    m_text += '{';
    m_empty.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::endObject() {
    m_text += '}';
    m_empty.pop_back();
    return *this;
}

JsonWriter& JsonWriter::beginArray() {
    separate();
    m_text += '[';
    m_empty.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::endArray() {
    m_text += ']';
    m_empty.pop_back();
    return *this;
}

JsonWriter& JsonWriter::key(std::string_view name) {
    separate();
    m_text += jsonString(name);
    m_text += ':';
    m_afterKey = true;
    return *this;
}

JsonWriter& JsonWriter::value(std::string_view text) {
    separate();
    m_text += jsonString(text);
    return *this;
}

JsonWriter& JsonWriter::value(std::uint64_t n) {
    separate();
    m_text += std::to_string(n);
    return *this;
}

JsonWriter& JsonWriter::value(std::int64_t n) {
    separate();
    m_text += std::to_string(n);
    return *this;
}

JsonWriter& JsonWriter::value(double n, int decimals) {
    separate();
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, n);
    m_text += text;
    return *this;
}

JsonWriter& JsonWriter::value(bool b) {
    separate();
    m_text += b ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::null() {
    separate();
    m_text += "null";
    return *this;
}

}  // namespace host
