// The component's data source as the host sees it (ProgID "Brannock.Norda.EEVela_MsgServer"):
// chooses the host's mobile message server and data component for the phone's model family,
// creates the equipment objects and hands the AT port name to the mobile message server.
#pragma once

#include "framework/dsrc/EEDataSource.h"

namespace vela {

class EEVela_MsgServer : public dsrc::EEMsgServerWrapperWithATDetect {
  protected:
    std::string getProgID() const override;
    CLSID getCLSID() const override;
    void setTraceState(bool active, bool cipher, long reserved) override;
    bool isTraceStateSet() const override;
    void setDataSourceInfo(const core::RCPtr<dsrc::DataSourceInfo>& info) override;
    core::RCPtr<dsrc::DataSource> createDataSource() override;
    void createEquipments(const core::RCPtr<equip::EquipmentInfo>& info) override;
    std::string getFamilyName() const override;
};

}  // namespace vela

namespace vela {
class EEVela_MsgServerCreatorClass : public core::CreatorClass {
  public:
    static core::Object* createObject() { return new EEVela_MsgServerCreatorClass(); }
    bool create(IUnknown** out) override;
};
}  // namespace vela
