// One run of vela-host: loads the plug-in, finds the phones (simulated ones with --sim, else
// the Vela phones among the USB serial devices), lets the component's detector describe each,
// creates a data source and the equipment per phone, brings up the TVP and print-server channels,
// applies the settings asked for, records until the duration ends or Ctrl-C, and prints a summary.
#pragma once

#include <ostream>

#include "host/Options.h"

namespace host {

// Runs the session; the process's exit code: 0 when every phone's session came up and every
// setting applied, 1 otherwise (also when no phone was found: nothing is recorded then). Progress
// on `status` (one line redrawn when it is a terminal), the summary on `out`, the JSON lines of
// --jsonl on `data`.
int runSession(const Options& options, std::ostream& out, std::ostream& status,
               bool statusIsTerminal, std::ostream* data = nullptr);

// Makes the next run stop as after its duration; safe from a signal handler.
void requestStop();

}  // namespace host
