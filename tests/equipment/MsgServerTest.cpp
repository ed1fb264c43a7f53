// The data source: the host components chosen for a model family, the AT port handed to the
// mobile message server, and the classification of phones found over AT.
#include <gtest/gtest.h>

#include "equipment/EEVela_MsgServer.h"
#include "equipment/ModelTables.h"
#include "equipment/VelaEquipment.h"
#include "equipment/VelaGuids.h"
#include "equipment/Vela_MsgServer.h"
#include "framework/core/Trace.h"
#include "framework/eqbase/Equipment.h"
#include "host/MobileMsgServer.h"
#include "transport/ATChannelInfo.h"

namespace {

using core::RCPtr;

ATL::CAtlModule g_module;

// A data source made as a host makes it, with the equipment class registered as the
// component registers it and the host's mobile message servers for every family.
class MsgServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        core::Object::registerClass("EEVelaEquipment",
                                    &vela::EEVelaEquipmentCreatorClass::createObject);
        eqbase::CLSIDToEquipment::instance().addItem(vela::CLSID_VelaComponent, "EEVelaEquipment");
        std::vector<CLSID> servers;
        for (int row = 1; row <= 7; ++row)
            servers.push_back(*vela::modelFamily(row).msgServer);
        ASSERT_TRUE(host::MobileMsgServer::registerFor(servers));
        vela::EEVela_MsgServerCreatorClass creator;
        IUnknown* unknown = nullptr;
        ASSERT_TRUE(creator.create(&unknown));
        source = unknown;
        unknown->Release();
        ASSERT_TRUE(source);
    }
    void TearDown() override {
        if (source)
            source->ReleaseEquipments();
        source.Release();
        host::MobileMsgServer::unregister();
        eqbase::CLSIDToEquipment::instance().removeItem(vela::CLSID_VelaComponent);
        core::Object::unRegisterClass("EEVelaEquipment");
    }
    CLSID mobileFor(const GUID& identity) {
        RCPtr<equip::EquipmentInfo> info(new equip::EquipmentInfo());
        info->setClassIdentity(identity);
        EXPECT_EQ(source->SetDataSourceInfo(info.get()), S_OK);
        CLSID mobile = GUID_NULL, data = GUID_NULL;
        source->GetMobileCLSID(&mobile);
        source->GetDataCLSID(&data);
        EXPECT_EQ(data, vela::CLSID_DataComponent);
        return mobile;
    }
    CComQIPtr<IEEDataSource> source;
};

TEST_F(MsgServerTest, IdentifiesItselfAndNamesTheFamily) {
    CComQIPtr<IEEBaseComponent> base(source);
    ASSERT_TRUE(base);
    BSTR text = nullptr;
    ASSERT_EQ(base->GetProgID(&text), S_OK);
    EXPECT_EQ(_bstr_t(text, false).utf8(), "Brannock.Norda.EEVela_MsgServer");
    CLSID clsid = GUID_NULL;
    base->GetCLSID(&clsid);
    EXPECT_EQ(clsid, vela::CLSID_VelaComponent);
    ASSERT_EQ(source->GetFamilyName(&text), S_OK);
    EXPECT_EQ(_bstr_t(text, false).utf8(), "Vela");

    const bool wasActive = core::ToggleTrace::isActiveFlagSet();
    base->SetTraceState(VARIANT_FALSE, VARIANT_FALSE, 0);
    VARIANT_BOOL active = VARIANT_TRUE;
    base->IsTraceStateSet(&active);
    EXPECT_EQ(active, VARIANT_FALSE);
    base->SetTraceState(VARIANT_TRUE, VARIANT_FALSE, 0);
    base->IsTraceStateSet(&active);
    EXPECT_EQ(active, VARIANT_TRUE);
    core::ToggleTrace::setActive(wasActive);
}

