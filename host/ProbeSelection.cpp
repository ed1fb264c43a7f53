#include "host/ProbeSelection.h"

#include "host/JsonWriter.h"
#include "session/ProbeCatalogue.h"

namespace host {

std::map<unsigned long, std::set<std::string>> selectionsFor(
    const std::vector<std::string>& names) {
    std::map<unsigned long, std::set<std::string>> chosen;
    for (const auto& name : names) {
        bool found = false;
        for (const auto& item : vela::catalogue::items()) {
            if (vela::catalogue::itemLabel(item) == name) {
                for (std::size_t i = 0; i < item.count; ++i)
                    chosen[item.identity].insert(item.values[i].name);
                found = true;
                break;
            }
        }
        for (const auto& item : vela::catalogue::items()) {
            if (found)
                break;
            for (std::size_t i = 0; i < item.count && !found; ++i) {
                if (name == item.values[i].name) {
                    chosen[item.identity].insert(name);
                    found = true;
                }
            }
        }
    }
    return chosen;
}

bool checkSettingNames(const std::vector<std::string>& names, std::string& error) {
    auto chosen = selectionsFor(names);
    for (const auto& name : names) {
        bool found = false;
        for (auto& [identity, labels] : chosen) {
            const auto* item = vela::catalogue::findItem(identity);
            found |= labels.count(name) > 0 || (item && vela::catalogue::itemLabel(*item) == name);
        }
        if (!found) {
            error = "unknown setting '" + name + "' (vela-host probes lists the settings)";
            return false;
        }
    }
    return true;
}

void listSettings(std::ostream& out) {
    for (const auto& item : vela::catalogue::items()) {
        out << vela::catalogue::itemLabel(item) << '\n';
        for (std::size_t i = 0; i < item.count; ++i)
            out << "    " << item.values[i].name << '\n';
    }
}

void listSettingsJson(std::ostream& out) {
    JsonWriter json;
    json.beginArray();
    for (const auto& item : vela::catalogue::items()) {
        json.beginObject();
        json.key("name").value(vela::catalogue::itemLabel(item));
        json.key("identity").value(static_cast<std::uint64_t>(item.identity));
        json.key("values").beginArray();
        for (std::size_t i = 0; i < item.count; ++i) {
            json.beginObject();
            json.key("name").value(item.values[i].name);
            json.key("value").value(unsigned(item.values[i].value));
            json.endObject();
        }
        json.endArray();
        json.endObject();
    }
    json.endArray();
    out << json.text() << '\n';
}

}  // namespace host
