#include "sim/DataBlock.h"

#include <cstring>
#include <limits>

namespace sim {

void DataBlock::FinalRelease() {
    if (!m_clientObject)
        return;
    if (auto core = m_core.lock())
        core->clientObjectGone();
}

HRESULT DataBlock::create(std::weak_ptr<ServiceCore> core, Bytes bytes, const void* providerScope,
                          const void* phoneScope, IDataBlock** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<LONG>::max()))
        return E_INVALIDARG;
    ATL::CComObjectNoLock<DataBlock>* block = nullptr;
    HRESULT hr = ATL::CComObjectNoLock<DataBlock>::CreateInstance(&block);
    if (FAILED(hr))
        return hr;
    block->AddRef();
    if (auto c = core.lock())
        block->m_generation = c->epoch();
    block->m_core = std::move(core);
    block->m_providerScope = providerScope;
    block->m_phoneScope = phoneScope;
    block->m_bytes = std::move(bytes);
    *out = block;
    return S_OK;
}

HRESULT DataBlock::createForClient(std::weak_ptr<ServiceCore> core, IUnknown* outer, REFIID iid,
                                   void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    auto c = core.lock();
    if (c)
        if (auto f = c->fault({}, "DataBlock", {}))
            return f->hr;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    IDataBlock* block = nullptr;
    HRESULT hr = create(core, {}, nullptr, nullptr, &block);
    if (FAILED(hr))
        return hr;
    if (c) {
        static_cast<DataBlock*>(block)->m_clientObject = true;
        c->clientObjectMade();
    }
    hr = block->QueryInterface(iid, ppv);
    block->Release();
    return hr;
}

std::optional<FaultTable::Fault> DataBlock::fault(const char* method) {
    auto core = m_core.lock();
    if (!core)
        return std::nullopt;
    if (auto gone = core->goneFault(m_generation))
        return gone;
    return core->fault({"IDataBlock"}, method, {m_providerScope, m_phoneScope});
}

STDMETHODIMP DataBlock::get_Size(LONG* pVal) {
    if (!pVal)
        return E_POINTER;
    *pVal = 0;
    if (auto f = fault("Size"))
        return f->hr;
    std::lock_guard<std::mutex> lock(m_mutex);
    *pVal = static_cast<LONG>(m_bytes.size());
    return S_OK;
}

STDMETHODIMP DataBlock::get_Data(SAFEARRAY** pVal) {
    if (!pVal)
        return E_POINTER;
    *pVal = nullptr;
    if (auto f = fault("Data"))
        return f->hr;
    std::lock_guard<std::mutex> lock(m_mutex);
    // The array is made holding the bytes (no zero-fill that the copy would overwrite), and
    // it is the caller's from here on.
    *pVal = platform::com::safeArrayCreateVectorCopy(VT_UI1, m_bytes.data(),
                                                     static_cast<ULONG>(m_bytes.size()));
    return *pVal ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP DataBlock::put_Data(SAFEARRAY** pVal) {
    if (!pVal)
        return E_POINTER;
    if (auto f = fault("PutData"))
        return f->hr;
    SAFEARRAY* given = *pVal;
    if (!given)
        return E_INVALIDARG;
    VARTYPE vt = VT_EMPTY;
    if (FAILED(SafeArrayGetVartype(given, &vt)) || vt != VT_UI1)
        return DISP_E_TYPEMISMATCH;
    if (SafeArrayGetDim(given) != 1)
        return E_INVALIDARG;
    void* data = nullptr;
    HRESULT hr = SafeArrayAccessData(given, &data);
    if (FAILED(hr))
        return hr;
    const auto* first = static_cast<const std::uint8_t*>(data);
    Bytes copy(first, first + platform::com::safeArrayElementCount(given));
    SafeArrayUnaccessData(given);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bytes.swap(copy);
    return S_OK;
}

}  // namespace sim
