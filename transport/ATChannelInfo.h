// The channel info of the AT channel (channel type 7): the phone's modem port. The host does
// not show it and it is not selected.
#pragma once

#include "framework/equip/EquipmentInfo.h"

namespace vela {

class ATChannelInfo : public equip::EquipmentChannelInfo {
  public:
    ATChannelInfo();
    ATChannelInfo(const ATChannelInfo& other);
    ATChannelInfo& operator=(const ATChannelInfo& other);
    ~ATChannelInfo() override;

    static core::Object* createObject() { return new ATChannelInfo(); }

    // A copy keeps the class, so that a copied info is still an AT channel info.
    core::Object* copy() const override { return new ATChannelInfo(*this); }
};

}  // namespace vela
