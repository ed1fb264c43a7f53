// The event sink of the service's DebugMuxServer: phones (targets) connecting and
// disconnecting, each wrapped in a new Target and posted to the owning DebugMux.
#pragma once

#include <atomic>

#include "platform/com/AtlBase.h"
#include "platform/com/DebugMuxLib.h"
#include "platform/com/DispEventImpl.h"

namespace vela {

class DebugMux;

class EEDebugMuxSink : public ATL::IDispEventImpl<0, EEDebugMuxSink, &DIID__IDebugMuxEvents,
                                                  &LIBID_DebugMuxLib, 1, 0>,
                       public ATL::CComObjectRootEx<ATL::CComMultiThreadModel> {
  public:
    BEGIN_SINK_MAP(EEDebugMuxSink)
    SINK_ENTRY_EX(0, DIID__IDebugMuxEvents, DebugMuxEvents::TargetConnected, OnTargetConnected)
    SINK_ENTRY_EX(0, DIID__IDebugMuxEvents, DebugMuxEvents::TargetDisconnected,
                  OnTargetDisconnected)
    END_SINK_MAP()

    // A new sink (count 0: the caller takes the first reference).
    static HRESULT create(ATL::CComObject<EEDebugMuxSink>** sink);

    // Set and cleared on the owner's worker; events are ignored while it is null.
    void setOwner(DebugMux* owner) { m_owner.store(owner); }
    HRESULT advise(IUnknown* source);
    HRESULT unadvise(IUnknown* source);

    void __stdcall OnTargetConnected(IDispatch* target);
    void __stdcall OnTargetDisconnected(IDispatch* target);

  private:
    std::atomic<DebugMux*> m_owner{nullptr};
};

}  // namespace vela
