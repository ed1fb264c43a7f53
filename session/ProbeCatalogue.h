// The catalogue of what the user can switch on the phone through the TVP channel's settings:
// the probes, grouped by radio technology and protocol layer, and the system-capability
// Common Control function. Fixed identities 424690 to 424704.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "framework/core/Property.h"

namespace vela {

// The handlers that the engine attaches to the catalogue's items.
class CatalogueHandlers {
  public:
    virtual ~CatalogueHandlers() = default;
    virtual bool onApplyProbeMode(core::PropertyItem& item, core::Status& status) = 0;
    virtual bool onApplyPhyProbe(core::PropertyItem& item, core::Status& status) = 0;
    virtual bool onValidateCapability(core::PropertyItem& item, core::Status& status) = 0;
    virtual bool onApplyCapability(core::PropertyItem& item, core::Status& status) = 0;
};

namespace catalogue {

constexpr unsigned long kCommonControl = 424690;
constexpr unsigned long kCasCategory = 424691;
constexpr unsigned long kSystemCapability = 424692;
constexpr unsigned long kProbes = 424693;
constexpr unsigned long kPhy = 424694;
constexpr unsigned long kCasProbes = 424695;
constexpr unsigned long kModeReports = 424696;
constexpr unsigned long kGsmModeReports = 424697;
constexpr unsigned long kWcdmaModeReports = 424698;
constexpr unsigned long kLayer3 = 424699;
constexpr unsigned long kGsmLayer3 = 424700;
constexpr unsigned long kWcdmaLayer3 = 424701;
constexpr unsigned long kLayer2 = 424702;
constexpr unsigned long kGsmLayer2 = 424703;
constexpr unsigned long kWcdmaLayer2 = 424704;

// The probe that the "Phy" item switches on before its test codes.
constexpr unsigned short kPhyProbe = 700;

struct Value {
    unsigned short value;
    const char* name;
};

// One item of the catalogue, as data.
struct Item {
    unsigned long identity;
    const char* name;
    const char* description;
    unsigned long applyTimeout;  // 0: the framework's default
    const Value* values;
    std::size_t count;
};

// The items, in tree order.
const std::vector<Item>& items();
// The name of a probe id as the catalogue gives it (the first one where two share an id), or
// null for an id that is not in it.
const char* probeName(unsigned short probeId);
// The item of that identity, or null.
const Item* findItem(unsigned long identity);
// The full name of an item as a user chooses it: its description ("GSM Mode Reports") for
// the probe groups, its name for the others ("Phy", "System Capability Control").
std::string itemLabel(const Item& item);

// The top-level categories, built with the handlers attached.
core::RCPtr<core::PropertyCategory> buildCommonControl(CatalogueHandlers* handlers);
core::RCPtr<core::PropertyCategory> buildProbes(CatalogueHandlers* handlers);

}  // namespace catalogue
}  // namespace vela
