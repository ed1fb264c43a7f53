#include "transport/ATChannelInfo.h"

namespace vela {

ATChannelInfo::ATChannelInfo() : equip::EquipmentChannelInfo(dsrc::CHANNEL_TYPE_AT) {
    setVisible(false);
    setSelected(false);
}

ATChannelInfo::ATChannelInfo(const ATChannelInfo& other) = default;

ATChannelInfo& ATChannelInfo::operator=(const ATChannelInfo& other) = default;

ATChannelInfo::~ATChannelInfo() = default;

}  // namespace vela
