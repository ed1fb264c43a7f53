// The detector: which ports of a phone become which channels, and the model family of a
// device; the model tables behind it.
#include <gtest/gtest.h>

#include <set>

#include "equipment/ModelTables.h"
#include "equipment/Vela1Detector.h"
#include "equipment/VelaGuids.h"
#include "transport/ATChannelInfo.h"

namespace {

using core::RCPtr;

equip::DeviceInfoData device(const std::string& productId, std::vector<equip::DevicePort> ports,
                             const std::string& product = "Vela phone") {
    equip::DeviceInfoData d;
    d.vendorId = "1D6B";
    d.productId = productId;
    d.product = product;
    d.ports = std::move(ports);
    return d;
}

std::vector<int> channelTypes(const equip::EquipmentInfo& info) {
    std::vector<int> types;
    for (auto& c : info.getChannelInfos())
        types.push_back(c->getChannelType());
    return types;
}

TEST(Vela1Detector, PortRolesBecomeChannelsAndATVPChannelBringsThePrintServer) {
    vela::Vela1Detector detector;
    EXPECT_EQ(detector.getName(), "NOR_Vela1");

    auto info =
        detector.detect(device("D001", {{"COM5", "Modem", ""}, {"COM6", "Device Management", ""}}));
    ASSERT_TRUE(info);
    EXPECT_EQ(channelTypes(*info), (std::vector<int>{2, 7, 5}));
    auto tvp = core::rcCast<equip::EquipmentChannelInfo>(info->getChannelInfo(2));
    ASSERT_TRUE(tvp);
    EXPECT_EQ(tvp->getPortName(), "COM5");
    auto at = core::rcCast<vela::ATChannelInfo>(info->getChannelInfo(7));
    ASSERT_TRUE(at) << "the AT port gets the AT channel's own info";
    EXPECT_EQ(at->getPortName(), "COM6");
    EXPECT_FALSE(at->isVisible());
    EXPECT_FALSE(at->isSelected());

    // A data-modem port alone: a channel info of type 3 and no print server.
    info = detector.detect(device("D001", {{"COM8", "Data Modem", ""}}));
    ASSERT_TRUE(info);
    EXPECT_EQ(channelTypes(*info), (std::vector<int>{3}));

    // Roles are compared exactly: no port here gives a channel.
    EXPECT_FALSE(
        detector.detect(device("D001", {{"COM5", "modem", ""}, {"COM6", "Diagnostics", ""}})));
    EXPECT_FALSE(detector.createChannelInfo("MODEM"));
}

TEST(Vela1Detector, ClassIdentityComesFromProductNameThenProductId) {
    vela::Vela1Detector detector;
    const std::vector<equip::DevicePort> modem{{"COM5", "Modem", ""}};
    struct Case {
        const char* productId;
        const char* product;
        const GUID* identity;
    } cases[] = {
        {"D001", "Vela phone", &vela::ModelIdentity1},
        {"D002", "Vela phone", &vela::ModelIdentity2},
        {"D013", "Vela phone", &vela::ModelIdentity3},
        {"D020", "Vela phone", &vela::ModelIdentity4},
        {"D030", "Vela phone", &vela::ModelIdentity5},
        {"D0F0", "Vela phone", &vela::ModelIdentityPrototype},
        {"D040", "Vela phone", &vela::ModelIdentity7},
        {"D001", "Prototype", &vela::ModelIdentityPrototype},  // the name wins over the id
        {"d001", "Vela phone", &vela::CLSID_VelaComponent},    // ids are compared exactly
        {"BEEF", "Vela phone", &vela::CLSID_VelaComponent},
    };
    for (const Case& c : cases) {
        auto info = detector.detect(device(c.productId, modem, c.product));
        ASSERT_TRUE(info) << c.productId;
        EXPECT_EQ(info->getClassIdentity(), *c.identity) << c.productId << " " << c.product;
    }
}

TEST(ModelTables, TenProductIdsInSevenGroupsAndEightModels) {
    std::size_t count = 0;
    const vela::ProductIdEntry* ids = vela::productIdTable(count);
    ASSERT_EQ(count, 10u);
    std::map<int, int> perRow;
    std::set<std::string> seen;
    for (std::size_t i = 0; i < count; ++i) {
        ++perRow[ids[i].row];
        EXPECT_TRUE(seen.insert(ids[i].productId).second) << "duplicate " << ids[i].productId;
        EXPECT_EQ(std::string(ids[i].productId).find_first_not_of("0123456789ABCDEF"),
                  std::string::npos);
        EXPECT_EQ(std::string(ids[i].productId).size(), 4u);
    }
    EXPECT_EQ(perRow, (std::map<int, int>{{1, 1}, {2, 1}, {3, 4}, {4, 1}, {5, 1}, {6, 1}, {7, 1}}));

    const vela::ModelEntry* models = vela::modelTable(count);
    ASSERT_EQ(count, 8u);
    perRow.clear();
    for (std::size_t i = 0; i < count; ++i)
        ++perRow[models[i].row];
    EXPECT_EQ(perRow, (std::map<int, int>{{1, 1}, {2, 1}, {3, 3}, {4, 1}, {5, 1}, {7, 1}}));

    // Every family has its own identity and message server.
    std::set<GUID> identities, servers;
    for (int row = 1; row <= 7; ++row) {
        identities.insert(*vela::modelFamily(row).identity);
        servers.insert(*vela::modelFamily(row).msgServer);
    }
    EXPECT_EQ(identities.size(), 7u);
    EXPECT_EQ(servers.size(), 7u);
}

}  // namespace
