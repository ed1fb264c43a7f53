#include "framework/dsrc/EEDataSource.h"

#include "framework/core/Trace.h"
#include "framework/eqbase/Equipment.h"

namespace dsrc {

using core::RCPtr;

STDMETHODIMP EEDataSource::SetDataSourceInfo(core::RCObject* info) {
    setDataSourceInfo(core::rcCast<DataSourceInfo>(info));
    return S_OK;
}

STDMETHODIMP EEDataSource::CreateEquipments(core::RCObject* info) {
    auto equipmentInfo = core::rcCast<equip::EquipmentInfo>(info);
    if (!equipmentInfo)
        return E_INVALIDARG;
    try {
        createEquipments(equipmentInfo);
    } catch (const _com_error& e) {
        return e.Error();
    }
    return S_OK;
}

STDMETHODIMP EEDataSource::GetEquipmentCount(ULONG* count) {
    if (!count)
        return E_POINTER;
    std::lock_guard<std::mutex> lock(m_mutex);
    *count = static_cast<ULONG>(m_equipments.size());
    return S_OK;
}

STDMETHODIMP EEDataSource::GetEquipment(ULONG index, IEEEquipment** equipment) {
    if (!equipment)
        return E_POINTER;
    *equipment = nullptr;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (index >= m_equipments.size())
        return E_INVALIDARG;
    *equipment = m_equipments[index];
    (*equipment)->AddRef();
    return S_OK;
}

STDMETHODIMP EEDataSource::SetDataSourceSink(core::RCObject* sink) {
    auto s = core::rcCast<DataSourceSink>(sink);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_hostSink = s;
    if (m_dataSource)
        m_dataSource->setSink(s);
    return S_OK;
}

STDMETHODIMP EEDataSource::GetMobileCLSID(CLSID* clsid) {
    if (!clsid)
        return E_POINTER;
    *clsid = getMobileCLSIDValue();
    return S_OK;
}

STDMETHODIMP EEDataSource::GetDataCLSID(CLSID* clsid) {
    if (!clsid)
        return E_POINTER;
    std::lock_guard<std::mutex> lock(m_mutex);
    *clsid = m_dataCLSID;
    return S_OK;
}

CLSID EEDataSource::getMobileCLSIDValue() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_mobileCLSID;
}

void EEDataSource::setMobileCLSIDValue(const CLSID& clsid) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_mobileCLSID = clsid;
}

void EEDataSource::setDataCLSIDValue(const CLSID& clsid) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_dataCLSID = clsid;
}

STDMETHODIMP EEDataSource::GetFamilyName(BSTR* name) {
    if (!name)
        return E_POINTER;
    *name = _bstr_t(getFamilyName()).Detach();
    return S_OK;
}

STDMETHODIMP EEDataSource::ReleaseEquipments() {
    std::vector<CComPtr<IEEEquipment>> all;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        all.swap(m_equipments);
    }
    for (auto& e : all)
        e->Terminate();
    return S_OK;
}

void EEDataSource::FinalRelease() {
    ReleaseEquipments();
}

void EEDataSource::setDataSourceInfo(const RCPtr<DataSourceInfo>& info) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_info = info;
}

void EEDataSource::createEquipments(const RCPtr<equip::EquipmentInfo>&) {}

const RCPtr<DataSource>& EEDataSource::getDataSource() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_dataSource) {
        m_dataSource = createDataSource();
        if (m_dataSource)
            m_dataSource->setSink(m_hostSink);
    }
    return m_dataSource;
}

void EEDataSource::addEquipment(IEEEquipment* equipment) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_equipments.emplace_back(equipment);
}

std::vector<CComPtr<IEEEquipment>> EEDataSource::equipments() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_equipments;
}

void EEEquipmentClient::createEquipments(const RCPtr<equip::EquipmentInfo>& info) {
    std::string name;
    if (!eqbase::CLSIDToEquipment::instance().find(getCLSID(), name)) {
        core::ToggleTrace(20, "EEEquipmentClient::createEquipments no equipment class for %s\n",
                          core::EGUID(getCLSID()).stringValue().c_str());
        return;
    }
    core::Object* made = core::Object::createObject(name);
    auto* creator = dynamic_cast<core::CreatorClass*>(made);
    if (!creator) {
        delete made;
        core::ToggleTrace(20, "EEEquipmentClient::createEquipments no creator named %s\n",
                          name.c_str());
        return;
    }
    IUnknown* unknown = nullptr;
    bool ok = creator->create(&unknown);
    delete creator;
    CComQIPtr<IEEEquipment> equipment(unknown);
    if (unknown)
        unknown->Release();
    if (!ok || !equipment) {
        core::ToggleTrace(20, "EEEquipmentClient::createEquipments %s could not be made\n",
                          name.c_str());
        return;
    }
    equipment->SetDataSourceSink(getDataSource().get());
    equipment->SetEquipmentInfo(info.get());
    addEquipment(equipment);
}

IUnknown* EEMsgServerWrapper::getMobileMsgServer() {
    const CLSID wanted = getMobileCLSIDValue();
    std::lock_guard<std::mutex> lock(m_serverMutex);
    if (!m_mobileServer || m_serverFor != wanted) {
        m_mobileServer.Release();
        IUnknown* server = nullptr;
        if (SUCCEEDED(CoCreateInstance(wanted, nullptr, CLSCTX_ALL, IID_IUnknown,
                                       reinterpret_cast<void**>(&server)))) {
            m_mobileServer.Attach(server);
            m_serverFor = wanted;
        }
    }
    return m_mobileServer;
}

void EEMsgServerWrapper::FinalRelease() {
    EEDataSource::FinalRelease();
    std::lock_guard<std::mutex> lock(m_serverMutex);
    m_mobileServer.Release();
}

void EEMsgServerWrapperWithATDetect::setDataSourceInfo(const RCPtr<DataSourceInfo>& info) {
    EEMsgServerWrapper::setDataSourceInfo(info);
}

}  // namespace dsrc
