#include "equipment/Component.h"

#include <iterator>
#include <string>

#include "decoding/PrintServerChannel.h"
#include "decoding/PrintServerDecoder.h"
#include "decoding/PrintServerDecoderFrame.h"
#include "decoding/TVPDecoder.h"
#include "equipment/EEVela_MsgServer.h"
#include "equipment/Vela1Detector.h"
#include "equipment/VelaEquipment.h"
#include "equipment/VelaGuids.h"
#include "framework/core/ComponentCount.h"
#include "framework/eqbase/Equipment.h"
#include "framework/eqbase/EquipmentDetector.h"
#include "platform/win32/Export.h"
#include "platform/win32/Library.h"
#include "protocol/CommonControl.h"
#include "protocol/TvpTestCodeArgument.h"
#include "protocol/TvpTestCodeArguments.h"
#include "session/TVP.h"
#include "transport/ATChannel.h"
#include "transport/ATChannelInfo.h"
#include "transport/StringRCObjectReq.h"

namespace vela {

namespace {

ATL::CAtlModule* g_module = nullptr;

template <class T>
core::Object* make() {
    return new T();
}

// The framework classes of the component, registered by run-time type name. The two decoders
// are registered too: the host cannot link the component and makes them by name.
struct FrameworkClass {
    const char* name;
    core::Object::Creator creator;
};
const FrameworkClass kClasses[] = {
    {"vela::StringRCObjectReq", &make<StringRCObjectReq>},
    {"vela::TVP", &TVP::createObject},
    {"vela::CommonControl", &CommonControl::createObject},
    {"vela::CommonControlIE", &CommonControlIE::createObject},
    {"vela::TvpTestCodeArgument", &TvpTestCodeArgument::createObject},
    {"vela::TvpTestCodeArguments", &TvpTestCodeArguments::createObject},
    {"vela::PrintServerChannel", &PrintServerChannel::createObject},
    {"vela::PrintServerDecoderFrame", &PrintServerDecoderFrame::createObject},
    {"vela::ATChannel", &ATChannel::createObject},
    {"vela::ATChannelInfo", &ATChannelInfo::createObject},
    {"vela::TVPDecoder", &make<TVPDecoder>},
    {"vela::PrintServerDecoder", &make<PrintServerDecoder>},
};

const std::string kDetectorKey = norKey("Vela1");

// Static construction and destruction of the library stand for its start-up and shut-down.
struct Registrations {
    Registrations() {
        core::Object::registerClass("EEVelaEquipment", &EEVelaEquipmentCreatorClass::createObject);
        eqbase::CLSIDToEquipment::instance().addItem(CLSID_VelaComponent, "EEVelaEquipment");
        eqbase::EquipmentDetector::registerClass(kDetectorKey, &Vela1Detector::createObject, 0);
        for (auto& c : kClasses)
            core::Object::registerClass(c.name, c.creator);
        core::Object::registerClass("EEVela_MsgServer",
                                    &EEVela_MsgServerCreatorClass::createObject);
        dsrc::CLSIDToDataSource::instance().addItem(CLSID_VelaComponent, "EEVela_MsgServer");
    }
    ~Registrations() {
        dsrc::CLSIDToDataSource::instance().removeItem(CLSID_VelaComponent);
        core::Object::unRegisterClass("EEVela_MsgServer");
        for (auto it = std::rbegin(kClasses); it != std::rend(kClasses); ++it)
            core::Object::unRegisterClass(it->name);
        eqbase::EquipmentDetector::unRegisterClass(kDetectorKey, 0);
        eqbase::CLSIDToEquipment::instance().removeItem(CLSID_VelaComponent);
        core::Object::unRegisterClass("EEVelaEquipment");
        // No worker still runs the library's code once it is gone. The last component
        // release did this already; objects and workers released after it are waited for
        // here. Not where the loader lock held while a library unloads keeps a thread from
        // ending (Windows): a wait there never returns.
        if (platform::threadsEndWhileUnloading())
            core::ComponentCount::endThreads();
    }
} g_registrations;

}  // namespace

ATL::CAtlModule* hostModule() {
    return g_module;
}

}  // namespace vela

extern "C" {

PLATFORM_EXPORT bool Norda_Equipment(ATL::CAtlModule* module) {
    if (!vela::g_module) {
        vela::g_module = module;
        eqbase::ATLModuleRegistratorHelper::instance().setATLModule(module);
    }
    return true;
}

PLATFORM_EXPORT bool Norda_DataSource(ATL::CAtlModule* module) {
    if (!vela::g_module)
        vela::g_module = module;
    return true;
}
}
