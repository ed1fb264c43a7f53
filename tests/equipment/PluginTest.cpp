// The plug-in loaded as a host loads it: every registration is made while it loads and undone
// while it unloads, and its entry points take the host's module.
#include <gtest/gtest.h>

#include "equipment/VelaGuids.h"
#include "framework/core/RCObject.h"
#include "framework/dsrc/DataSourceInfo.h"
#include "framework/eqbase/Equipment.h"
#include "framework/eqbase/EquipmentDetector.h"
#include "platform/com/AtlBase.h"
#include "platform/win32/Library.h"

namespace {

// The names a host reaches the component by.
const char* const kClassNames[] = {
    "EEVelaEquipment",
    "EEVela_MsgServer",
    "vela::TVP",
    "vela::PrintServerChannel",
    "vela::ATChannel",
    "vela::ATChannelInfo",
    "vela::StringRCObjectReq",
    "vela::TVPDecoder",
    "vela::PrintServerDecoder",
    "vela::PrintServerDecoderFrame",
    "vela::CommonControl",
    "vela::TvpTestCodeArguments",
};

struct Registered {
    int classes = 0;
    bool equipment = false;
    bool dataSource = false;
    bool detector = false;
};

Registered registered() {
    Registered r;
    for (const char* name : kClassNames)
        r.classes += core::Object::isClassRegistered(name);
    std::string name;
    r.equipment = eqbase::CLSIDToEquipment::instance().find(vela::CLSID_VelaComponent, name) &&
                  name == "EEVelaEquipment";
    r.dataSource = dsrc::CLSIDToDataSource::instance().find(vela::CLSID_VelaComponent, name) &&
                   name == "EEVela_MsgServer";
    for (auto& key : eqbase::EquipmentDetector::getKeys(0))
        r.detector |= key == "NOR_Vela1";
    return r;
}

using EntryPoint = bool (*)(ATL::CAtlModule*);

class HostModule : public ATL::CAtlModule {};

TEST(Plugin, LoadingRegistersEverythingAndUnloadingUndoesIt) {
    Registered before = registered();
    EXPECT_EQ(before.classes, 0);
    EXPECT_FALSE(before.equipment || before.dataSource || before.detector);

    std::string error;
    platform::LibraryHandle library = platform::loadLibrary(VELA_PLUGIN_PATH, error);
    ASSERT_NE(library, nullptr) << error;
    Registered loaded = registered();
    EXPECT_EQ(loaded.classes, static_cast<int>(std::size(kClassNames)));
    EXPECT_TRUE(loaded.equipment);
    EXPECT_TRUE(loaded.dataSource);
    EXPECT_TRUE(loaded.detector);

    auto equipment =
        reinterpret_cast<EntryPoint>(platform::librarySymbol(library, "Norda_Equipment"));
    auto dataSource =
        reinterpret_cast<EntryPoint>(platform::librarySymbol(library, "Norda_DataSource"));
    ASSERT_NE(equipment, nullptr);
    ASSERT_NE(dataSource, nullptr);
    HostModule module;
    EXPECT_TRUE(equipment(&module));
    EXPECT_TRUE(dataSource(&module));
    EXPECT_EQ(eqbase::ATLModuleRegistratorHelper::instance().getATLModule(), &module);

    // The detector made through the registry is the component's.
    auto detector = eqbase::EquipmentDetector::create("NOR_Vela1", 0);
    ASSERT_TRUE(detector);
    EXPECT_EQ(detector->getName(), "NOR_Vela1");
    detector.reset();

    ASSERT_TRUE(platform::freeLibrary(library));
    Registered after = registered();
    EXPECT_EQ(after.classes, 0);
    EXPECT_FALSE(after.equipment || after.dataSource || after.detector);

    // Loaded again, the component registers again.
    library = platform::loadLibrary(VELA_PLUGIN_PATH, error);
    ASSERT_NE(library, nullptr) << error;
    EXPECT_EQ(registered().classes, static_cast<int>(std::size(kClassNames)));
    ASSERT_TRUE(platform::freeLibrary(library));
    EXPECT_EQ(registered().classes, 0);
}

}  // namespace
