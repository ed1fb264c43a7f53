#include "equipment/Vela_MsgServer.h"

#include "equipment/ModelTables.h"

namespace vela {

core::RCPtr<dsrc::DataProvider> Vela_MsgServer::createDataProvider(int mode) {
    return dsrc::EquipmentClient::createDataProvider(mode);
}

core::RCPtr<dsrc::DataDecoder> Vela_MsgServer::createDataDecoder(
    const dsrc::DataSourceChannelInfo* channel) {
    return dsrc::EquipmentClient::createDataDecoder(channel);
}

void Vela_MsgServer::classifyModel(equip::EquipmentInfo* info) {
    if (!info)
        return;
    if (info->product == kPrototypeProduct) {
        info->setClassIdentity(*modelFamily(6).identity);
        return;
    }
    const ModelFamily* family = findFamilyByModel(info->model);
    info->setClassIdentity(*(family ? family : &modelFamily(7))->identity);
}

}  // namespace vela
