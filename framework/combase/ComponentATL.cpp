#include "framework/combase/ComponentATL.h"

#include <algorithm>

#include "framework/core/Trace.h"

namespace combase {

STDMETHODIMP EEBaseComponentATL::GetProgID(BSTR* progId) {
    if (!progId)
        return E_POINTER;
    *progId = _bstr_t(getProgID()).Detach();
    return S_OK;
}

STDMETHODIMP EEBaseComponentATL::GetCLSID(CLSID* clsid) {
    if (!clsid)
        return E_POINTER;
    *clsid = getCLSID();
    return S_OK;
}

STDMETHODIMP EEBaseComponentATL::SetTraceState(VARIANT_BOOL active, VARIANT_BOOL cipher,
                                               LONG reserved) {
    setTraceState(active != VARIANT_FALSE, cipher != VARIANT_FALSE, reserved);
    return S_OK;
}

STDMETHODIMP EEBaseComponentATL::IsTraceStateSet(VARIANT_BOOL* active) {
    if (!active)
        return E_POINTER;
    *active = isTraceStateSet() ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

void EEBaseComponentATL::setTraceState(bool active, bool cipher, long) {
    core::ToggleTrace::setActive(active);
    core::FormatTrace::setCipher(cipher);
}

bool EEBaseComponentATL::isTraceStateSet() const {
    return core::ToggleTrace::isActiveFlagSet();
}

}  // namespace combase

std::string EEPropertiesATL::keyText(const VARIANT& key) {
    if (key.vt == VT_BSTR)
        return _bstr_t(key).utf8();
    _variant_t number;
    if (SUCCEEDED(VariantChangeType(&number, &key, 0, VT_I4)))
        return std::to_string(number.lVal);
    return {};
}

STDMETHODIMP EEPropertiesATL::SetProperty(VARIANT key, VARIANT value) {
    std::string k = keyText(key);
    if (k.empty())
        return E_INVALIDARG;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_properties[k] = _variant_t(value);
    return S_OK;
}

STDMETHODIMP EEPropertiesATL::GetProperty(VARIANT key, VARIANT* value) {
    if (!value)
        return E_POINTER;
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_properties.find(keyText(key));
    if (it == m_properties.end())
        return DISP_E_MEMBERNOTFOUND;
    VariantInit(value);
    return VariantCopy(value, &it->second);
}

STDMETHODIMP EEPersistStreamInitATL::GetClassID(CLSID* clsid) {
    return GetCLSID(clsid);
}

STDMETHODIMP EEBackplaneComponentATL::GetName(BSTR* name) {
    return GetProgID(name);
}

STDMETHODIMP EEPipeByteATL::Push(BYTE* bytes, ULONG count) {
    if (!bytes && count)
        return E_POINTER;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bytes.insert(m_bytes.end(), bytes, bytes + count);
    return S_OK;
}

STDMETHODIMP EEPipeByteATL::Pull(BYTE* bytes, ULONG capacity, ULONG* count) {
    if (!count || (!bytes && capacity))
        return E_POINTER;
    std::lock_guard<std::mutex> lock(m_mutex);
    ULONG n = static_cast<ULONG>(std::min<std::size_t>(capacity, m_bytes.size()));
    std::copy(m_bytes.begin(), m_bytes.begin() + n, bytes);
    m_bytes.erase(m_bytes.begin(), m_bytes.begin() + n);
    *count = n;
    return n ? S_OK : S_FALSE;
}
