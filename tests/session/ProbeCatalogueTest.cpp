#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "session/ProbeCatalogue.h"

namespace {

using namespace vela::catalogue;

struct NoHandlers : vela::CatalogueHandlers {
    int probeApplies = 0;
    bool onApplyProbeMode(core::PropertyItem&, core::Status&) override {
        return ++probeApplies, true;
    }
    bool onApplyPhyProbe(core::PropertyItem&, core::Status&) override { return true; }
    bool onValidateCapability(core::PropertyItem&, core::Status&) override { return true; }
    bool onApplyCapability(core::PropertyItem&, core::Status&) override { return true; }
};

// Prints the tree as the host shows it: identity, kind, name, description, time-out, values.
void print(const core::PropertyNode& node, int depth, std::ostringstream& out) {
    out << std::string(depth * 2, ' ') << node.getIdentity() << " " << node.getName() << " | "
        << node.getDescription();
    if (auto* item = dynamic_cast<const core::PropertyItem*>(&node)) {
        out << " | " << item->getValueType() << " style " << item->getStyle() << " timeout "
            << item->getApplyTimeout() << " values " << item->getValueCount();
        int selected = 0;
        for (auto& v : item->getValues())
            selected += v.isSelected();
        out << " selected " << selected;
    }
    out << "\n";
    if (auto* category = dynamic_cast<const core::PropertyCategory*>(&node))
        for (auto& child : category->getChildren())
            print(*child, depth + 1, out);
}

TEST(ProbeCatalogue, TreeAsTheHostShowsIt) {
    NoHandlers h;
    std::ostringstream out;
    print(*buildCommonControl(&h), 0, out);
    print(*buildProbes(&h), 0, out);
    EXPECT_EQ(
        out.str(),
        "424690 Common Control | Common Control Description\n"
        "  424691 CAS | C A S Description\n"
        "    424692 System Capability Control | Modifies and reports the UE\xE2\x80\x99s System "
        "Capability. | BYTE style 2 timeout 1000 values 2 selected 2\n"
        "424693 Probes | Probes Description\n"
        "  424694 Phy | Phy probes. | USHORT style 2 timeout 2000 values 21 selected 0\n"
        "  424695 CAS | C A S Description | USHORT style 2 timeout 1000 values 14 selected 0\n"
        "  424696 Mode Reports | Mode Reports\n"
        "    424697 GSM | GSM Mode Reports | USHORT style 2 timeout 2000 values 25 selected 0\n"
        "    424698 WCDMA | WCDMA Mode Reports | USHORT style 2 timeout 2000 values 21 selected 0\n"
        "  424699 Layer 3 | Layer 3 Reports\n"
        "    424700 GSM | GSM Layer 3 Reports | USHORT style 2 timeout 2000 values 23 selected 0\n"
        "    424701 WCDMA | WCDMA Layer 3 Reports | USHORT style 2 timeout 1000 values 8 selected "
        "0\n"
        "  424702 Layer 2 | Layer 2 Reports\n"
        "    424703 GSM | GSM Layer 2 Reports | USHORT style 2 timeout 1000 values 1 selected 0\n"
        "    424704 WCDMA | WCDMA Layer 2 Reports | USHORT style 2 timeout 5000 values 3 selected "
        "0\n");
}

TEST(ProbeCatalogue, ValuesInOrderWithDuplicatesKept) {
    NoHandlers h;
    auto probes = buildProbes(&h);
    auto gsm = core::rcCast<core::UShortPropertyItem>(probes->get(kGsmModeReports));
    ASSERT_TRUE(gsm);
    std::vector<unsigned> ids;
    for (auto* v = gsm->getFirst(); v; v = gsm->getNext())
        ids.push_back(v->getUShort());
    ASSERT_EQ(ids.size(), 25u);
    EXPECT_EQ(ids.front(), 0x00ECu);
    EXPECT_EQ(std::count(ids.begin(), ids.end(), 0x013Bu), 2);
    EXPECT_EQ(std::count(ids.begin(), ids.end(), 0x013Cu), 2);
    EXPECT_EQ(ids.back(), 0x013Cu);
    auto l3 = core::rcCast<core::UShortPropertyItem>(probes->get(kGsmLayer3));
    EXPECT_EQ(l3->getValue(13)->getUShort(), 0x002A) << "Dcch Message is sent by its value";
    EXPECT_EQ(l3->getValue(13)->getLabel(), "Dcch Message");
    core::Status s;
    gsm->apply(s);
    EXPECT_EQ(h.probeApplies, 1);
}

TEST(ProbeCatalogue, NamesForReplay) {
    EXPECT_STREQ(probeName(0x013B), "PH Block Report UL");
    EXPECT_STREQ(probeName(0x01AD), "RLC AM Control PDU Message");
    EXPECT_EQ(probeName(700), nullptr);
    EXPECT_EQ(probeName(0x0001), nullptr) << "Phy values are test-code arguments, not probe ids";
    EXPECT_EQ(itemLabel(*findItem(kWcdmaLayer3)), "WCDMA Layer 3 Reports");
    EXPECT_EQ(itemLabel(*findItem(kPhy)), "Phy");
}

}  // namespace
