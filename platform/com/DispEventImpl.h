// IDispEventImpl: the base of an event sink that receives a source's dispinterface events and
// dispatches each to a member function through the sink map:
//
//     class Sink : public ATL::IDispEventImpl<0, Sink, &DIID__ISourceEvents, &LIBID_Lib, 1, 0>,
//                  public ATL::CComObjectRootEx<ATL::CComMultiThreadModel> {
//     public:
//         BEGIN_SINK_MAP(Sink)
//             SINK_ENTRY_EX(0, DIID__ISourceEvents, 1, OnChanged)
//         END_SINK_MAP()
//         void __stdcall OnChanged(IDispatch* item);
//     };
//
// Created as CComObject<Sink>, the sink is counted like any object; DispEventAdvise and
// DispEventUnadvise connect it to a source and keep the cookie. Invoke converts the DISPPARAMS
// arguments to the handler's parameter types (IDispatch*, IUnknown*, BSTR, VARIANT, VARIANT*,
// bool, the integer types and double): a wrong argument count gives DISP_E_BADPARAMCOUNT, an
// argument that does not convert DISP_E_TYPEMISMATCH. Events the map does not list are
// ignored (S_OK). An exception thrown by a handler is stopped at the sink: Invoke answers
// DISP_E_EXCEPTION (with the error's HRESULT in EXCEPINFO::scode) instead.
#pragma once

#include <cstddef>
#include <exception>
#include <tuple>
#include <type_traits>
#include <utility>

#include "platform/com/ComBase.h"
#include "platform/com/ComError.h"
#include "platform/com/ConnectionPoint.h"
#include "platform/com/Variant.h"

namespace ATL {

struct _ATL_EVENT_ENTRY {
    UINT nControlID;
    const IID* piid;  // IID_NULL: any event interface of the control id
    DISPID dispid;
    HRESULT(*invoke)
    (void* sink, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr);
};

namespace detail {

// How an event argument reaches a handler parameter of type P.
template <class P>
struct EventArg;
template <>
struct EventArg<IDispatch*> {
    static constexpr VARTYPE vt = VT_DISPATCH;
    static IDispatch* get(VARIANT& v) { return v.pdispVal; }
};
template <>
struct EventArg<IUnknown*> {
    static constexpr VARTYPE vt = VT_UNKNOWN;
    static IUnknown* get(VARIANT& v) { return v.punkVal; }
};
template <>
struct EventArg<BSTR> {
    static constexpr VARTYPE vt = VT_BSTR;
    static BSTR get(VARIANT& v) { return v.bstrVal; }
};
template <>
struct EventArg<bool> {
    static constexpr VARTYPE vt = VT_BOOL;
    static bool get(VARIANT& v) { return v.boolVal != VARIANT_FALSE; }
};
template <>
struct EventArg<SHORT> {  // also VARIANT_BOOL
    static constexpr VARTYPE vt = VT_I2;
    static SHORT get(VARIANT& v) { return v.iVal; }
};
template <>
struct EventArg<USHORT> {
    static constexpr VARTYPE vt = VT_UI2;
    static USHORT get(VARIANT& v) { return v.uiVal; }
};
template <>
struct EventArg<LONG> {
    static constexpr VARTYPE vt = VT_I4;
    static LONG get(VARIANT& v) { return v.lVal; }
};
template <>
struct EventArg<ULONG> {
    static constexpr VARTYPE vt = VT_UI4;
    static ULONG get(VARIANT& v) { return v.ulVal; }
};
template <>
struct EventArg<BYTE> {
    static constexpr VARTYPE vt = VT_UI1;
    static BYTE get(VARIANT& v) { return v.bVal; }
};
template <>
struct EventArg<double> {
    static constexpr VARTYPE vt = VT_R8;
    static double get(VARIANT& v) { return v.dblVal; }
};
// VARIANT parameters (by value, const reference or pointer) get the argument as it came.
template <>
struct EventArg<VARIANT> {
    static constexpr VARTYPE vt = VT_VARIANT;
    static VARIANT& get(VARIANT& v) { return v; }
};
template <>
struct EventArg<VARIANT*> {
    static constexpr VARTYPE vt = VT_VARIANT;
    static VARIANT* get(VARIANT& v) { return &v; }
};

template <class P>
using EventArgOf = EventArg<std::remove_cv_t<std::remove_reference_t<P>>>;

// Converts one argument; a VARIANT parameter receives a copy (by-reference values resolved).
HRESULT convertEventArg(VARIANT& out, const VARIANT& in, VARTYPE vt);

template <class F>
struct MemberTraits;
template <class C, class R, class... A>
struct MemberTraits<R (C::*)(A...)> {
    using Result = R;
    using Args = std::tuple<A...>;
    static constexpr std::size_t count = sizeof...(A);
};
template <class C, class R, class... A>
struct MemberTraits<R (C::*)(A...) noexcept> : MemberTraits<R (C::*)(A...)> {};

HRESULT containException(EXCEPINFO* excepInfo, HRESULT hr);

}  // namespace detail

// The dispatch thunk of one sink-map entry: converts the arguments and calls T's member fn.
template <class T, auto fn>
struct SinkThunk {
    using Traits = detail::MemberTraits<decltype(fn)>;
    static constexpr std::size_t N = Traits::count;

