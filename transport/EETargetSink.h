// The event sink of one target (phone) of the service: its data providers coming, going and
// becoming unavailable, each wrapped in a new DataProvider and posted to the owning Target.
#pragma once

#include <atomic>

#include "platform/com/AtlBase.h"
#include "platform/com/DebugMuxLib.h"
#include "platform/com/DispEventImpl.h"

namespace vela {

class Target;

class EETargetSink
    : public ATL::IDispEventImpl<1, EETargetSink, &DIID__ITargetEvents, &LIBID_DebugMuxLib, 1, 0>,
      public ATL::CComObjectRootEx<ATL::CComMultiThreadModel> {
  public:
    BEGIN_SINK_MAP(EETargetSink)
    SINK_ENTRY_EX(1, DIID__ITargetEvents, TargetEvents::NewDataProvider, OnNewDataProvider)
    SINK_ENTRY_EX(1, DIID__ITargetEvents, TargetEvents::DataProviderRemoved, OnDataProviderRemoved)
    SINK_ENTRY_EX(1, DIID__ITargetEvents, TargetEvents::DataProviderUnavailable,
                  OnDataProviderUnavailable)
    END_SINK_MAP()

    // A new sink (count 0: the caller takes the first reference).
    static HRESULT create(ATL::CComObject<EETargetSink>** sink);

    // Set and cleared on the owner's worker; events are ignored while it is null.
    void setOwner(Target* owner) { m_owner.store(owner); }
    HRESULT advise(IUnknown* source);
    HRESULT unadvise(IUnknown* source);

    void __stdcall OnNewDataProvider(IDispatch* provider);
    void __stdcall OnDataProviderRemoved(IDispatch* provider);
    void __stdcall OnDataProviderUnavailable(IDispatch* provider);

  private:
    std::atomic<Target*> m_owner{nullptr};
};

}  // namespace vela
