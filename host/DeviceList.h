// vela-host devices: what the scan for phones on USB finds, and what the component's detector
// makes of each device (a Vela phone of which model family, with which channels, or not a
// phone).
#pragma once

#include <ostream>
#include <string>

#include "host/Options.h"
#include "host/UsbDevices.h"
#include "platform/win32/guiddef.h"

namespace host {

// Loads the plug-in, scans and prints the devices. Exit code 0 when the scan could be made
// (whether or not it found a device), 1 when the plug-in or the scan failed (said on `error`).
// With options.json the list is JSON.
int listDevices(const Options& options, std::ostream& out, std::ostream& error);

// Prints a scan's devices as the detectors the loaded plug-in registered describe them, or
// that none was found and how the scan looked.
void printDevices(const UsbScan& scan, std::ostream& out);
// The same as one JSON document: {"looked":"...","devices":[{"vendor_id":"F1E0",
// "product_id":"D012","vendor":"Vela","product":"Vela V330","serial":"V3000001",
// "ports":[{"port":"COM7","role":"Modem"}],"phone":{"family":"model family 3",
// "channels":[{"type":"TVP","port":"COM7"},...]}},...]} ("phone" is null for a device that
// is not one).
void printDevicesJson(const UsbScan& scan, std::ostream& out);

// The model family a class identity names: "model family 1" ... "model family 7", "the
// prototype family (6)", or for another identity its text.
std::string familyName(const GUID& identity);

}  // namespace host