    static HRESULT call(void* sink, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo,
                        UINT* argErr) {
        UINT given = params ? params->cArgs : 0;
        if (params && params->cNamedArgs != 0)
            return DISP_E_NONAMEDARGS;
        if (given != N)
            return DISP_E_BADPARAMCOUNT;
        VARIANT args[N ? N : 1];
        for (auto& a : args)
            VariantInit(&a);
        HRESULT hr = convertAll(params, args, argErr, std::make_index_sequence<N>());
        if (SUCCEEDED(hr)) {
            try {
                hr = invoke(static_cast<T*>(sink), args, std::make_index_sequence<N>());
            } catch (const _com_error& e) {
                hr = detail::containException(excepInfo, e.Error());
            } catch (...) {
                hr = detail::containException(excepInfo, E_FAIL);
            }
        }
        for (auto& a : args)
            VariantClear(&a);
        if (result)
            VariantInit(result);
        return hr;
    }

  private:
    template <std::size_t... I>
    static HRESULT convertAll(DISPPARAMS* params, VARIANT* args, UINT* argErr,
                              std::index_sequence<I...>) {
        HRESULT hr = S_OK;
        (void)params;
        (void)args;
        (void)argErr;
        // Stops at the first argument that does not convert.
        bool ok = (ok_(hr = convert<I, std::tuple_element_t<I, typename Traits::Args>>(params, args,
                                                                                       argErr)) &&
                   ...);
        (void)ok;
        return hr;
    }
    static bool ok_(HRESULT hr) { return hr >= 0; }
    template <std::size_t I, class P>
    static HRESULT convert(DISPPARAMS* params, VARIANT* args, UINT* argErr) {
        UINT index = static_cast<UINT>(N - 1 - I);
        HRESULT hr =
            detail::convertEventArg(args[I], params->rgvarg[index], detail::EventArgOf<P>::vt);
        if (FAILED(hr)) {
            if (argErr)
                *argErr = index;
            return DISP_E_TYPEMISMATCH;
        }
        return S_OK;
    }
    template <std::size_t... I>
    static HRESULT invoke(T* sink, VARIANT* args, std::index_sequence<I...>) {
        using R = typename Traits::Result;
        if constexpr (std::is_same_v<R, HRESULT>) {
            return (sink->*fn)(
                detail::EventArgOf<std::tuple_element_t<I, typename Traits::Args>>::get(
                    args[I])...);
        } else {
            (sink->*fn)(detail::EventArgOf<std::tuple_element_t<I, typename Traits::Args>>::get(
                args[I])...);
            return S_OK;
        }
    }
};

// The sink for the event interface *pdiid of the source with control id nID. plibid, wMajor
// and wMinor name the type library the interface comes from (kept for the reader: arguments
// are converted from the handlers' own parameter types).
template <UINT nID, class T, const IID* pdiid, const GUID* plibid = nullptr, WORD wMajor = 1,
          WORD wMinor = 0>
class IDispEventImpl : public IDispatch {
  public:
    static constexpr DWORD kNoCookie = 0xFEFEFEFE;

