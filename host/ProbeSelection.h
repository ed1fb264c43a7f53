// The names that --probes takes: a catalogue item's full name ("GSM Mode Reports") chooses all
// its values, a value's name ("RR State") just that value, in the first item that has it.
#pragma once

#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace host {

// Which values of which items (by identity) the names choose; names that match nothing are left
// out.
std::map<unsigned long, std::set<std::string>> selectionsFor(const std::vector<std::string>& names);

// Checks that every name is the label of a catalogue item or the name of one of its values.
bool checkSettingNames(const std::vector<std::string>& names, std::string& error);

// Lists the settings that --probes accepts: each item's label, then its values indented.
void listSettings(std::ostream& out);
// The same as one JSON document: [{"name":"GSM Mode Reports","identity":424697,
// "values":[{"name":"RR State","value":150},...]},...] (a value is a probe id, a Phy report or
// a capability bit).
void listSettingsJson(std::ostream& out);

}  // namespace host
