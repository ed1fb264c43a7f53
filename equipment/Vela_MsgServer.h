// The component's internal data source: the framework's equipment client, and the model
// classification of phones found through an AT dialogue.
#pragma once

#include "framework/dsrc/DataSource.h"

namespace vela {

class Vela_MsgServer : public dsrc::EquipmentClientWithATDetect {
  public:
    core::RCPtr<dsrc::DataProvider> createDataProvider(int mode) override;
    core::RCPtr<dsrc::DataDecoder> createDataDecoder(
        const dsrc::DataSourceChannelInfo* channel) override;
    // Prototype by product name; otherwise by model number, and the last family for a
    // model that is in no row.
    void classifyModel(equip::EquipmentInfo* info) override;
};

}  // namespace vela
