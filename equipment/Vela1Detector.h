// The detector of Vela phones that the host sees as devices with several ports, each with a
// role: which port becomes which channel, and which model family the phone belongs to.
#pragma once

#include <string>

#include "framework/eqbase/EquipmentDetector.h"

namespace vela {

// "NOR_" followed by the name: the key detectors are registered under.
std::string norKey(const std::string& name);

class Vela1Detector : public eqbase::EquipmentDetector {
  public:
    Vela1Detector();
    static core::Object* createObject() { return new Vela1Detector(); }

    core::RCPtr<equip::EquipmentInfo> createEquipmentInfo(const equip::DeviceInfoData& device,
                                                          void* context) override;
    bool updateInfo(equip::EquipmentInfo& info, const equip::DeviceInfoData& device,
                    void* context) override;
    core::RCPtr<dsrc::DataSourceChannelInfo> createChannelInfo(const std::string& role) override;
};

}  // namespace vela
