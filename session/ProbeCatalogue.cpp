#include "session/ProbeCatalogue.h"

#include <iterator>
#include <map>

namespace vela {
namespace catalogue {

namespace {

using core::RCPtr;

// Every item has style 2.
constexpr unsigned long kStyle = 2;

const Value kCapabilityValues[] = {{1, "WCDMA"}, {2, "GSM"}};

const Value kPhyValues[] = {
    {0x0000, "Activation Request"},
    {0x0001, "Synch Change"},
    {0x0007, "Measure Report"},
    {0x0008, "Active Set Update"},
    {0x0300, "Downlink Tr Ch Status"},
    {0x0301, "BLER"},
    {0x0302, "Uplink Tr Ch Status"},
    {0x0602, "Cell Searcher"},
    {0x0603, "Path Searcher Serving Cell"},
    {0x0604, "Path Searcher"},
    {0x0607, "Finger Delay"},
    {0x0609, "Combined SIR for Synch"},
    {0x060A, "Combined SIR for Power Control"},
    {0x060B, "Power Control"},
    {0x060D, "Tuning Tracking Events"},
    {0x060F, "BER"},
    {0x0700, "Path Searcher Extended Update"},
    {0x0701, "Uplink DPCCH"},
    {0x0702, "Downlink DPCCH"},
    {0x2100, "Uplink DPCCH Snapshot"},
    {0x2101, "Downlink DPCCH Snapshot"},
};

const Value kCasValues[] = {
    {0x0093, "CC State Message"},    {0x0100, "LAC Update Rpt"},
    {0x0094, "MM State Message"},    {0x0102, "PLMN List Rpt"},
    {0x0103, "Available PLMN List"}, {0x0097, "GMM State Message"},
    {0x0095, "SMS State Message"},   {0x00C1, "SM State Message"},
    {0x00AE, "SL State Message"},    {0x0098, "Routing Area Update Rpt"},
    {0x0160, "CC Event Rpt"},        {0x0163, "GMM Event Rpt"},
    {0x0162, "MM Event Rpt"},        {0x0161, "SM Event Rpt"},
};

const Value kGsmModeValues[] = {
    {0x00EC, "Handover Access Message"},
    {0x0096, "RR State"},
    {0x00A3, "MPH State"},
    {0x00E2, "MPH Channel Rpt"},
    {0x00E3, "MPH Measurment Rpt"},
    {0x00F0, "LLC State"},
    {0x00F4, "RLC/MAC State"},
    {0x0129, "Cell Report"},
    {0x012A, "RLC/MAC Throughput"},
    {0x013B, "PH Block Report UL"},
    {0x013C, "PH Block Report DL"},
    {0x0126, "Cell Reselection Measurement Rpt"},
    {0x049E, "SNDCP State"},
    {0x049F, "SNDCP Bitrate"},
    {0x0499, "DL Event"},
    {0x049B, "LLC Event"},
    {0x049A, "LLC Bitrate"},
    {0x0125, "BA List"},
    {0x012B, "CHANNEL Mode Rpt"},
    {0x04A1, "RR Event Rpt"},
    {0x04A2, "RR GPRS TBF Rpt"},
    {0x013E, "PH Burst Report"},
    {0x01D9, "RR Cell Report"},
    {0x013B, "Ph PDCH Block Head UL"},
    {0x013C, "Ph PDCH Block Head DL"},
};

const Value kWcdmaModeValues[] = {
    {0x01C3, "TX Power Rpt"},
    {0x019C, "IPC Message TX"},
    {0x019D, "IPC Message RX"},
    {0x0194, "RRC State Message"},
    {0x0196, "RRC Measurement Rpt"},
    {0x01C2, "TRCH Bitrate Message"},
    {0x01A2, "CELL SEL RESEL Message"},
    {0x01C4, "RACH Transmission Rpt"},
    {0x0199, "Intra Freq Event FDD"},
    {0x019A, "Inter RAT Event FDD"},
    {0x01A5, "RRC RB Mapping Description"},
    {0x01A6, "TRSP Channel Description"},
    {0x01A7, "PHY Channel Description"},
    {0x01A3, "RSSI Scan"},
    {0x01A9, "RLC Channel Bitrate"},
    {0x01A8, "RRC Compressed Mode"},
    {0x01AC, "RRC Radio Link Rpt"},
    {0x01D4, "WAS RAB Config Rpt"},
    {0x01D3, "WAS PDCP Config Rpt"},
    {0x0200, "WAS PDCP Bitrate Rpt"},
    {0x0219, "WAS TFCI Rpt"},
};

const Value kGsmLayer3Values[] = {
    {0x00C2, "Packet System Info DL"},
    {0x00C3, "Packet Channel Req"},
    {0x00C4, "Packet Ctrl Ack"},
    {0x00C7, "Packet Control Msg"},
    {0x00C5, "Packet Paging DL"},
    {0x00C6, "Packet Dummy Msg"},
    {0x00E9, "Rach Rpt"},
    {0x00E4, "Fch Rpt"},
    {0x00E5, "Sch Rpt"},
    {0x00E6, "Bcch Rpt"},
    {0x00E7, "Pch Rpt"},
    {0x00E8, "Cbch Rpt"},
    {0x00EB, "Sach Rpt"},
    {0x002A, "Dcch Message"},
    {0x00EE, "PTCCH UL"},
    {0x00EF, "PTCCH DL"},
    {0x0101, "LCC Signaling Msg"},
    {0x00EA, "Agch Rpt"},
    {0x00F3, "LLC Data Message"},
    {0x00F1, "LLC Control Message"},
    {0x00F5, "Packet Data Message"},
    {0x04A3, "RR RATSCCH Message"},
    {0x04A9, "CB CBS Message"},
};

const Value kWcdmaLayer3Values[] = {
    {0x0190, "RRC DL UL DCCH"},   {0x0191, "RRC DL UL CCCH"},
    {0x0192, "RRC_PCCH"},         {0x0193, "System Info Msg"},
    {0x00BD, "NAS Message"},      {0x01A4, "Cell Search Rpt"},
    {0x0195, "WAS BCCH Message"}, {0x0197, "WAS NAS System Information"},
};

const Value kGsmLayer2Values[] = {{0x0498, "DL IFrame Message"}};

const Value kWcdmaLayer2Values[] = {
    {0x01AA, "RLC AM Header Rpt"},
    {0x01AB, "RLC UM Header Rpt"},
    {0x01AD, "RLC AM Control PDU Message"},
};

#define VALUES(a) a, std::size(a)

// The description of the capability item holds a typographic apostrophe (U+2019).
const std::vector<Item> kItems = {
    {kSystemCapability, "System Capability Control",
     "Modifies and reports the UE\xE2\x80\x99s System Capability.", 1000,
     VALUES(kCapabilityValues)},
    {kPhy, "Phy", "Phy probes.", 2000, VALUES(kPhyValues)},
    {kCasProbes, "CAS", "C A S Description", 1000, VALUES(kCasValues)},
    {kGsmModeReports, "GSM", "GSM Mode Reports", 2000, VALUES(kGsmModeValues)},
    {kWcdmaModeReports, "WCDMA", "WCDMA Mode Reports", 2000, VALUES(kWcdmaModeValues)},
    {kGsmLayer3, "GSM", "GSM Layer 3 Reports", 2000, VALUES(kGsmLayer3Values)},
    {kWcdmaLayer3, "WCDMA", "WCDMA Layer 3 Reports", 1000, VALUES(kWcdmaLayer3Values)},
    {kGsmLayer2, "GSM", "GSM Layer 2 Reports", 1000, VALUES(kGsmLayer2Values)},
    {kWcdmaLayer2, "WCDMA", "WCDMA Layer 2 Reports", 0, VALUES(kWcdmaLayer2Values)},
};

#undef VALUES

using Apply = bool (CatalogueHandlers::*)(core::PropertyItem&, core::Status&);

template <class ItemClass>
RCPtr<ItemClass> makeItem(unsigned long identity, CatalogueHandlers* h, Apply apply, Apply validate,
                          bool selected) {
    const Item* data = findItem(identity);
    RCPtr<ItemClass> item(new ItemClass(identity, data->name, data->description));
    if (validate)
        item->attachValidate(h, validate);
    item->attachApply(h, apply);
    if (data->applyTimeout)
        item->setApplyTimeout(data->applyTimeout);
    item->setStyle(kStyle, true);
    for (std::size_t i = 0; i < data->count; ++i)
        item->add(static_cast<typename ItemClass::value_type>(data->values[i].value),
                  data->values[i].name, selected);
    return item;
}

RCPtr<core::PropertyNode> probeItem(unsigned long identity, CatalogueHandlers* h) {
    return makeItem<core::UShortPropertyItem>(identity, h, &CatalogueHandlers::onApplyProbeMode,
                                              nullptr, false);
}

// A group category ("Mode Reports", "Layer 3", "Layer 2") with its GSM and WCDMA items.
RCPtr<core::PropertyNode> group(unsigned long identity, const char* name, const char* description,
                                CatalogueHandlers* h) {
    RCPtr<core::PropertyCategory> category(new core::PropertyCategory(identity, name, description));
    category->insert(probeItem(identity + 1, h));
    category->insert(probeItem(identity + 2, h));
    return category;
}

}  // namespace

const std::vector<Item>& items() {
    return kItems;
}

const Item* findItem(unsigned long identity) {
    for (auto& item : kItems)
        if (item.identity == identity)
            return &item;
    return nullptr;
}

const char* probeName(unsigned short probeId) {
    static const auto* names = [] {
        auto* m = new std::map<unsigned short, const char*>;
        for (auto& item : kItems) {
            if (item.identity == kSystemCapability || item.identity == kPhy)
                continue;
            for (std::size_t i = 0; i < item.count; ++i)
                m->emplace(item.values[i].value, item.values[i].name);
        }
        return m;
    }();
    auto it = names->find(probeId);
    return it == names->end() ? nullptr : it->second;
}

std::string itemLabel(const Item& item) {
    switch (item.identity) {
        case kSystemCapability:
        case kPhy:
            return item.name;
        case kCasProbes:
            return "CAS";
        default:
            return item.description;
    }
}

RCPtr<core::PropertyCategory> buildCommonControl(CatalogueHandlers* h) {
    RCPtr<core::PropertyCategory> top(
        new core::PropertyCategory(kCommonControl, "Common Control", "Common Control Description"));
    RCPtr<core::PropertyCategory> cas(
        new core::PropertyCategory(kCasCategory, "CAS", "C A S Description"));
    cas->insert(makeItem<core::BytePropertyItem>(kSystemCapability, h,
                                                 &CatalogueHandlers::onApplyCapability,
                                                 &CatalogueHandlers::onValidateCapability, true));
    top->insert(cas);
    return top;
}

RCPtr<core::PropertyCategory> buildProbes(CatalogueHandlers* h) {
    RCPtr<core::PropertyCategory> top(
        new core::PropertyCategory(kProbes, "Probes", "Probes Description"));
    top->insert(makeItem<core::UShortPropertyItem>(kPhy, h, &CatalogueHandlers::onApplyPhyProbe,
                                                   nullptr, false));
    top->insert(probeItem(kCasProbes, h));
    top->insert(group(kModeReports, "Mode Reports", "Mode Reports", h));
    top->insert(group(kLayer3, "Layer 3", "Layer 3 Reports", h));
    top->insert(group(kLayer2, "Layer 2", "Layer 2 Reports", h));
    return top;
}

}  // namespace catalogue
}  // namespace vela
