// SetupAPI's records of the ports class turned into device data. The fuzzed block is the
// records as text: ports separated by an empty line, each a port name, then one node per line
// as "instance id|hardware id;hardware id|bus-reported name". Whatever the ids hold, the
// mapping must end without a fault, keep every device it makes to at least one named port of
// the input, and give ids only of four upper-case hexadecimal digits.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "host/SetupApiPorts.h"

namespace {

void require(bool ok, const char* what) {
    if (ok)
        return;
    std::fprintf(stderr, "SetupAPI ports: %s\n", what);
    std::abort();
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator))
        parts.push_back(part);
    return parts;
}

bool isId(const std::string& id) {
    if (id.empty())
        return true;
    if (id.size() != 4)
        return false;
    for (char c : id)
        if (!std::isxdigit(static_cast<unsigned char>(c)) ||
            std::islower(static_cast<unsigned char>(c)))
            return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<host::SetupApiPort> ports(1);
    bool first = true;
    for (const auto& line : split(text, '\n')) {
        if (line.empty()) {
            ports.emplace_back();
            first = true;
            continue;
        }
        if (first) {
            ports.back().portName = line;
            first = false;
            continue;
        }
        auto fields = split(line, '|');
        fields.resize(3);
        ports.back().nodes.push_back({fields[0], split(fields[1], ';'), fields[2]});
    }
    std::size_t named = 0;
    for (const auto& port : ports)
        named += !port.portName.empty();
    const auto devices = host::devicesFromSetupApi(ports);
    std::size_t found = 0;
    for (const auto& device : devices) {
        require(!device->ports.empty(), "a device without a port");
        require(isId(device->vendorId) && isId(device->productId), "an id that is not 4 digits");
        for (const auto& port : device->ports)
            require(!port.portName.empty(), "a port without a name");
        found += device->ports.size();
    }
    require(found <= named, "more ports than were named");
    return 0;
}
