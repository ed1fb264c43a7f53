// The phones of a run: with --sim, simulated phones on COM5, COM7, ... (each with its AT port
// on the next port when the system can give it one, and the first with the faults asked for;
// with --sim-server the phones of the simulated service's own process);
// else the Vela phones among the USB serial devices, as the component's detector describes
// them. A measurement records made-up data only when asked to: without --sim and without a
// phone on USB there is nothing to run with.
#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "host/Options.h"
#include "host/PhoneSession.h"

namespace host {

// The phones, numbered from 0; notes for the user (a simulated phone without an AT port) on
// `notes`. False with the reason when there is none, or a simulated phone could not start.
bool findPhones(const Options& options, std::vector<std::unique_ptr<PhoneSession>>& phones,
                std::ostream& notes, std::string& error);

}  // namespace host
