#include "platform/com/ComError.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace platform::com {

const char* hresultText(HRESULT hr) noexcept {
    switch (static_cast<std::uint32_t>(hr)) {
        case 0x00000000u:
            return "The operation completed successfully.";
        case 0x00000001u:
            return "Incorrect function.";
        case 0x80004001u:
            return "Not implemented";
        case 0x80004002u:
            return "No such interface supported";
        case 0x80004003u:
            return "Invalid pointer";
        case 0x80004004u:
            return "Operation aborted";
        case 0x80004005u:
            return "Unspecified error";
        case 0x8000FFFFu:
            return "Catastrophic failure";
        case 0x80070005u:
            return "Access is denied.";
        case 0x80070006u:
            return "The handle is invalid.";
        case 0x8007000Eu:
            return "Not enough memory resources are available to complete this operation.";
        case 0x80070057u:
            return "The parameter is incorrect.";
        case 0x80010108u:
            return "The object invoked has disconnected from its clients.";
        case 0x800401F0u:
            return "CoInitialize has not been called.";
        case 0x80040110u:
            return "Class does not support aggregation (or class object is remote)";
        case 0x80040111u:
            return "ClassFactory cannot supply requested class";
        case 0x80040154u:
            return "Class not registered";
        case 0x80040200u:
            return "The connection point has no connection with that cookie.";
        case 0x80040201u:
            return "The connection point cannot accept another connection.";
        case 0x80040202u:
            return "The sink does not support the connection point's interface.";
        case 0x80020001u:
            return "Unknown interface.";
        case 0x80020003u:
            return "Member not found.";
        case 0x80020004u:
            return "Parameter not found.";
        case 0x80020005u:
            return "Type mismatch.";
        case 0x80020006u:
            return "Unknown name.";
        case 0x80020007u:
            return "No named arguments.";
        case 0x80020008u:
            return "Bad variable type.";
        case 0x80020009u:
            return "Exception occurred.";
        case 0x8002000Au:
            return "Out of present range.";
        case 0x8002000Bu:
            return "Invalid index.";
        case 0x8002000Du:
            return "Memory is locked.";
        case 0x8002000Eu:
            return "Invalid number of parameters.";
        default:
            return nullptr;
    }
}

}  // namespace platform::com

_com_error::_com_error(HRESULT hr) noexcept : m_hr(hr) {
    WORD wCode = HRESULTToWCode(hr);
    if (const char* text = platform::com::hresultText(hr)) {
        std::snprintf(m_message, sizeof m_message, "%s", text);
    } else if (wCode != 0) {
        std::snprintf(m_message, sizeof m_message, "IDispatch error #%u", wCode);
    } else {
        std::snprintf(m_message, sizeof m_message, "Unknown error 0x%08X",
                      static_cast<std::uint32_t>(hr));
    }
}

HRESULT _com_error::WCodeToHRESULT(WORD wCode) noexcept {
    return wCode >= 0xFE00 ? static_cast<HRESULT>(0x8004FFFFu)
                           : static_cast<HRESULT>(0x80040200u + wCode);
}

WORD _com_error::HRESULTToWCode(HRESULT hr) noexcept {
    auto u = static_cast<std::uint32_t>(hr);
    if (u >= 0x80040200u && u <= 0x8004FFFFu)
        return static_cast<WORD>(u - 0x80040200u);
    return 0;
}

void _com_issue_error(HRESULT hr) {
    throw _com_error(hr);
}

void _com_issue_errorex(HRESULT hr, IUnknown*, REFIID) {
    throw _com_error(hr);
}
