#include "sim/TargetObject.h"

#include "sim/ObjectCollection.h"

namespace sim {

TargetObject::TargetObject()
    : m_events(std::make_shared<ATL::CComConnectionPoint>(
          static_cast<IConnectionPointContainer*>(this), DIID__ITargetEvents)) {
    addConnectionPoint(m_events.get());
}

ITargetPtr TargetObject::create(std::weak_ptr<ServiceCore> core,
                                const std::shared_ptr<PhoneState>& state) {
    ATL::CComObjectNoLock<TargetObject>* object = nullptr;
    if (FAILED(ATL::CComObjectNoLock<TargetObject>::CreateInstance(&object)))
        throw std::bad_alloc();
    ITargetPtr result(static_cast<ITarget*>(object));
    object->m_core = core;
    if (auto c = core.lock())
        object->m_epoch = c->epoch();
    object->m_state = state;
    object->m_scope = state.get();
    object->m_id = state->id;
    object->m_name = state->name;
    std::weak_ptr<PhoneState> weakState = state;
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

STDMETHODIMP TargetObject::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
    if (ppCP && isGone(m_core, m_epoch)) {
        *ppCP = nullptr;
        return RPC_E_DISCONNECTED;
    }
    return CComConnectionPointContainer::FindConnectionPoint(riid, ppCP);
}

std::optional<FaultTable::Fault> TargetObject::fault(const char* method) {
    auto core = m_core.lock();
    if (!core)
        return std::nullopt;
    if (auto gone = core->goneFault(m_epoch))
        return gone;
    return core->fault({"ITarget"}, method, {m_scope});
}

STDMETHODIMP TargetObject::get_Id(LONG* pVal) {
    if (!pVal)
        return E_POINTER;
    *pVal = 0;
    if (auto f = fault("Id"))
        return f->hr;
    *pVal = m_id;
    return S_OK;
}

STDMETHODIMP TargetObject::get_Name(BSTR* pVal) {
    if (!pVal)
        return E_POINTER;
    *pVal = nullptr;
    if (auto f = fault("Name"))
        return f->hr;
    *pVal = m_name.copy();
    return S_OK;
}

STDMETHODIMP TargetObject::get_DataProviders(VARIANT* pVal) {
    if (!pVal)
        return E_POINTER;
    VariantInit(pVal);
    if (auto f = fault("DataProviders"))
        return f->hr;
    std::vector<IDataProviderPtr> providers;
    auto core = m_core.lock();
    auto state = m_state.lock();
    if (core && state) {
        std::lock_guard<std::mutex> lock(core->mutex);
        if (state->present)
            for (auto& p : state->providers)
                providers.push_back(p->object);
    }
    return ObjectCollection<IDataProviders>::create(m_core, "IDataProviders", m_scope, providers,
                                                    pVal);
}

}  // namespace sim
