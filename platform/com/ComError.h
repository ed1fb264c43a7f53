// _com_error: the exception that the COM wrappers (smart pointers, _bstr_t, _variant_t and the
// wrappers of an imported type library) raise when a call fails. It carries the HRESULT.
#pragma once

#include <exception>

#include "platform/com/ComBase.h"

class _com_error : public std::exception {
  public:
    explicit _com_error(HRESULT hr) noexcept;
    _com_error(const _com_error&) noexcept = default;
    _com_error& operator=(const _com_error&) noexcept = default;

    HRESULT Error() const noexcept { return m_hr; }
    // The IDispatch error code for an HRESULT of FACILITY_ITF 0x0200-0xFFFF, otherwise 0.
    WORD WCode() const noexcept { return HRESULTToWCode(m_hr); }
    // The text of the error, as the system's message table gives it ("Unspecified error"),
    // "IDispatch error #n" for an IDispatch error code and "Unknown error 0x8XXXXXXX" for
    // codes without a text.
    const TCHAR* ErrorMessage() const noexcept { return m_message; }
    const char* what() const noexcept override { return m_message; }

    static HRESULT WCodeToHRESULT(WORD wCode) noexcept;
    static WORD HRESULTToWCode(HRESULT hr) noexcept;

  private:
    HRESULT m_hr;
    char m_message[96];
};

// Raises _com_error(hr).
[[noreturn]] void _com_issue_error(HRESULT hr);
// Raises _com_error(hr); the object and interface are accepted for compatibility (this layer
// keeps no rich error information).
[[noreturn]] void _com_issue_errorex(HRESULT hr, IUnknown* object, REFIID riid);

namespace platform::com {
// The system text of an HRESULT, or nullptr for a code without one.
const char* hresultText(HRESULT hr) noexcept;
}  // namespace platform::com