    // A sink not wrapped in CComObject is not counted (the source does not own it);
    // CComObject<T> replaces these with its counted ones.
    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) {
        return _InternalQueryInterface(riid, ppv);
    }
    STDMETHOD_(ULONG, AddRef)() { return 1; }
    STDMETHOD_(ULONG, Release)() { return 1; }

    // IUnknown, IDispatch and the event interface, all as this sink's IDispatch.
    HRESULT _InternalQueryInterface(REFIID riid, void** ppv) {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == *pdiid) {
            IDispatch* self = this;
            self->AddRef();
            *ppv = self;
            return S_OK;
        }
        return E_NOINTERFACE;
    }

    STDMETHOD(GetTypeInfoCount)(UINT* pctinfo) {
        if (!pctinfo)
            return E_POINTER;
        *pctinfo = 0;
        return S_OK;
    }
    STDMETHOD(GetTypeInfo)(UINT, LCID, ITypeInfo** ppTInfo) {
        if (!ppTInfo)
            return E_POINTER;
        *ppTInfo = nullptr;
        return DISP_E_BADINDEX;
    }
    STDMETHOD(GetIDsOfNames)(REFIID, LPOLESTR*, UINT cNames, LCID, DISPID* rgDispId) {
        for (UINT i = 0; rgDispId && i < cNames; ++i)
            rgDispId[i] = DISPID_UNKNOWN;
        return DISP_E_UNKNOWNNAME;
    }
    STDMETHOD(Invoke)
    (DISPID dispIdMember, REFIID, LCID, WORD, DISPPARAMS* pDispParams, VARIANT* pVarResult,
     EXCEPINFO* pExcepInfo, UINT* puArgErr) {
        for (const _ATL_EVENT_ENTRY* e = T::_GetSinkMap(); e->invoke; ++e) {
            if (e->nControlID != nID || e->dispid != dispIdMember)
                continue;
            if (*e->piid != IID_NULL && *e->piid != *pdiid)
                continue;
            return e->invoke(static_cast<T*>(this), pDispParams, pVarResult, pExcepInfo, puArgErr);
        }
        return S_OK;
    }

    // Connects the sink to the source's connection point for the event interface and keeps
    // the cookie. E_UNEXPECTED when the sink is advised already.
    HRESULT DispEventAdvise(IUnknown* pUnk, const IID* piid = pdiid) {
        if (m_dwEventCookie != kNoCookie)
            return E_UNEXPECTED;
        DWORD cookie = 0;
        HRESULT hr = AtlAdvise(pUnk, static_cast<IDispatch*>(this), *piid, &cookie);
        if (SUCCEEDED(hr)) {
            m_dwEventCookie = cookie;
            m_iid = *piid;
        }
        return hr;
    }
    // Disconnects with the kept cookie; CONNECT_E_NOCONNECTION when not advised.
    HRESULT DispEventUnadvise(IUnknown* pUnk, const IID* piid = pdiid) {
        if (m_dwEventCookie == kNoCookie)
            return CONNECT_E_NOCONNECTION;
        HRESULT hr = AtlUnadvise(pUnk, *piid, m_dwEventCookie);
        if (SUCCEEDED(hr))
            m_dwEventCookie = kNoCookie;
        return hr;
    }

    DWORD m_dwEventCookie = kNoCookie;
    IID m_iid = *pdiid;
};

}  // namespace ATL

#define BEGIN_SINK_MAP(x)                                 \
  public:                                                 \
    using SinkMapClass_ = x;                              \
    static const ::ATL::_ATL_EVENT_ENTRY* _GetSinkMap() { \
        static const ::ATL::_ATL_EVENT_ENTRY map[] = {
#define SINK_ENTRY_EX(id, iid, dispid, fn) \
    {id, &(iid), dispid, &::ATL::SinkThunk<SinkMapClass_, &SinkMapClass_::fn>::call},
#define SINK_ENTRY(id, dispid, fn) \
    {id, &IID_NULL, dispid, &::ATL::SinkThunk<SinkMapClass_, &SinkMapClass_::fn>::call},
#define END_SINK_MAP()         \
    { 0, nullptr, 0, nullptr } \
    }                          \
    ;                          \
    return map;                \
    }
