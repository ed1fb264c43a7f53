// The base of the COM-style layer: the Automation base types, HRESULT codes and macros,
// interface identities (__uuidof), IUnknown and IDispatch, laid out as on Windows.
//
// Interfaces are structs of pure virtual functions without a virtual destructor, so that the
// vtable of an interface holds exactly its methods in declaration order: slots 0-2 are
// IUnknown's, 3-6 IDispatch's, and the methods of a dual interface follow from slot 7. Calling
// conventions do not exist on this platform; STDMETHODCALLTYPE and friends expand to nothing.
//
// On Windows all of this is the system's own (<ole2.h>, <oleauto.h>, <ocidl.h>); only
// COM_DECLARE_UUID is added, binding an interface of this project to its IID for __uuidof.
#pragma once

#include <cstdint>

#include "platform/win32/guiddef.h"
#include "platform/win32/win32.h"

#if defined(_WIN32)
#include <ocidl.h>
#include <ole2.h>
#include <oleauto.h>
#include <olectl.h>

#define COM_DECLARE_UUID(Interface, iid)                 \
    extern "C++" {                                       \
    template <>                                          \
    constexpr const GUID& __mingw_uuidof<Interface>() {  \
        return iid;                                      \
    }                                                    \
    template <>                                          \
    constexpr const GUID& __mingw_uuidof<Interface*>() { \
        return iid;                                      \
    }                                                    \
    }
#else

// ---- Base types -------------------------------------------------------------------------

using CHAR = char;
using SHORT = std::int16_t;
using USHORT = std::uint16_t;
using INT = int;
using UINT = unsigned int;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using PVOID = void*;
using SCODE = LONG;
using LCID = DWORD;
using DISPID = LONG;
using MEMBERID = DISPID;
using ULONG_PTR = std::uintptr_t;
using DWORD_PTR = std::uintptr_t;
using INT_PTR = std::intptr_t;
using TCHAR = char;
using WCHAR = char16_t;

// Automation strings are UTF-16. BSTR is an OLECHAR* with a length prefix (see Bstr.h).
using OLECHAR = char16_t;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
using BSTR = OLECHAR*;
// An OLECHAR string literal.
#define OLESTR(str) u##str

using VARTYPE = unsigned short;
using VARIANT_BOOL = short;
#define VARIANT_TRUE (static_cast<VARIANT_BOOL>(-1))
#define VARIANT_FALSE (static_cast<VARIANT_BOOL>(0))

struct tagVARIANT;
using VARIANT = tagVARIANT;
using VARIANTARG = tagVARIANT;
using LPVARIANT = VARIANT*;

// ---- Calling-convention and declaration macros --------------------------------------------

#ifndef __stdcall
#define __stdcall
#endif
#ifndef WINAPI
#define WINAPI
#endif
#define STDMETHODCALLTYPE
#define STDMETHODVCALLTYPE
#define STDAPICALLTYPE
#define STDMETHOD(method) virtual HRESULT STDMETHODCALLTYPE method
#define STDMETHOD_(type, method) virtual type STDMETHODCALLTYPE method
#define STDMETHODIMP HRESULT STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE
#define PURE = 0

// ---- HRESULT --------------------------------------------------------------------------

#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)
#define IS_ERROR(hr) (static_cast<std::uint32_t>(hr) >> 31 == 1u)
#define HRESULT_CODE(hr) (static_cast<HRESULT>(hr) & 0xFFFF)
#define HRESULT_FACILITY(hr) ((static_cast<HRESULT>(hr) >> 16) & 0x1FFF)
#define HRESULT_SEVERITY(hr) ((static_cast<std::uint32_t>(hr) >> 31) & 0x1u)
#define SEVERITY_SUCCESS 0u
#define SEVERITY_ERROR 1u
#define FACILITY_NULL 0u
#define FACILITY_RPC 1u
#define FACILITY_DISPATCH 2u
#define FACILITY_ITF 4u
#define FACILITY_WIN32 7u
#define MAKE_HRESULT(sev, fac, code)                               \
    static_cast<HRESULT>((static_cast<std::uint32_t>(sev) << 31) | \
                         (static_cast<std::uint32_t>(fac) << 16) | \
                         static_cast<std::uint32_t>(code))
// A Win32 error code as an HRESULT (0 stays S_OK).
#define HRESULT_FROM_WIN32(x)                                                                \
    (static_cast<HRESULT>(x) <= 0                                                            \
         ? static_cast<HRESULT>(x)                                                           \
         : static_cast<HRESULT>((static_cast<std::uint32_t>(x) & 0x0000FFFFu) | (7u << 16) | \
                                0x80000000u))

