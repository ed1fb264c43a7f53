#include "framework/eqbase/EEEquipment.h"

#include "framework/combase/ComponentATL.h"
#include "framework/core/Request.h"

using core::RCPtr;

HRESULT EEEquipment::FinalConstruct() {
    m_equipment = createEquipment();
    if (!m_equipment)
        return E_FAIL;
    if (!m_equipment->startWorkThread()) {
        m_equipment->stopWorkThread();
        m_equipment.reset();
        return E_FAIL;
    }
    return S_OK;
}

void EEEquipment::FinalRelease() {
    Terminate();
}

STDMETHODIMP EEEquipment::SetEquipmentInfo(core::RCObject* info) {
    auto equipmentInfo = core::rcCast<equip::EquipmentInfo>(info);
    if (!m_equipment)
        return E_UNEXPECTED;
    if (info && !equipmentInfo)
        return E_INVALIDARG;
    return m_equipment->setEquipmentInfo(equipmentInfo) ? S_OK : E_FAIL;
}

STDMETHODIMP EEEquipment::SetDataSourceSink(core::RCObject* sink) {
    if (!m_equipment)
        return E_UNEXPECTED;
    m_equipment->setDataSourceSink(core::rcCast<dsrc::DataSourceSink>(sink));
    return S_OK;
}

STDMETHODIMP EEEquipment::SetChannelObserver(core::RCObject* observer) {
    if (!m_equipment)
        return E_UNEXPECTED;
    m_equipment->setChannelObserver(core::rcCast<eqbase::ChannelObserver>(observer));
    return S_OK;
}

STDMETHODIMP EEEquipment::ActivateChannel(REFGUID channel, VARIANT_BOOL* activated) {
    if (!m_equipment)
        return E_UNEXPECTED;
    bool ok = static_cast<bool>(m_equipment->activateChannel(channel));
    if (activated)
        *activated = ok ? VARIANT_TRUE : VARIANT_FALSE;
    return ok ? S_OK : S_FALSE;
}

STDMETHODIMP EEEquipment::DeactivateChannel(REFGUID channel) {
    if (!m_equipment)
        return E_UNEXPECTED;
    return m_equipment->deactivateChannel(channel) ? S_OK : E_FAIL;
}

STDMETHODIMP EEEquipment::DoRequest(core::RCObject* request, core::RCObject** response) {
    if (response)
        *response = nullptr;
    auto r = core::rcCast<core::Request>(request);
    if (!m_equipment)
        return E_UNEXPECTED;
    if (!r)
        return E_INVALIDARG;
    RCPtr<core::Response> answer;
    if (!m_equipment->request(r, &answer))
        return E_FAIL;
    if (response && answer)
        *response = answer.detach();
    return S_OK;
}

STDMETHODIMP EEEquipment::GetEquipment(core::RCObject** equipment) {
    if (!equipment)
        return E_POINTER;
    *equipment = nullptr;
    if (!m_equipment)
        return E_UNEXPECTED;
    m_equipment->addref();
    *equipment = m_equipment.get();
    return S_OK;
}

STDMETHODIMP EEEquipment::GetEquipmentGuid(GUID* identity) {
    if (!identity)
        return E_POINTER;
    *identity = getEquipmentGuid();
    return S_OK;
}

STDMETHODIMP EEEquipment::Terminate() {
    RCPtr<eqbase::Equipment> equipment = std::move(m_equipment);
    if (equipment)
        equipment->stopWorkThread();
    return S_OK;
}

STDMETHODIMP EEEquipment::SetProperty(VARIANT key, VARIANT value) {
    if (!m_equipment)
        return E_UNEXPECTED;
    return m_equipment->setProperty(EEPropertiesATL::keyText(key), _bstr_t(value).utf8()) ? S_OK
                                                                                          : E_FAIL;
}

STDMETHODIMP EEEquipment::GetProperty(VARIANT key, VARIANT* value) {
    if (!value)
        return E_POINTER;
    if (!m_equipment)
        return E_UNEXPECTED;
    std::string text;
    if (!m_equipment->getProperty(EEPropertiesATL::keyText(key), text))
        return DISP_E_MEMBERNOTFOUND;
    VariantInit(value);
    *value = _variant_t(text.c_str()).Detach();
    return S_OK;
}
