// A recorded session as readable text: one line per frame with its record number, time,
// phone, channel and what the frame is (for TVP: kind, command, sequence number, result, probe
// id and its name from the catalogue, sizes), and the print-server text line by line.
#pragma once

#include <ostream>
#include <string>

#include "host/CaptureFile.h"

namespace host {

// The text of one record (one line, or several for print-server text), ending in a newline.
std::string describeRecord(const CaptureRecord& record);

// Prints every record of the file; a packet that is not a record is printed as such and the
// replay goes on. False with a message when the file cannot be read, or cannot be read to its
// end (cut short or damaged: what could be read is printed first).
bool replayCapture(const std::string& path, std::ostream& out, std::string& error);

}  // namespace host
