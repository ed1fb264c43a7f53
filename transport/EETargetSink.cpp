#include "transport/EETargetSink.h"

#include "framework/core/Trace.h"
#include "framework/core/Values.h"
#include "platform/com/ClassRegistry.h"
#include "transport/DataProvider.h"
#include "transport/Target.h"

namespace vela {

HRESULT EETargetSink::create(ATL::CComObject<EETargetSink>** sink) {
    return ATL::CComObject<EETargetSink>::CreateInstance(sink);
}

HRESULT EETargetSink::advise(IUnknown* source) {
    HRESULT hr = DispEventAdvise(source);
    if (IS_ERROR(hr))
        core::ToggleTrace(20, "EETargetSink::advise FAILED (%s)\n",
                          core::HResult(hr).stringValue().c_str());
    return hr;
}

HRESULT EETargetSink::unadvise(IUnknown* source) {
    HRESULT hr = DispEventUnadvise(source);
    if (IS_ERROR(hr))
        core::ToggleTrace(20, "EETargetSink::unadvise FAILED (%s)\n",
                          core::HResult(hr).stringValue().c_str());
    // A service in another process that went away (the unadvise then failed) never releases
    // the sink it was handed: its references are taken back here.
    platform::com::disconnectObject(static_cast<IDispatch*>(this));
    return hr;
}

void EETargetSink::OnNewDataProvider(IDispatch* provider) {
    Target* owner = m_owner.load();
    if (!owner)
        return;
    owner->newDataProvider(core::RCPtr<DataProvider>(new DataProvider(provider)));
}

void EETargetSink::OnDataProviderRemoved(IDispatch* provider) {
    Target* owner = m_owner.load();
    if (!owner)
        return;
    owner->dataProviderRemoved(core::RCPtr<DataProvider>(new DataProvider(provider)));
}

void EETargetSink::OnDataProviderUnavailable(IDispatch* provider) {
    Target* owner = m_owner.load();
    if (!owner)
        return;
    owner->dataProviderUnavailable(core::RCPtr<DataProvider>(new DataProvider(provider)));
}

}  // namespace vela
