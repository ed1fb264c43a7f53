#include "transport/EEDebugMuxSink.h"

#include "framework/core/Trace.h"
#include "framework/core/Values.h"
#include "platform/com/ClassRegistry.h"
#include "transport/DebugMux.h"
#include "transport/Target.h"

namespace vela {

HRESULT EEDebugMuxSink::create(ATL::CComObject<EEDebugMuxSink>** sink) {
    return ATL::CComObject<EEDebugMuxSink>::CreateInstance(sink);
}

HRESULT EEDebugMuxSink::advise(IUnknown* source) {
    HRESULT hr = DispEventAdvise(source);
    if (IS_ERROR(hr))
        core::ToggleTrace(20, "EEDebugMuxSink::advise FAILED (%s)\n",
                          core::HResult(hr).stringValue().c_str());
    return hr;
}

HRESULT EEDebugMuxSink::unadvise(IUnknown* source) {
    HRESULT hr = DispEventUnadvise(source);
    if (IS_ERROR(hr))
        core::ToggleTrace(20, "EEDebugMuxSink::unadvise FAILED (%s)\n",
                          core::HResult(hr).stringValue().c_str());
    // A service in another process that went away (the unadvise then failed) never releases
    // the sink it was handed: its references are taken back here.
    platform::com::disconnectObject(static_cast<IDispatch*>(this));
    return hr;
}

void EEDebugMuxSink::OnTargetConnected(IDispatch* target) {
    DebugMux* owner = m_owner.load();
    if (!owner)
        return;
    owner->targetConnected(core::RCPtr<Target>(new Target(target, owner)));
}

void EEDebugMuxSink::OnTargetDisconnected(IDispatch* target) {
    DebugMux* owner = m_owner.load();
    if (!owner)
        return;
    owner->targetDisconnected(core::RCPtr<Target>(new Target(target, owner)));
}

}  // namespace vela
