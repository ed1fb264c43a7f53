#include "host/FileSeries.h"

#include <cstdio>
#include <filesystem>
#include <mutex>

namespace host {

namespace {

std::tm localTime(std::time_t t) {
    // std::localtime shares one result buffer within the process.
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    const std::tm* tm = std::localtime(&t);
    return tm ? *tm : std::tm{};
}

}  // namespace

std::string seriesFileName(const std::string& path, std::uint64_t number, const std::tm& begun) {
    // The extension is that of the file's own name, not of a folder on its path.
    const std::filesystem::path given(path);
    const std::string file = given.filename().string();
    const auto dot = file.rfind('.');
    const bool extension = dot != std::string::npos && dot > 0;
    const std::string stem = extension ? file.substr(0, dot) : file;
    const std::string suffix = extension ? file.substr(dot) : std::string();
    char middle[48];
    std::snprintf(middle, sizeof middle, "_%05llu_%04d%02d%02d%02d%02d%02d",
                  static_cast<unsigned long long>(number), begun.tm_year + 1900, begun.tm_mon + 1,
                  begun.tm_mday, begun.tm_hour, begun.tm_min, begun.tm_sec);
    return (given.parent_path() / (stem + middle + suffix)).string();
}

FileSeries::FileSeries(std::string path, std::size_t ringFiles)
    : m_path(std::move(path)), m_ring(ringFiles) {}

std::string FileSeries::next(std::time_t now) {
    const std::string name = seriesFileName(m_path, ++m_number, localTime(now));
    m_kept.push_back(name);
    return name;
}

std::vector<std::string> FileSeries::beyondRing() {
    std::vector<std::string> old;
    while (m_ring > 0 && m_kept.size() > m_ring) {
        old.push_back(m_kept.front());
        m_kept.erase(m_kept.begin());
    }
    return old;
}

}  // namespace host
