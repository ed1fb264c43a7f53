#include "sim/DataBlock.h"

#include <cstring>
#include <limits>

namespace sim {

HRESULT DataBlock::FinalConstruct() {
    m_data = SafeArrayCreateVector(VT_UI1, 0, 0);
    return m_data ? S_OK : E_OUTOFMEMORY;
}

void DataBlock::FinalRelease() {
    // A client that still holds the array locked keeps it (and it shows as a leak), and with
    // it the bytes it may be laid over.
    if (FAILED(SafeArrayDestroy(m_data)) && !m_bytes.empty())
        (void)new Bytes(std::move(m_bytes));
    m_data = nullptr;
}

HRESULT DataBlock::create(std::weak_ptr<ServiceCore> core, Bytes&& bytes, const void* providerScope,
                          const void* phoneScope, IDataBlock** out) {
    if (bytes.empty() || bytes.size() > std::numeric_limits<ULONG>::max())
        return create(std::move(core), static_cast<const Bytes&>(bytes), providerScope, phoneScope,
                      out);
    return make(std::move(core), providerScope, phoneScope, out, [&bytes](DataBlock& block) {
        // A moved vector keeps its storage, which the array is then laid over.
        block.m_bytes = std::move(bytes);
        return platform::com::safeArrayCreateVectorOver(VT_UI1, block.m_bytes.data(),
                                                        static_cast<ULONG>(block.m_bytes.size()));
    });
}

HRESULT DataBlock::create(std::weak_ptr<ServiceCore> core, const Bytes& bytes,
                          const void* providerScope, const void* phoneScope, IDataBlock** out) {
    return make(std::move(core), providerScope, phoneScope, out, [&bytes](DataBlock&) {
        // The array is made holding the bytes: no zero-fill that the copy would overwrite.
        return bytes.size() > std::numeric_limits<ULONG>::max()
                   ? nullptr
                   : platform::com::safeArrayCreateVectorCopy(VT_UI1, bytes.data(),
                                                              static_cast<ULONG>(bytes.size()));
    });
}

HRESULT DataBlock::make(std::weak_ptr<ServiceCore> core, const void* providerScope,
                        const void* phoneScope, IDataBlock** out,
                        const std::function<SAFEARRAY*(DataBlock&)>& makeData) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    ATL::CComObjectNoLock<DataBlock>* block = nullptr;
    HRESULT hr = ATL::CComObjectNoLock<DataBlock>::CreateInstance(&block);
    if (FAILED(hr))
        return hr;
    block->AddRef();
    block->m_core = std::move(core);
    block->m_providerScope = providerScope;
    block->m_phoneScope = phoneScope;
    SAFEARRAY* data = makeData(*block);
    if (!data) {
        block->Release();
        return E_OUTOFMEMORY;
    }
    SafeArrayDestroy(block->m_data);
    block->m_data = data;
    *out = block;
    return S_OK;
}

HRESULT DataBlock::createForClient(std::weak_ptr<ServiceCore> core, IUnknown* outer, REFIID iid,
                                   void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (auto c = core.lock())
        if (auto f = c->fault({}, "DataBlock", {}))
            return f->hr;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    IDataBlock* block = nullptr;
    HRESULT hr = create(std::move(core), {}, nullptr, nullptr, &block);
    if (FAILED(hr))
        return hr;
    hr = block->QueryInterface(iid, ppv);
    block->Release();
    return hr;
}

std::optional<FaultTable::Fault> DataBlock::fault(const char* method) {
    auto core = m_core.lock();
    if (!core)
        return std::nullopt;
    return core->fault({"IDataBlock"}, method, {m_providerScope, m_phoneScope});
}

STDMETHODIMP DataBlock::get_Size(LONG* pVal) {
    if (!pVal)
        return E_POINTER;
    *pVal = 0;
    if (auto f = fault("Size"))
        return f->hr;
    std::lock_guard<std::mutex> lock(m_mutex);
    *pVal = static_cast<LONG>(platform::com::safeArrayElementCount(m_data));
    return S_OK;
}

STDMETHODIMP DataBlock::get_Data(SAFEARRAY** pVal) {
    if (!pVal)
        return E_POINTER;
    *pVal = nullptr;
    if (auto f = fault("Data"))
        return f->hr;
    std::lock_guard<std::mutex> lock(m_mutex);
    *pVal = m_data;
    return S_OK;
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
    SAFEARRAY* copy = nullptr;
    HRESULT hr = SafeArrayCopy(given, &copy);
    if (FAILED(hr))
        return hr;
    std::lock_guard<std::mutex> lock(m_mutex);
    hr = SafeArrayDestroy(m_data);  // a reader holding the old array locked keeps it
    if (FAILED(hr)) {
        SafeArrayDestroy(copy);
        return hr;
    }
    m_data = copy;
    return S_OK;
}

}  // namespace sim
