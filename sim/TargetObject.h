// The service's object for one phone: ITarget (Id, Name, DataProviders) and the connection
// point of _ITargetEvents (NewDataProvider, DataProviderRemoved, DataProviderUnavailable).
#pragma once

#include <memory>

#include "sim/ServiceCore.h"

namespace sim {

class TargetObject : public ATL::CComObjectRootEx<ATL::CComMultiThreadModel>,
                     public ATL::IDispatchImpl<ITarget>,
                     public ATL::CComConnectionPointContainer,
                     private CountedObject {
  public:
    TargetObject();

    BEGIN_COM_MAP(TargetObject)
    COM_INTERFACE_ENTRY(ITarget)
    COM_INTERFACE_ENTRY(IDispatch)
    COM_INTERFACE_ENTRY(IConnectionPointContainer)
    END_COM_MAP()

    static ITargetPtr create(std::weak_ptr<ServiceCore> core,
                             const std::shared_ptr<PhoneState>& state);
    const std::shared_ptr<ATL::CComConnectionPoint>& events() const { return m_events; }

    STDMETHOD(get_Id)(LONG* pVal) override;
    STDMETHOD(get_Name)(BSTR* pVal) override;
    // The providers present now; none once the phone has gone.
    STDMETHOD(get_DataProviders)(VARIANT* pVal) override;
    // RPC_E_DISCONNECTED once the object's process has ended.
    STDMETHOD(FindConnectionPoint)(REFIID riid, IConnectionPoint** ppCP) override;

  private:
    std::optional<FaultTable::Fault> fault(const char* method);

    std::weak_ptr<ServiceCore> m_core;
    std::weak_ptr<PhoneState> m_state;
    std::uint64_t m_epoch = 0;
    const void* m_scope = nullptr;
    LONG m_id = 0;
    _bstr_t m_name;
    std::shared_ptr<ATL::CComConnectionPoint> m_events;
};

}  // namespace sim
