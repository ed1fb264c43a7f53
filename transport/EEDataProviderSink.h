// The event sink of one data provider of the service: received blocks (DataAvailable) and
// the end of the stream (Disconnected), passed to the owning DataProvider as posted requests.
#pragma once

#include <atomic>

#include "platform/com/AtlBase.h"
#include "platform/com/DebugMuxLib.h"
#include "platform/com/DispEventImpl.h"

namespace vela {

class DataProvider;

class EEDataProviderSink
    : public ATL::IDispEventImpl<2, EEDataProviderSink, &DIID__IDataProviderEvents,
                                 &LIBID_DebugMuxLib, 1, 0>,
      public ATL::CComObjectRootEx<ATL::CComMultiThreadModel> {
  public:
    BEGIN_SINK_MAP(EEDataProviderSink)
    SINK_ENTRY_EX(2, DIID__IDataProviderEvents, DataProviderEvents::DataAvailable, OnDataAvailable)
    SINK_ENTRY_EX(2, DIID__IDataProviderEvents, DataProviderEvents::Disconnected, OnDisconnected)
    END_SINK_MAP()

    // A new sink (count 0: the caller takes the first reference).
    static HRESULT create(ATL::CComObject<EEDataProviderSink>** sink);

    // Set and cleared on the owner's worker; events are ignored while it is null.
    void setOwner(DataProvider* owner) { m_owner.store(owner); }
    // Connects to, and disconnects from, the provider's events.
    HRESULT advise(IUnknown* source);
    HRESULT unadvise(IUnknown* source);

    // Copies the block's bytes (at most as many as its array holds) into a new block and
    // posts it to the owner. The array Data gives is the caller's: the sink destroys it.
    void __stdcall OnDataAvailable(IDispatch* block);
    void __stdcall OnDisconnected();

  private:
    std::atomic<DataProvider*> m_owner{nullptr};
};

}  // namespace vela
