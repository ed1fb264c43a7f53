#include "transport/EEDataProviderSink.h"

#include <algorithm>
#include <cstddef>

#include "framework/core/Data.h"
#include "framework/core/Trace.h"
#include "framework/core/Values.h"
#include "platform/com/ClassRegistry.h"
#include "transport/DataProvider.h"

namespace vela {

HRESULT EEDataProviderSink::create(ATL::CComObject<EEDataProviderSink>** sink) {
    return ATL::CComObject<EEDataProviderSink>::CreateInstance(sink);
}

HRESULT EEDataProviderSink::advise(IUnknown* source) {
    HRESULT hr = DispEventAdvise(source);
    if (IS_ERROR(hr))
        core::ToggleTrace(20, "EEDataProviderSink::advise FAILED (%s)\n",
                          core::HResult(hr).stringValue().c_str());
    return hr;
}

HRESULT EEDataProviderSink::unadvise(IUnknown* source) {
    HRESULT hr = DispEventUnadvise(source);
    if (IS_ERROR(hr))
        core::ToggleTrace(20, "EEDataProviderSink::unadvise FAILED (%s)\n",
                          core::HResult(hr).stringValue().c_str());
    // A service in another process that went away (the unadvise then failed) never releases
    // the sink it was handed: its references are taken back here.
    platform::com::disconnectObject(static_cast<IDispatch*>(this));
    return hr;
}

void EEDataProviderSink::OnDataAvailable(IDispatch* block) {
    DataProvider* owner = m_owner.load();
    if (!owner)
        return;
    IDataBlockPtr data(block);
    if (!data)
        return;
    // The array Data hands out is the sink's to destroy, whichever way this ends: across
    // processes it is the marshaller's copy, and the service in process hands over a new one
    // as well.
    struct OwnedArray {
        SAFEARRAY* array = nullptr;
        ~OwnedArray() { SafeArrayDestroy(array); }
    } owned;
    LONG size = 0;
    try {
        owned.array = data->GetData();
        size = data->GetSize();
    } catch (const _com_error& e) {
        core::ToggleTrace(20, "EEDataProviderSink::OnDataAvailable / Data or Size FAILED (%s)\n",
                          core::HResult(e.Error()).stringValue().c_str());
        return;
    }
    SAFEARRAY* array = owned.array;
    void* bytes = nullptr;
    HRESULT hr = SafeArrayAccessData(array, &bytes);
    if (FAILED(hr)) {
        core::ToggleTrace(20,
                          "EEDataProviderSink::OnDataAvailable / SafeArrayAccessData FAILED (%s)\n",
                          core::HResult(hr).stringValue().c_str());
        return;
    }
    // Size counts the valid bytes at the start of the array; a Size beyond the array's end
    // would read past it, so the array's own length bounds the copy.
    std::size_t length = static_cast<std::size_t>(platform::com::safeArrayElementCount(array)) *
                         SafeArrayGetElemsize(array);
    std::size_t n = size > 0 ? std::min(static_cast<std::size_t>(size), length) : 0;
    core::RCPtr<core::Data> received(new core::Data(bytes, n));
    hr = SafeArrayUnaccessData(array);
    if (FAILED(hr))
        core::ToggleTrace(
            20, "EEDataProviderSink::OnDataAvailable / SafeArrayUnaccessData FAILED (%s)\n",
            core::HResult(hr).stringValue().c_str());
    owner->dataAvailable(received);
}

void EEDataProviderSink::OnDisconnected() {
    if (DataProvider* owner = m_owner.load())
        owner->disconnected();
}

}  // namespace vela
