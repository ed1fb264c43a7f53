#include "equipment/Vela1Detector.h"

#include "equipment/ModelTables.h"
#include "equipment/VelaGuids.h"
#include "transport/ATChannelInfo.h"

namespace vela {

using core::RCPtr;

std::string norKey(const std::string& name) {
    return "NOR_" + name;
}

Vela1Detector::Vela1Detector() : eqbase::EquipmentDetector(norKey("Vela1")) {}

RCPtr<equip::EquipmentInfo> Vela1Detector::createEquipmentInfo(const equip::DeviceInfoData& device,
                                                               void* context) {
    RCPtr<equip::EquipmentInfo> info =
        eqbase::EquipmentDetector::createEquipmentInfo(device, context);
    // Every phone with a TVP channel also has a print-server channel.
    if (info && info->getChannelInfo(dsrc::CHANNEL_TYPE_TVP))
        info->addChannelInfo(new equip::EquipmentChannelInfo(dsrc::CHANNEL_TYPE_PRINT_SERVER));
    return info;
}

bool Vela1Detector::updateInfo(equip::EquipmentInfo& info, const equip::DeviceInfoData& device,
                               void* context) {
    if (!eqbase::EquipmentDetector::updateInfo(info, device, context))
        return false;
    const GUID* identity = &CLSID_VelaComponent;
    if (device.product == kPrototypeProduct) {
        identity = modelFamily(6).identity;
    } else if (const ModelFamily* family = findFamilyByProductId(device.productId)) {
        identity = family->identity;
    }
    info.setClassIdentity(*identity);
    return true;
}

RCPtr<dsrc::DataSourceChannelInfo> Vela1Detector::createChannelInfo(const std::string& role) {
    if (role == "Modem")
        return RCPtr<dsrc::DataSourceChannelInfo>(
            new equip::EquipmentChannelInfo(dsrc::CHANNEL_TYPE_TVP));
    if (role == "Data Modem")
        return RCPtr<dsrc::DataSourceChannelInfo>(
            new equip::EquipmentChannelInfo(dsrc::CHANNEL_TYPE_DATA_MODEM));
    if (role == "Device Management")
        return RCPtr<dsrc::DataSourceChannelInfo>(new ATChannelInfo());
    return {};
}

}  // namespace vela
