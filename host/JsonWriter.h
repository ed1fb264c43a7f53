// Builds JSON text for the machine-readable outputs (JSON lines of replay and run, the lists of
// probes and devices): objects and arrays of strings, numbers and booleans, commas placed and
// strings escaped. Bytes that are not UTF-8 (print-server text may hold any) are written as the
// code points U+0080 to U+00FF, so that the text stays valid JSON.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace host {

class JsonWriter {
  public:
    JsonWriter& beginObject();
    JsonWriter& endObject();
    JsonWriter& beginArray();
    JsonWriter& endArray();
    // The key of the next value in an object.
    JsonWriter& key(std::string_view name);
    JsonWriter& value(std::string_view text);
    JsonWriter& value(const char* text) { return value(std::string_view(text)); }
    JsonWriter& value(const std::string& text) { return value(std::string_view(text)); }
    JsonWriter& value(std::uint64_t n);
    JsonWriter& value(std::int64_t n);
    JsonWriter& value(int n) { return value(static_cast<std::int64_t>(n)); }
    JsonWriter& value(unsigned n) { return value(static_cast<std::uint64_t>(n)); }
    // A number with a fixed count of decimals.
    JsonWriter& value(double n, int decimals);
    JsonWriter& value(bool b);
    JsonWriter& null();

    const std::string& text() const { return m_text; }

  private:
    void separate();
    std::string m_text;
    std::vector<bool> m_empty;  // per open object or array: nothing in it yet
    bool m_afterKey = false;
};

// The text as a JSON string, quotes included.
std::string jsonString(std::string_view text);

// Microseconds since 1970 as an ISO 8601 time in UTC: "2026-05-09T14:25:01.123456Z".
std::string isoTime(std::uint64_t micros);

}  // namespace host
