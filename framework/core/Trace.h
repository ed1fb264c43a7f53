// Trace output: one printf-style line per call, at a level, while tracing is switched on.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

// The printf dialect of the C library: on Windows (mingw-w64) the C99 one that the build selects
// rather than the old system one, whose checks would refuse %zu and %lld.
#if defined(__MINGW_PRINTF_FORMAT)
#define CORE_TRACE_PRINTF __MINGW_PRINTF_FORMAT
#else
#define CORE_TRACE_PRINTF printf
#endif

namespace core {

// Level 20: failures. Level 40: success notes and routine reports.
class ToggleTrace {
  public:
    // Writes one line (the formatted text as given; callers end it with a line feed).
    ToggleTrace(int level, const char* format, ...)
        __attribute__((format(CORE_TRACE_PRINTF, 3, 4)));

    static void setActive(bool active);
    static bool isActiveFlagSet();
    // Lines above this level are not written (default: all).
    static void setMaxLevel(int level);

    using Sink = std::function<void(int level, const std::string& line)>;
    // Where lines go: stderr by default (an empty sink restores it).
    static void setSink(Sink sink);
    // Appends lines to a file; false if it cannot be opened.
    static bool setFile(const std::string& path);
};

// The host's choice of whether traces are enciphered; kept for the host to read back.
class FormatTrace {
  public:
    static void setCipher(bool cipher);
    static bool isCipherSet();
};

// Captures every trace line while it exists (tracing switched on), for tests. Restores the
// earlier sink and active flag when it goes.
class TraceCapture {
  public:
    TraceCapture();
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    std::vector<std::pair<int, std::string>> lines() const;
    // Number of lines that contain the text.
    std::size_t count(const std::string& text) const;
    bool contains(const std::string& text) const { return count(text) != 0; }
    // True when a line equal to the text was written at the level.
    bool has(int level, const std::string& line) const;
    void clear();
    std::string text() const;

  private:
    struct State;
    State* m_state;
    bool m_wasActive;
};

}  // namespace core
