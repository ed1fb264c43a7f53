// The status of a run as JSON lines, one object per phone each time (run --jsonl writes them
// once a second), for collectors and scripts:
//   {"time":"2026-05-09T14:25:01.000000Z","elapsed":1.0,"phone":1,"port":"COM5",
//    "tvp":"active","print_server":"active","sessions":1,"frames":212,"tvp_frames":210,
//    "tvp_bytes":13440,"print_frames":2,"print_lines":2,"error_frames":0,"lost":0,
//    "repeated":0,"dropped_blocks":0,"dropped_reports":0,"probes":{"RR State":105}}
// "lost" and "repeated" are those of a phone that numbers its reports (the simulated one);
// "dropped_blocks" and "dropped_reports" what the component dropped while it was behind;
// "probes" counts each probe's reports by its catalogue name (an id the catalogue does not know
// as "0x1234").
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/PhoneSession.h"

namespace host {

// One line per phone, each ending in a line feed.
std::string statusJsonLines(std::uint64_t timeMicros, double elapsed,
                            const std::vector<std::unique_ptr<PhoneSession>>& phones);

}  // namespace host
