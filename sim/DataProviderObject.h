// The service's object for one byte stream of a phone: IDataProvider (identity and stream
// operations), IDataProviderStream (the stream operations) and the connection point of
// _IDataProviderEvents (DataAvailable, Disconnected).
#pragma once

#include <memory>
#include <string>

#include "sim/ServiceCore.h"

namespace sim {

class DataProviderObject : public ATL::CComObjectRootEx<ATL::CComMultiThreadModel>,
                           public ATL::IDispatchImpl<IDataProvider>,
                           public ATL::IDispatchImpl<IDataProviderStream>,
                           public ATL::CComConnectionPointContainer,
                           private CountedObject {
  public:
    DataProviderObject();

    BEGIN_COM_MAP(DataProviderObject)
    COM_INTERFACE_ENTRY(IDataProvider)
    COM_INTERFACE_ENTRY2(IDispatch, IDataProvider)
    COM_INTERFACE_ENTRY(IDataProviderStream)
    COM_INTERFACE_ENTRY(IConnectionPointContainer)
    END_COM_MAP()

    // A new object for the provider state (which keeps it while present).
    static IDataProviderPtr create(std::weak_ptr<ServiceCore> core,
                                   const std::shared_ptr<ProviderState>& state);
    // The connection point of _IDataProviderEvents (kept by a delivery while it fires).
    const std::shared_ptr<ATL::CComConnectionPoint>& events() const { return m_events; }

    STDMETHOD(get_Id)(SHORT* pVal) override;
    STDMETHOD(get_Name)(BSTR* pVal) override;
    STDMETHOD(get_PortName)(BSTR* pVal) override;
    STDMETHOD(raw_Connect)(VARIANT_BOOL* pVal) override;
    STDMETHOD(raw_Disconnect)(VARIANT_BOOL* pVal) override;
    // Takes the block's bytes (Size of them, at most the array's length).
    STDMETHOD(raw_Send)(IDataBlock* block, VARIANT_BOOL* pVal) override;
    // RPC_E_DISCONNECTED once the object's process has ended.
    STDMETHOD(FindConnectionPoint)(REFIID riid, IConnectionPoint** ppCP) override;
    STDMETHOD(Reserved7)() override { return E_NOTIMPL; }
    STDMETHOD(Reserved8)() override { return E_NOTIMPL; }
    STDMETHOD(Reserved9)() override { return E_NOTIMPL; }
    STDMETHOD(Reserved13)() override { return E_NOTIMPL; }

  private:
    std::optional<FaultTable::Fault> fault(const char* method, bool boolMethod = false);
    static HRESULT readBlock(IDataBlock* block, Bytes& bytes);

    std::weak_ptr<ServiceCore> m_core;
    std::weak_ptr<ProviderState> m_state;
    std::uint64_t m_epoch = 0;
    const void* m_scope = nullptr;
    const void* m_phoneScope = nullptr;
    SHORT m_id = 0;
    _bstr_t m_name;
    _bstr_t m_portName;
    std::shared_ptr<ATL::CComConnectionPoint> m_events;
};

}  // namespace sim
