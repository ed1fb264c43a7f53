#include "host/MobileMsgServer.h"

#include <map>

#include "equipment/VelaGuids.h"
#include "framework/combase/ComponentATL.h"

namespace host {

namespace {

std::mutex g_instancesMutex;
// One object per registered CLSID, made on its first creation.
std::map<CLSID, CComPtr<IEEProperties>>& instances() {
    static auto* map = new std::map<CLSID, CComPtr<IEEProperties>>;
    return *map;
}
std::vector<CLSID>& registeredClsids() {
    static auto* list = new std::vector<CLSID>;
    return *list;
}

std::string valueText(const VARIANT& value) {
    if (value.vt == VT_BSTR)
        return _bstr_t(value).utf8();
    _variant_t text;
    if (SUCCEEDED(VariantChangeType(&text, &value, 0, VT_BSTR)))
        return _bstr_t(text).utf8();
    return {};
}

}  // namespace

STDMETHODIMP MobileMsgServer::SetProperty(VARIANT key, VARIANT value) {
    std::string k = EEPropertiesATL::keyText(key);
    if (k.empty())
        return E_INVALIDARG;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_properties.emplace_back(k, valueText(value));
    return S_OK;
}

STDMETHODIMP MobileMsgServer::GetProperty(VARIANT key, VARIANT* value) {
    if (!value)
        return E_POINTER;
    std::string k = EEPropertiesATL::keyText(key);
    std::lock_guard<std::mutex> lock(m_mutex);
    // The latest value set under the key.
    for (auto it = m_properties.rbegin(); it != m_properties.rend(); ++it) {
        if (it->first != k)
            continue;
        VariantInit(value);
        _variant_t text(it->second.c_str());
        return VariantCopy(value, &text);
    }
    return DISP_E_MEMBERNOTFOUND;
}

std::vector<std::pair<std::string, std::string>> MobileMsgServer::properties() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_properties;
}

bool MobileMsgServer::registerForComponent() {
    return registerFor({vela::CLSID_MobileMsgServer1, vela::CLSID_MobileMsgServer2,
                        vela::CLSID_MobileMsgServer3, vela::CLSID_MobileMsgServer4,
                        vela::CLSID_MobileMsgServer5, vela::CLSID_MobileMsgServerPrototype,
                        vela::CLSID_MobileMsgServer7});
}

bool MobileMsgServer::registerFor(const std::vector<CLSID>& clsids) {
    bool ok = true;
    for (const CLSID& clsid : clsids) {
        bool added = platform::com::registerClass(
            clsid, CLSCTX_ALL, [clsid](IUnknown* outer, REFIID iid, void** ppv) -> HRESULT {
                if (!ppv)
                    return E_POINTER;
                *ppv = nullptr;
                if (outer)
                    return CLASS_E_NOAGGREGATION;
                std::lock_guard<std::mutex> lock(g_instancesMutex);
                CComPtr<IEEProperties>& object = instances()[clsid];
                if (!object) {
                    ATL::CComObject<MobileMsgServer>* made = nullptr;
                    HRESULT hr = ATL::CComObject<MobileMsgServer>::CreateInstance(&made);
                    if (FAILED(hr))
                        return hr;
                    object = made;
                }
                return object->QueryInterface(iid, ppv);
            });
        if (added) {
            std::lock_guard<std::mutex> lock(g_instancesMutex);
            registeredClsids().push_back(clsid);
        }
        ok &= added;
    }
    return ok;
}

void MobileMsgServer::unregister() {
    std::vector<CLSID> clsids;
    std::map<CLSID, CComPtr<IEEProperties>> objects;
    {
        std::lock_guard<std::mutex> lock(g_instancesMutex);
        clsids.swap(registeredClsids());
        objects.swap(instances());
    }
    for (const CLSID& clsid : clsids)
        platform::com::unregisterClass(clsid);
    // The objects are released here, outside the lock.
}

CComPtr<IEEProperties> MobileMsgServer::instanceFor(const CLSID& clsid) {
    std::lock_guard<std::mutex> lock(g_instancesMutex);
    auto it = instances().find(clsid);
    return it == instances().end() ? CComPtr<IEEProperties>() : it->second;
}

}  // namespace host
