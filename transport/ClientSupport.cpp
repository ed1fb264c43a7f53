#include "transport/ClientSupport.h"

#include <cstdint>

#include "framework/core/Trace.h"
#include "framework/core/Values.h"

namespace vela::client {

std::string identitySuffix(const void* object) {
    return core::EULongLong(reinterpret_cast<std::uintptr_t>(object)).stringValue(0, 0);
}

void traceComError(const char* className, const char* operation, const _com_error& error) {
    core::ToggleTrace(20, "%s::%s - COM error %s\n", className, operation,
                      core::HResult(error.Error()).stringValue().c_str());
}

core::ServiceChannel::Handler guard(const char* className, const char* request,
                                    std::function<void(core::Request&)> handler) {
    return [className, request, handler = std::move(handler)](core::Request& r) {
        try {
            handler(r);
        } catch (const _com_error& e) {
            traceComError(className, request, e);
        }
    };
}

}  // namespace vela::client
