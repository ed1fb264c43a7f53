#include "equipment/EEVela_MsgServer.h"

#include "equipment/ModelTables.h"
#include "equipment/VelaGuids.h"
#include "equipment/Vela_MsgServer.h"
#include "framework/core/Trace.h"

namespace vela {

using core::RCPtr;

std::string EEVela_MsgServer::getProgID() const {
    return "Brannock.Norda.EEVela_MsgServer";
}

CLSID EEVela_MsgServer::getCLSID() const {
    return CLSID_VelaComponent;
}

void EEVela_MsgServer::setTraceState(bool active, bool cipher, long) {
    core::ToggleTrace::setActive(active);
    core::FormatTrace::setCipher(cipher);
}

bool EEVela_MsgServer::isTraceStateSet() const {
    return core::ToggleTrace::isActiveFlagSet();
}

void EEVela_MsgServer::setDataSourceInfo(const RCPtr<dsrc::DataSourceInfo>& info) {
    dsrc::EEMsgServerWrapperWithATDetect::setDataSourceInfo(info);
    if (!info)
        return;
    const ModelFamily* family = findFamilyByIdentity(info->getClassIdentity());
    // An identity of no family takes the prototype's message server.
    setMobileCLSID(*(family ? family : &modelFamily(6))->msgServer);
    setDataCLSID(CLSID_DataComponent);
}

RCPtr<dsrc::DataSource> EEVela_MsgServer::createDataSource() {
    return new Vela_MsgServer();
}

void EEVela_MsgServer::createEquipments(const RCPtr<equip::EquipmentInfo>& info) {
    dsrc::EEMsgServerWrapperWithATDetect::createEquipments(info);
    if (!info || info->getChannelInfos().empty())
        return;
    for (auto& channel : info->getChannelInfos()) {
        auto* at = dynamic_cast<equip::EquipmentChannelInfo*>(channel.get());
        if (!at || at->getChannelType() != dsrc::CHANNEL_TYPE_AT)
            continue;
        CComQIPtr<IEEProperties> properties(getMobileMsgServer());
        if (!properties)
            continue;
        HRESULT hr = properties->SetProperty(_variant_t(kPropertyATPortName),
                                             _variant_t(at->getPortName().c_str()));
        if (FAILED(hr))
            _com_issue_error(hr);
    }
}

std::string EEVela_MsgServer::getFamilyName() const {
    return "Vela";
}

}  // namespace vela

namespace vela {
bool EEVela_MsgServerCreatorClass::create(IUnknown** out) {
    return combase::createComObject<EEVela_MsgServer, IEEDataSource>(out);
}
}  // namespace vela
