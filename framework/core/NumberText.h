// Numbers given as text on a command line: the whole text must be the number.
#pragma once

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string>

namespace core {

// A finite decimal number of at least 0 ("1.5", "2e3"); false, `out` unchanged, for empty
// text, anything after the number, a value out of range, a negative one, inf or nan.
inline bool parseNonNegativeNumber(const std::string& text, double& out) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (*end != '\0' || errno == ERANGE || !std::isfinite(v) || v < 0)
        return false;
    out = v;
    return true;
}

}  // namespace core
