#include "sim/DataProviderObject.h"

#include <algorithm>
#include <cstring>

namespace sim {

DataProviderObject::DataProviderObject()
    : m_events(std::make_shared<ATL::CComConnectionPoint>(
          static_cast<IConnectionPointContainer*>(this), DIID__IDataProviderEvents)) {
    addConnectionPoint(m_events.get());
}

IDataProviderPtr DataProviderObject::create(std::weak_ptr<ServiceCore> core,
                                            const std::shared_ptr<ProviderState>& state) {
    ATL::CComObjectNoLock<DataProviderObject>* object = nullptr;
    if (FAILED(ATL::CComObjectNoLock<DataProviderObject>::CreateInstance(&object)))
        throw std::bad_alloc();
    IDataProviderPtr result(static_cast<IDataProvider*>(object));
    object->m_core = core;
    if (auto c = core.lock())
        object->m_epoch = c->epoch();
    object->m_state = state;
    object->m_scope = state.get();
    object->m_phoneScope = state->phoneScope;
    object->m_id = state->id;
    object->m_name = state->name;
    object->m_portName = state->portName;
    std::weak_ptr<ProviderState> weakState = state;
    const std::uint64_t epoch = object->m_epoch;
    object->m_events->setObserver([core, weakState, epoch](std::size_t sinks) {
        auto c = core.lock();
        auto s = weakState.lock();
        if (!c || !s || c->goneFault(epoch))
            return;
        {
            std::lock_guard<std::mutex> lock(c->mutex);
            s->sinks = sinks;
        }
        c->notify();
    });
    return result;
}

STDMETHODIMP DataProviderObject::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
    if (ppCP && isGone(m_core, m_epoch)) {
        *ppCP = nullptr;
        return RPC_E_DISCONNECTED;
    }
    return CComConnectionPointContainer::FindConnectionPoint(riid, ppCP);
}

std::optional<FaultTable::Fault> DataProviderObject::fault(const char* method, bool boolMethod) {
    auto core = m_core.lock();
    if (!core)
        return std::nullopt;
    if (auto gone = core->goneFault(m_epoch))
        return gone;
    return core->fault({"IDataProvider", "IDataProviderStream"}, method, {m_scope, m_phoneScope},
                       boolMethod);
}

STDMETHODIMP DataProviderObject::get_Id(SHORT* pVal) {
    if (!pVal)
        return E_POINTER;
    *pVal = 0;
    if (auto f = fault("Id"))
        return f->hr;
    *pVal = m_id;
    return S_OK;
}

STDMETHODIMP DataProviderObject::get_Name(BSTR* pVal) {
    if (!pVal)
        return E_POINTER;
    *pVal = nullptr;
    if (auto f = fault("Name"))
        return f->hr;
    *pVal = m_name.copy();
    return S_OK;
}

STDMETHODIMP DataProviderObject::get_PortName(BSTR* pVal) {
    if (!pVal)
        return E_POINTER;
    *pVal = nullptr;
    if (auto f = fault("PortName"))
        return f->hr;
    *pVal = m_portName.copy();
    return S_OK;
}

STDMETHODIMP DataProviderObject::raw_Connect(VARIANT_BOOL* pVal) {
    if (!pVal)
        return E_POINTER;
    *pVal = VARIANT_FALSE;
    if (auto f = fault("Connect", true))
        return f->hr;
    auto core = m_core.lock();
    auto state = m_state.lock();
    if (!core || !state)
        return S_OK;
    {
        std::lock_guard<std::mutex> lock(core->mutex);
        ++state->connectCalls;
        if (!state->present)
            return S_OK;
        state->connected = true;
    }
    core->notify();
    *pVal = VARIANT_TRUE;
    return S_OK;
}

STDMETHODIMP DataProviderObject::raw_Disconnect(VARIANT_BOOL* pVal) {
    if (!pVal)
        return E_POINTER;
    *pVal = VARIANT_FALSE;
    if (auto f = fault("Disconnect", true))
        return f->hr;
    auto core = m_core.lock();
    auto state = m_state.lock();
    if (!core || !state)
        return S_OK;
    {
        std::lock_guard<std::mutex> lock(core->mutex);
        ++state->disconnectCalls;
        if (!state->present)
            return S_OK;
        if (state->connected) {
            // The stream is closed now; Disconnected follows on the provider's thread.
            state->connected = false;
            core->postDisconnected(state);
        }
    }
    core->notify();
    *pVal = VARIANT_TRUE;
    return S_OK;
}

HRESULT DataProviderObject::readBlock(IDataBlock* block, Bytes& bytes) {
    // The array Data gives is the caller's: destroyed however this ends.
    struct Owned {
        SAFEARRAY* array = nullptr;
        ~Owned() { SafeArrayDestroy(array); }
    } data;
    HRESULT hr = block->get_Data(&data.array);
    if (FAILED(hr))
        return hr;
    LONG size = 0;
    hr = block->get_Size(&size);
    if (FAILED(hr))
        return hr;
    if (!data.array)
        return E_INVALIDARG;
    void* p = nullptr;
    hr = SafeArrayAccessData(data.array, &p);
    if (FAILED(hr))
        return hr;
    std::size_t n = std::min<std::size_t>(
        size > 0 ? static_cast<std::size_t>(size) : 0,
        static_cast<std::size_t>(platform::com::safeArrayElementCount(data.array)) *
            SafeArrayGetElemsize(data.array));
    bytes.assign(static_cast<const std::uint8_t*>(p), static_cast<const std::uint8_t*>(p) + n);
    SafeArrayUnaccessData(data.array);
    return S_OK;
}

STDMETHODIMP DataProviderObject::raw_Send(IDataBlock* block, VARIANT_BOOL* pVal) {
    if (!pVal)
        return E_POINTER;
    *pVal = VARIANT_FALSE;
    if (!block)
        return E_POINTER;
    if (auto f = fault("Send", true))
        return f->hr;
    auto core = m_core.lock();
    auto state = m_state.lock();
    if (!core || !state)
        return S_OK;
    Bytes bytes;
    HRESULT hr = readBlock(block, bytes);
    if (FAILED(hr))
        return hr;
    SendHandler handler;
    {
        std::lock_guard<std::mutex> lock(core->mutex);
        if (!state->present || !state->connected)
            return S_OK;  // no open stream to take it
        state->sent.push_back(bytes);
        handler = state->onSend;
    }
    core->notify();
    if (handler)
        handler(bytes);
    *pVal = VARIANT_TRUE;
    return S_OK;
}

}  // namespace sim
