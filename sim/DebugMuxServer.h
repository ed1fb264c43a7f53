// DebugMuxServer: the multiplexer object (class CLSID_DebugMuxServer) with IDebugMux
// (Targets), IDebugMuxPorts (AddPort, HasPort) and the connection point of _IDebugMuxEvents
// (TargetConnected, TargetDisconnected). Every server object is a view of the one service:
// all of them list the same targets and receive the same events.
#pragma once

#include <memory>

#include "sim/ServiceCore.h"

namespace sim {

class DebugMuxServer : public ATL::CComObjectRootEx<ATL::CComMultiThreadModel>,
                       public ATL::IDispatchImpl<IDebugMux>,
                       public ATL::IDispatchImpl<IDebugMuxPorts>,
                       public ATL::CComConnectionPointContainer,
                       private CountedObject {
  public:
    DebugMuxServer();
    void FinalRelease();

    BEGIN_COM_MAP(DebugMuxServer)
    COM_INTERFACE_ENTRY(IDebugMux)
    COM_INTERFACE_ENTRY2(IDispatch, IDebugMux)
    COM_INTERFACE_ENTRY(IDebugMuxPorts)
    COM_INTERFACE_ENTRY(IConnectionPointContainer)
    END_COM_MAP()

    // The class factory registered for CLSID_DebugMuxServer: the object counts as a client
    // object of the service while it lives.
    static HRESULT createForClient(std::weak_ptr<ServiceCore> core, IUnknown* outer, REFIID iid,
                                   void** ppv);

    // The targets on served ports, in port order.
    STDMETHOD(get_Targets)(VARIANT* pVal) override;
    // Serves COM port n (1-255); a phone on it is reported (TargetConnected).
    STDMETHOD(raw_AddPort)(BYTE port) override;
    STDMETHOD(raw_HasPort)(BYTE port, VARIANT_BOOL* pVal) override;
    // RPC_E_DISCONNECTED once the object's process has ended.
    STDMETHOD(FindConnectionPoint)(REFIID riid, IConnectionPoint** ppCP) override;
    // No type information (0); RPC_E_DISCONNECTED once the object's process has ended.
    STDMETHOD(GetTypeInfoCount)(UINT* pctinfo) override;
    STDMETHOD(Reserved7)() override { return E_NOTIMPL; }
    STDMETHOD(Reserved8)() override { return E_NOTIMPL; }
    STDMETHOD(Reserved9)() override { return E_NOTIMPL; }
    STDMETHOD(Reserved10)() override { return E_NOTIMPL; }
    STDMETHOD(Reserved11)() override { return E_NOTIMPL; }
    STDMETHOD(Reserved13)() override { return E_NOTIMPL; }

  private:
    std::optional<FaultTable::Fault> fault(const char* interfaceName, const char* method,
                                           bool boolMethod = false);

    std::weak_ptr<ServiceCore> m_core;
    std::uint64_t m_epoch = 0;
    std::shared_ptr<ATL::CComConnectionPoint> m_events;
};

}  // namespace sim
