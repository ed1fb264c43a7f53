// Helpers shared by the client objects of the debug-multiplexer service (DebugMux, Target,
// DataProvider): distinct request names per instance, the arguments of a request read as the
// class they were sent as, containment of the COM errors that the service's wrappers raise
// inside a handler, and non-raising interface queries.
#pragma once

#include <functional>
#include <string>

#include "framework/core/Request.h"
#include "framework/core/ServiceChannel.h"
#include "platform/com/ComError.h"
#include "platform/com/ComPtr.h"
#include "platform/com/EnumVariant.h"
#include "platform/com/Variant.h"

namespace vela::client {

// The text appended to the request names of an instance: its full address as a decimal
// number, so that no two live instances share a name.
std::string identitySuffix(const void* object);

// Whether a call failed because the service's process has gone (the proxy's server died or
// disconnected it): RPC_E_DISCONNECTED, RPC_E_SERVER_DIED(_DNE), RPC_E_CONNECTION_TERMINATED,
// CO_E_OBJNOTCONNECTED, and RPC_S_SERVER_UNAVAILABLE, RPC_S_CALL_FAILED(_DNE) as HRESULTs.
bool serviceGone(HRESULT hr);

// Traces a COM error raised inside a handler or callback of a client object (level 20).
void traceComError(const char* className, const char* operation, const _com_error& error);

// A handler that runs `handler` and contains a COM error raised inside it: the error is
// traced, and a caller waiting for the request fails (no response is sent), so it gets the
// operation's empty result.
core::ServiceChannel::Handler guard(const char* className, const char* request,
                                    std::function<void(core::Request&)> handler);

// The request as the class its sender made it of; null when it is of another class (a
// request name that some other sender used with other arguments).
template <class R>
R* requestAs(core::Request& request) {
    return dynamic_cast<R*>(&request);
}

// The object an RCObjectReq carries, as T; none when the request is of another class or its
// object is missing or of another class.
template <class T>
core::RCPtr<T> objectOf(core::Request& request) {
    auto* carrier = requestAs<core::RCObjectReq>(request);
    return carrier ? core::rcCast<T>(carrier->getObject()) : nullptr;
}

// Runs a worker callback (a timer) with the same containment.
template <class F>
void runGuarded(const char* className, const char* operation, F&& callback) {
    try {
        callback();
    } catch (const _com_error& e) {
        traceComError(className, operation, e);
    }
}

// The interface of the object a VARIANT holds; null when it holds no object or the object
// lacks the interface. Never raises.
template <class Ptr>
Ptr fromVariant(const VARIANT& value) {
    VARIANT object;
    VariantInit(&object);
    Ptr result;
    if (SUCCEEDED(VariantChangeType(&object, &value, 0, VT_UNKNOWN)) && object.punkVal)
        result = Ptr(object.punkVal);
    VariantClear(&object);
    return result;
}

// Walks a collection of the service (an object with _NewEnum) and calls `each` with every
// item that has the interface of Ptr, in the collection's order. Items without it are
// skipped. The service's wrappers may raise _com_error, as for any call to it.
template <class Ptr, class Collection, class F>
void forEachItem(const Collection& collection, F&& each) {
    if (!collection)
        return;
    IUnknownPtr unknown = collection->Get_NewEnum();
    IEnumVARIANTPtr items(unknown);
    if (!items)
        return;
    items->Reset();
    VARIANT item;
    VariantInit(&item);
    while (items->Next(1, &item, nullptr) == S_OK) {
        _variant_t owned(item, false);
        if (Ptr object = fromVariant<Ptr>(owned))
            each(object);
        VariantInit(&item);
    }
}

}  // namespace vela::client
