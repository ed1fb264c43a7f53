// DataBlock: the service's block of bytes (class CLSID_DataBlock, interface IDataBlock). The
// service hands received bytes to clients in new blocks (the DataAvailable event); clients
// create blocks to send. Data gives a new array of the block's bytes, which the caller owns
// and destroys (as COM's rules have it for an [out] array, in process and across processes
// alike); putting Data copies the given array, which stays the caller's.
#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include "sim/ServiceCore.h"

namespace sim {

class DataBlock : public ATL::CComObjectRootEx<ATL::CComMultiThreadModel>,
                  public ATL::IDispatchImpl<IDataBlock>,
                  private CountedObject {
  public:
    BEGIN_COM_MAP(DataBlock)
    COM_INTERFACE_ENTRY(IDataBlock)
    COM_INTERFACE_ENTRY(IDispatch)
    END_COM_MAP()

    void FinalRelease();

    // A new block holding the bytes (taken, not copied); faults of the given scopes apply to
    // its methods.
    static HRESULT create(std::weak_ptr<ServiceCore> core, Bytes bytes, const void* providerScope,
                          const void* phoneScope, IDataBlock** out);
    // The class factory registered for CLSID_DataBlock: the block counts as a client object
    // of the service while it lives.
    static HRESULT createForClient(std::weak_ptr<ServiceCore> core, IUnknown* outer, REFIID iid,
                                   void** ppv);

    STDMETHOD(get_Size)(LONG* pVal) override;
    STDMETHOD(get_Data)(SAFEARRAY** pVal) override;
    STDMETHOD(put_Data)(SAFEARRAY** pVal) override;

  private:
    std::optional<FaultTable::Fault> fault(const char* method);

    std::weak_ptr<ServiceCore> m_core;
    const void* m_providerScope = nullptr;
    const void* m_phoneScope = nullptr;
    std::uint64_t m_generation = 0;  // the service's generation that made it
    bool m_clientObject = false;     // made through the class factory
    std::mutex m_mutex;
    Bytes m_bytes;
};

}  // namespace sim
