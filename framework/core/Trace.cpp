#include "framework/core/Trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>

namespace core {

namespace {

struct TraceState {
    std::mutex mutex;
    ToggleTrace::Sink sink;
    FILE* file = nullptr;
    std::atomic<bool> active{false};
    std::atomic<int> maxLevel{1000};
    std::atomic<bool> cipher{false};
};

TraceState& state() {
    static TraceState* s = new TraceState;  // outlives every static destructor
    return *s;
}

}  // namespace

ToggleTrace::ToggleTrace(int level, const char* format, ...) {
    auto& s = state();
    if (!s.active.load(std::memory_order_relaxed) || level > s.maxLevel.load())
        return;
    char small[512];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    std::string line;
    if (n < 0) {
        line = format;
    } else if (static_cast<std::size_t>(n) < sizeof small) {
        line.assign(small, static_cast<std::size_t>(n));
    } else {
        line.resize(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(line.data(), line.size(), format, again);
        line.resize(static_cast<std::size_t>(n));
    }
    va_end(again);

    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.sink) {
        s.sink(level, line);
    } else {
        FILE* out = s.file ? s.file : stderr;
        std::fwrite(line.data(), 1, line.size(), out);
        std::fflush(out);
    }
}

void ToggleTrace::setActive(bool active) {
    state().active = active;
}
bool ToggleTrace::isActiveFlagSet() {
    return state().active;
}
void ToggleTrace::setMaxLevel(int level) {
    state().maxLevel = level;
}

void ToggleTrace::setSink(Sink sink) {
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.sink = std::move(sink);
}

bool ToggleTrace::setFile(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "a");
    if (!f)
        return false;
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.file)
        std::fclose(s.file);
    s.file = f;
    return true;
}

void FormatTrace::setCipher(bool cipher) {
    state().cipher = cipher;
}
bool FormatTrace::isCipherSet() {
    return state().cipher;
}

struct TraceCapture::State {
    mutable std::mutex mutex;
    std::vector<std::pair<int, std::string>> lines;
};

TraceCapture::TraceCapture() : m_state(new State), m_wasActive(ToggleTrace::isActiveFlagSet()) {
    State* captured = m_state;
    ToggleTrace::setSink([captured](int level, const std::string& line) {
        std::lock_guard<std::mutex> lock(captured->mutex);
        captured->lines.emplace_back(level, line);
    });
    ToggleTrace::setActive(true);
}

TraceCapture::~TraceCapture() {
    ToggleTrace::setSink(nullptr);
    ToggleTrace::setActive(m_wasActive);
    delete m_state;
}

std::vector<std::pair<int, std::string>> TraceCapture::lines() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->lines;
}

std::size_t TraceCapture::count(const std::string& text) const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    std::size_t n = 0;
    for (auto& l : m_state->lines)
        n += l.second.find(text) != std::string::npos;
    return n;
}

bool TraceCapture::has(int level, const std::string& line) const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    for (auto& l : m_state->lines)
        if (l.first == level && l.second == line)
            return true;
    return false;
}

void TraceCapture::clear() {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->lines.clear();
}

std::string TraceCapture::text() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    std::string all;
    for (auto& l : m_state->lines)
        all += l.second;
    return all;
}

}  // namespace core
