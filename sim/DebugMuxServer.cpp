#include "sim/DebugMuxServer.h"

#include <algorithm>

#include "sim/ObjectCollection.h"

namespace sim {

DebugMuxServer::DebugMuxServer()
    : m_events(std::make_shared<ATL::CComConnectionPoint>(
          static_cast<IConnectionPointContainer*>(this), DIID__IDebugMuxEvents)) {
    addConnectionPoint(m_events.get());
}

HRESULT DebugMuxServer::createForClient(std::weak_ptr<ServiceCore> weakCore, IUnknown* outer,
                                        REFIID iid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    auto core = weakCore.lock();
    if (!core)
        return CO_E_NOTINITIALIZED;
    if (auto f = core->fault({}, "DebugMuxServer", {}))
        return f->hr;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    ATL::CComObjectNoLock<DebugMuxServer>* object = nullptr;
    HRESULT hr = ATL::CComObjectNoLock<DebugMuxServer>::CreateInstance(&object);
    if (FAILED(hr))
        return hr;
    IUnknownPtr guard(static_cast<IDebugMux*>(object));
    object->m_core = core;
    object->m_epoch = core->epoch();
    core->clientObjectMade();
    object->m_events->setObserver([weakCore](std::size_t) {
        if (auto c = weakCore.lock())
            c->notify();
    });
    {
        std::lock_guard<std::mutex> lock(core->mutex);
        auto& servers = core->servers;
        servers.erase(std::remove_if(servers.begin(), servers.end(),
                                     [](const auto& w) { return w.expired(); }),
                      servers.end());
        servers.push_back(object->m_events);
    }
    core->notify();
    return guard->QueryInterface(iid, ppv);
}

void DebugMuxServer::FinalRelease() {
    if (auto core = m_core.lock())
        core->clientObjectGone();
}

STDMETHODIMP DebugMuxServer::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
    if (ppCP && isGone(m_core, m_epoch)) {
        *ppCP = nullptr;
        return RPC_E_DISCONNECTED;
    }
    return CComConnectionPointContainer::FindConnectionPoint(riid, ppCP);
}

STDMETHODIMP DebugMuxServer::GetTypeInfoCount(UINT* pctinfo) {
    if (!pctinfo)
        return E_POINTER;
    *pctinfo = 0;
    return isGone(m_core, m_epoch) ? RPC_E_DISCONNECTED : S_OK;
}

std::optional<FaultTable::Fault> DebugMuxServer::fault(const char* interfaceName,
                                                       const char* method, bool boolMethod) {
    auto core = m_core.lock();
    if (!core)
        return std::nullopt;
    if (auto gone = core->goneFault(m_epoch))
        return gone;
    return core->fault({interfaceName}, method, {}, boolMethod);
}

STDMETHODIMP DebugMuxServer::get_Targets(VARIANT* pVal) {
    if (!pVal)
        return E_POINTER;
    VariantInit(pVal);
    if (auto f = fault("IDebugMux", "Targets"))
        return f->hr;
    std::vector<ITargetPtr> targets;
    if (auto core = m_core.lock())
        targets = core->reportedTargets();
    return ObjectCollection<ITargets>::create(m_core, "ITargets", nullptr, targets, pVal);
}

STDMETHODIMP DebugMuxServer::raw_AddPort(BYTE port) {
    if (auto f = fault("IDebugMuxPorts", "AddPort"))
        return f->hr;
    if (port == 0)
        return E_INVALIDARG;
    auto core = m_core.lock();
    if (!core)
        return RPC_E_DISCONNECTED;
    {
        std::lock_guard<std::mutex> lock(core->mutex);
        core->servePortLocked(port);
    }
    core->notify();
    return S_OK;
}

STDMETHODIMP DebugMuxServer::raw_HasPort(BYTE port, VARIANT_BOOL* pVal) {
    if (!pVal)
        return E_POINTER;
    *pVal = VARIANT_FALSE;
    if (auto f = fault("IDebugMuxPorts", "HasPort", true))
        return f->hr;
    auto core = m_core.lock();
    if (!core)
        return RPC_E_DISCONNECTED;
    std::lock_guard<std::mutex> lock(core->mutex);
    *pVal = core->served.count(port) ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

}  // namespace sim