#define _HRESULT_TYPEDEF_(sc) (static_cast<HRESULT>(sc))
#define S_OK _HRESULT_TYPEDEF_(0x00000000u)
#define S_FALSE _HRESULT_TYPEDEF_(0x00000001u)
#define E_NOTIMPL _HRESULT_TYPEDEF_(0x80004001u)
#define E_NOINTERFACE _HRESULT_TYPEDEF_(0x80004002u)
#define E_POINTER _HRESULT_TYPEDEF_(0x80004003u)
#define E_ABORT _HRESULT_TYPEDEF_(0x80004004u)
#define E_FAIL _HRESULT_TYPEDEF_(0x80004005u)
#define E_UNEXPECTED _HRESULT_TYPEDEF_(0x8000FFFFu)
#define E_ACCESSDENIED _HRESULT_TYPEDEF_(0x80070005u)
#define E_HANDLE _HRESULT_TYPEDEF_(0x80070006u)
#define E_OUTOFMEMORY _HRESULT_TYPEDEF_(0x8007000Eu)
#define E_INVALIDARG _HRESULT_TYPEDEF_(0x80070057u)
#define RPC_E_DISCONNECTED _HRESULT_TYPEDEF_(0x80010108u)
#define CO_E_NOTINITIALIZED _HRESULT_TYPEDEF_(0x800401F0u)
#define CLASS_E_NOAGGREGATION _HRESULT_TYPEDEF_(0x80040110u)
#define CLASS_E_CLASSNOTAVAILABLE _HRESULT_TYPEDEF_(0x80040111u)
#define REGDB_E_CLASSNOTREG _HRESULT_TYPEDEF_(0x80040154u)
#define CONNECT_E_NOCONNECTION _HRESULT_TYPEDEF_(0x80040200u)
#define CONNECT_E_ADVISELIMIT _HRESULT_TYPEDEF_(0x80040201u)
#define CONNECT_E_CANNOTCONNECT _HRESULT_TYPEDEF_(0x80040202u)
#define CONNECT_E_OVERRIDDEN _HRESULT_TYPEDEF_(0x80040203u)
#define DISP_E_UNKNOWNINTERFACE _HRESULT_TYPEDEF_(0x80020001u)
#define DISP_E_MEMBERNOTFOUND _HRESULT_TYPEDEF_(0x80020003u)
#define DISP_E_PARAMNOTFOUND _HRESULT_TYPEDEF_(0x80020004u)
#define DISP_E_TYPEMISMATCH _HRESULT_TYPEDEF_(0x80020005u)
#define DISP_E_UNKNOWNNAME _HRESULT_TYPEDEF_(0x80020006u)
#define DISP_E_NONAMEDARGS _HRESULT_TYPEDEF_(0x80020007u)
#define DISP_E_BADVARTYPE _HRESULT_TYPEDEF_(0x80020008u)
#define DISP_E_EXCEPTION _HRESULT_TYPEDEF_(0x80020009u)
#define DISP_E_OVERFLOW _HRESULT_TYPEDEF_(0x8002000Au)
#define DISP_E_BADINDEX _HRESULT_TYPEDEF_(0x8002000Bu)
#define DISP_E_ARRAYISLOCKED _HRESULT_TYPEDEF_(0x8002000Du)
#define DISP_E_BADPARAMCOUNT _HRESULT_TYPEDEF_(0x8002000Eu)

// ---- Interface identities -----------------------------------------------------------------

inline constexpr IID IID_NULL = GUID_NULL;

namespace platform::com {
// The IID of an interface type; specialised by COM_DECLARE_UUID next to each interface.
template <class Interface>
struct UuidTraits;
}  // namespace platform::com

// Binds an interface type to its IID constant. Use at global namespace scope, after the
// interface and the constant.
#define COM_DECLARE_UUID(Interface, iid)         \
    namespace platform::com {                    \
    template <>                                  \
    struct UuidTraits<Interface> {               \
        static constexpr const IID& value = iid; \
    };                                           \
    }

// The IID of an interface type (a reference to its IID constant).
#define __uuidof(Interface) (::platform::com::UuidTraits<Interface>::value)

// ---- IUnknown and IDispatch -----------------------------------------------------------

inline constexpr IID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IDispatch = {
    0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

struct IUnknown {
    STDMETHOD(QueryInterface)(REFIID riid, void** ppvObject) = 0;
    STDMETHOD_(ULONG, AddRef)() = 0;
    STDMETHOD_(ULONG, Release)() = 0;

    // Typed form: asks for the interface Q by its IID.
    template <class Q>
    HRESULT QueryInterface(Q** pp) {
        void* raw = nullptr;
        HRESULT hr = QueryInterface(__uuidof(Q), &raw);
        *pp = static_cast<Q*>(raw);
        return hr;
    }
};
COM_DECLARE_UUID(IUnknown, IID_IUnknown)
using LPUNKNOWN = IUnknown*;

struct ITypeInfo;  // type information is not offered by this layer

// Automation argument list. rgvarg holds the arguments in reverse order: rgvarg[0] is the
// last argument.
struct DISPPARAMS {
    VARIANTARG* rgvarg;
    DISPID* rgdispidNamedArgs;
    UINT cArgs;
    UINT cNamedArgs;
};

struct EXCEPINFO {
    WORD wCode;
    WORD wReserved;
    BSTR bstrSource;
    BSTR bstrDescription;
    BSTR bstrHelpFile;
    DWORD dwHelpContext;
    PVOID pvReserved;
    HRESULT (*pfnDeferredFillIn)(EXCEPINFO*);
    SCODE scode;
};

#define DISPATCH_METHOD 0x1
#define DISPATCH_PROPERTYGET 0x2
#define DISPATCH_PROPERTYPUT 0x4
#define DISPATCH_PROPERTYPUTREF 0x8
#define DISPID_UNKNOWN (-1)
#define DISPID_VALUE 0
#define DISPID_PROPERTYPUT (-3)
#define DISPID_NEWENUM (-4)
#define LOCALE_SYSTEM_DEFAULT 0x0800u
#define LOCALE_USER_DEFAULT 0x0400u

struct IDispatch : IUnknown {
    STDMETHOD(GetTypeInfoCount)(UINT* pctinfo) = 0;
    STDMETHOD(GetTypeInfo)(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) = 0;
    STDMETHOD(GetIDsOfNames)
    (REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) = 0;
    STDMETHOD(Invoke)
    (DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
     VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) = 0;
};
COM_DECLARE_UUID(IDispatch, IID_IDispatch)
using LPDISPATCH = IDispatch*;
#endif  // _WIN32
