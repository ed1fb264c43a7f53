// A recorded session as readable text or as JSON lines. Text: one line per frame with its
// record number, time, phone, channel and what the frame is (for TVP: kind, command, sequence
// number, result, probe id and its name from the catalogue, sizes), and the print-server text
// line by line; from pcapng also the phones' interfaces, the comments and lost reports before a
// record and the statistics at the end. JSON lines: one object per record.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "host/CaptureReader.h"

namespace host {

// The text of one record (one line, or several for print-server text), ending in a newline.
std::string describeRecord(const CaptureRecord& record);
// One JSON object of the record, without a line end; `port` names its phone when known.
std::string recordJson(const CaptureRecord& record, const std::string& port = {});

// Prints every record of the file ("-": standard input), as text or as JSON lines; a packet
// that is not a record is printed as such and the replay goes on. False with a message when the
// file cannot be read, or cannot be read to its end (cut short or damaged: what could be read
// is printed first).
bool replayCapture(const std::string& path, std::ostream& out, std::string& error,
                   bool jsonLines = false);

}  // namespace host
