#include "transport/ClientSupport.h"

#include <cstdint>

#include "framework/core/Trace.h"
#include "framework/core/Values.h"

namespace vela::client {

std::string identitySuffix(const void* object) {
    return core::EULongLong(reinterpret_cast<std::uintptr_t>(object)).stringValue(0, 0);
}

bool serviceGone(HRESULT hr) {
    switch (static_cast<std::uint32_t>(hr)) {
        case 0x80010006u:  // RPC_E_CONNECTION_TERMINATED
        case 0x80010007u:  // RPC_E_SERVER_DIED
        case 0x80010012u:  // RPC_E_SERVER_DIED_DNE
        case 0x80010108u:  // RPC_E_DISCONNECTED
        case 0x800401FDu:  // CO_E_OBJNOTCONNECTED
        case 0x800706BAu:  // RPC_S_SERVER_UNAVAILABLE
        case 0x800706BEu:  // RPC_S_CALL_FAILED
        case 0x800706BFu:  // RPC_S_CALL_FAILED_DNE
            return true;
        default:
            return false;
    }
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
