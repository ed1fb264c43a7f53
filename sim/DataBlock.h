// DataBlock: the service's block of bytes (class CLSID_DataBlock, interface IDataBlock). The
// service hands received bytes to clients in new blocks (the DataAvailable event); clients
// create blocks to send. Data gives the block's own array (not to be destroyed by the
// caller); putting Data copies the given array.
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

    HRESULT FinalConstruct();
    void FinalRelease();

    // A new block holding the bytes; faults of the given scopes apply to its methods.
    static HRESULT create(std::weak_ptr<ServiceCore> core, const Bytes& bytes,
                          const void* providerScope, const void* phoneScope, IDataBlock** out);
    // The same, the block taking the bytes themselves: its array is laid over them, so that
    // the service's delivery makes no copy of bytes it already holds.
    static HRESULT create(std::weak_ptr<ServiceCore> core, Bytes&& bytes, const void* providerScope,
                          const void* phoneScope, IDataBlock** out);
    // The class factory registered for CLSID_DataBlock.
    static HRESULT createForClient(std::weak_ptr<ServiceCore> core, IUnknown* outer, REFIID iid,
                                   void** ppv);

    STDMETHOD(get_Size)(LONG* pVal) override;
    STDMETHOD(get_Data)(SAFEARRAY** pVal) override;
    STDMETHOD(put_Data)(SAFEARRAY** pVal) override;

  private:
    // A new block whose array `makeData` gives (null: out of memory).
    static HRESULT make(std::weak_ptr<ServiceCore> core, const void* providerScope,
                        const void* phoneScope, IDataBlock** out,
                        const std::function<SAFEARRAY*(DataBlock&)>& makeData);
    std::optional<FaultTable::Fault> fault(const char* method);

    std::weak_ptr<ServiceCore> m_core;
    const void* m_providerScope = nullptr;
    const void* m_phoneScope = nullptr;
    std::mutex m_mutex;
    SAFEARRAY* m_data = nullptr;
    // The bytes the first array is laid over (create with Bytes&&); they outlive it.
    Bytes m_bytes;
};

}  // namespace sim