TEST_F(MsgServerTest, ModelFamilySelectsTheMobileMessageServer) {
    EXPECT_EQ(mobileFor(vela::ModelIdentity1), vela::CLSID_MobileMsgServer1);
    EXPECT_EQ(mobileFor(vela::ModelIdentity3), vela::CLSID_MobileMsgServer3);
    EXPECT_EQ(mobileFor(vela::ModelIdentity7), vela::CLSID_MobileMsgServer7);
    EXPECT_EQ(mobileFor(vela::ModelIdentityPrototype), vela::CLSID_MobileMsgServerPrototype);
    // An identity of no family (the component's own, as the detector gives unknown products)
    // takes the prototype's server.
    EXPECT_EQ(mobileFor(vela::CLSID_VelaComponent), vela::CLSID_MobileMsgServerPrototype);
    EXPECT_EQ(mobileFor(GUID_NULL), vela::CLSID_MobileMsgServerPrototype);
}

TEST_F(MsgServerTest, EveryATPortIsHandedToTheMobileServerInOrder) {
    // No ports to open: the AT channels try and run on closed.
    ::setenv("VELA_COM_DIR", "/nonexistent-vela-com", 1);
    RCPtr<equip::EquipmentInfo> info(new equip::EquipmentInfo());
    info->setClassIdentity(vela::ModelIdentity2);
    for (const char* port : {"COM201", "COM202"}) {
        RCPtr<vela::ATChannelInfo> at(new vela::ATChannelInfo());
        at->setPortName(port);
        info->addChannelInfo(at);
    }
    // A channel of another type names a port too, and is not handed over.
    RCPtr<equip::EquipmentChannelInfo> modem(
        new equip::EquipmentChannelInfo(dsrc::CHANNEL_TYPE_DATA_MODEM));
    modem->setPortName("COM203");
    info->addChannelInfo(modem);
    ASSERT_EQ(source->SetDataSourceInfo(info.get()), S_OK);
    ASSERT_EQ(source->CreateEquipments(info.get()), S_OK);

    ULONG count = 0;
    source->GetEquipmentCount(&count);
    EXPECT_EQ(count, 1u);
    CComPtr<IEEProperties> server =
        host::MobileMsgServer::instanceFor(vela::CLSID_MobileMsgServer2);
    ASSERT_TRUE(server);
    auto* recorder = static_cast<host::MobileMsgServer*>(server.p);
    using Set = std::pair<std::string, std::string>;
    EXPECT_EQ(recorder->properties(), (std::vector<Set>{{"32900", "COM201"}, {"32900", "COM202"}}));
    ::unsetenv("VELA_COM_DIR");
}

TEST_F(MsgServerTest, WithoutAMobileServerNoPortIsHandedAndNothingFails) {
    host::MobileMsgServer::unregister();
    RCPtr<equip::EquipmentInfo> info(new equip::EquipmentInfo());
    RCPtr<vela::ATChannelInfo> at(new vela::ATChannelInfo());
    at->setPortName("/nonexistent-vela-tty");
    info->addChannelInfo(at);
    ASSERT_EQ(source->SetDataSourceInfo(info.get()), S_OK);
    EXPECT_EQ(source->CreateEquipments(info.get()), S_OK);
    // An info without channels creates its equipment and hands nothing.
    EXPECT_EQ(
        source->CreateEquipments(RCPtr<equip::EquipmentInfo>(new equip::EquipmentInfo()).get()),
        S_OK);
}

TEST(Vela_MsgServer, ClassifiesPhonesFoundOverAT) {
    RCPtr<vela::Vela_MsgServer> server(new vela::Vela_MsgServer());
    struct Case {
        const char* model;
        const char* product;
        const GUID* identity;
    } cases[] = {
        {"V100", "Vela phone", &vela::ModelIdentity1},
        {"V320", "Vela phone", &vela::ModelIdentity3},
        {"V700", "", &vela::ModelIdentity7},
        {"V100", "Prototype", &vela::ModelIdentityPrototype},
        {"X999", "Vela phone", &vela::ModelIdentity7},  // an unknown model: the last family
        {"", "", &vela::ModelIdentity7},
    };
    for (const Case& c : cases) {
        equip::EquipmentInfo info;
        info.model = c.model;
        info.product = c.product;
        server->classifyModel(&info);
        EXPECT_EQ(info.getClassIdentity(), *c.identity) << c.model << " " << c.product;
    }
    server->classifyModel(nullptr);
}

}  // namespace
