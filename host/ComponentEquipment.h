// The component's objects for one phone, made as a host makes them: the detector's description
// of the device, the component's data source (with a recorder as its sink, fed by the
// component's decoders) and the equipment the data source creates, with the framework's view
// of its channels. Also the activation of the TVP and print-server channels, their
// deactivation, and the release of it all, which must come before the plug-in is unloaded.
#pragma once

#include <string>

#include "framework/combase/EEInterfaces.h"
#include "framework/eqbase/Equipment.h"
#include "host/Recorder.h"

namespace host {

struct ComponentEquipment {
    core::RCPtr<equip::EquipmentInfo> info;
    CComPtr<IEEDataSource> dataSource;
    CComPtr<IEEEquipment> equipment;
    core::RCPtr<eqbase::Equipment> framework;
    core::RCPtr<eqbase::Channel> tvp;
    core::RCPtr<eqbase::Channel> print;  // empty when the phone has no print server
    core::RCPtr<eqbase::Channel> at;     // empty when the phone has no AT port

    // The description of the device by the first detector that knows it, or none.
    static core::RCPtr<equip::EquipmentInfo> describe(const equip::DeviceInfoData& device);

    // Describes the device with the first detector that knows it, makes the data source and
    // its equipment, gives the recorder the component's decoders and makes it the data
    // source's sink, and the observer the equipment's channel observer. False with a message.
    bool create(const equip::DeviceInfoData& device, Recorder& recorder,
                eqbase::ChannelObserver& observer, std::string& error);
    // Activates the TVP channel (false with a message when it refuses) and the print-server
    // channel when there is one. The session is up once the TVP channel reports state 3.
    bool activate(std::string& error);
    void deactivate();
    // Releases the component's objects: the recorder's decoders, the channels, the equipment,
    // the data source and the infos (they hold channel infos of the plug-in's classes).
    void release(Recorder* recorder);
};

}  // namespace host
