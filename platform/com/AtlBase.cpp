#include "platform/com/AtlBase.h"

namespace ATL {

CAtlModule* _pAtlModule = nullptr;

CAtlModule::CAtlModule() noexcept {
    if (!_pAtlModule)
        _pAtlModule = this;
}

CAtlModule::~CAtlModule() {
    if (_pAtlModule == this)
        _pAtlModule = nullptr;
}

HRESULT AtlInternalQueryInterface(void* object, const _ATL_INTMAP_ENTRY* entries, REFIID iid,
                                  void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (!object || !entries)
        return E_INVALIDARG;
    if (iid == IID_IUnknown) {
        // The identity: always the first entry's interface.
        if (entries->unknown) {
            IUnknown* unk = entries->unknown(object);
            unk->AddRef();
            *ppv = unk;
            return S_OK;
        }
        if (entries->chain)
            return entries->chain(object, iid, ppv);
        return E_NOINTERFACE;
    }
    for (const _ATL_INTMAP_ENTRY* e = entries; e->query || e->chain; ++e) {
        if (e->piid) {
            if (*e->piid == iid) {
                *ppv = e->query(object);
                return S_OK;
            }
        } else if (e->chain) {
            HRESULT hr = e->chain(object, iid, ppv);
            if (SUCCEEDED(hr))
                return hr;
            *ppv = nullptr;
        }
    }
    return E_NOINTERFACE;
}

}  // namespace ATL
