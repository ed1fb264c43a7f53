// The status line of a run on a terminal, redrawn in place: time, the channels' states (of up
// to two phones), frames and their rate since the last drawing, print-server lines, lost
// reports, error frames and what the component dropped while it was behind, and for a single
// phone its first probes.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <vector>

#include "host/PhoneSession.h"

namespace host {

class StatusLine {
  public:
    explicit StatusLine(std::ostream& out) : m_out(out) {}

    // Draws the line over the one before; `elapsed` seconds since the run started.
    void show(double elapsed, const std::vector<std::unique_ptr<PhoneSession>>& phones);
    // The text of the line (at most 160 characters); moves the rate's starting point on.
    std::string text(double elapsed, const std::vector<std::unique_ptr<PhoneSession>>& phones);

  private:
    std::ostream& m_out;
    std::uint64_t m_lastFrames = 0, m_lastBytes = 0;
    double m_lastElapsed = 0;
};

}  // namespace host
