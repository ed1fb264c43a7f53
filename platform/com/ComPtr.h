// Counted interface pointers: _com_ptr_t (the raising smart pointer of imported type
// libraries, with _COM_SMARTPTR_TYPEDEF giving the IFooPtr types) and ATL's CComPtr and
// CComQIPtr (which report failures as HRESULTs and never raise).
#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>
#include <utility>

#include "platform/com/ClassRegistry.h"
#include "platform/com/ComBase.h"
#include "platform/com/ComError.h"
#include "platform/com/Variant.h"

namespace platform::com {

// Asks p for the interface iid; the result (one reference) or null.
template <class Q>
HRESULT queryInterface(IUnknown* p, REFIID iid, Q** out) {
    void* raw = nullptr;
    HRESULT hr = p ? p->QueryInterface(iid, &raw) : E_POINTER;
    if (FAILED(hr))
        raw = nullptr;
    *out = static_cast<Q*>(raw);
    return hr;
}

// True when both pointers are the same COM object (equal IUnknown identities).
bool isSameObject(IUnknown* a, IUnknown* b);

}  // namespace platform::com

// The interface type and IID of a _com_ptr_t.
template <class I, const IID* piid>
struct _com_IIID {
    using Interface = I;
    static const IID& GetIID() noexcept { return *piid; }
};

#define _COM_SMARTPTR_TYPEDEF(Interface, iid) \
    using Interface##Ptr = _com_ptr_t<_com_IIID<Interface, &(iid)>>

// A counted pointer to the interface of _IIID. Assigning from another interface pointer or
// from a VARIANT asks for the interface (QueryInterface); a missing interface gives null, a
// VARIANT that holds no object raises _com_error. The dereference operators raise E_POINTER
// on a null pointer.
template <class _IIID>
class _com_ptr_t {
  public:
    using Interface = typename _IIID::Interface;
    static const IID& GetIID() noexcept { return _IIID::GetIID(); }

    _com_ptr_t() noexcept = default;
    _com_ptr_t(std::nullptr_t) noexcept {}
    // Takes a new reference on p.
    _com_ptr_t(Interface* p) noexcept : m_p(p) { addRef(); }
    // fAddRef false takes over the caller's reference.
    _com_ptr_t(Interface* p, bool fAddRef) noexcept : m_p(p) {
        if (fAddRef)
            addRef();
    }
    _com_ptr_t(const _com_ptr_t& o) noexcept : m_p(o.m_p) { addRef(); }
    _com_ptr_t(_com_ptr_t&& o) noexcept : m_p(o.m_p) { o.m_p = nullptr; }
    // Another interface: QueryInterface.
    template <class Q, class = std::enable_if_t<std::is_base_of_v<IUnknown, Q> &&
                                                !std::is_same_v<Q, Interface>>>
    _com_ptr_t(Q* p) {
        queryFrom(p);
    }
    template <class J>
    _com_ptr_t(const _com_ptr_t<J>& o) {
        queryFrom(o.GetInterfacePtr());
    }
    // The object a VARIANT holds (VT_DISPATCH or VT_UNKNOWN, also by reference).
    _com_ptr_t(const VARIANT& var) { assignVariant(var); }
    // A new object of the class, created in every context (CLSCTX_ALL).
    explicit _com_ptr_t(const CLSID& clsid, IUnknown* outer = nullptr, DWORD context = CLSCTX_ALL) {
        HRESULT hr = CreateInstance(clsid, outer, context);
        if (FAILED(hr) && hr != E_NOINTERFACE)
            _com_issue_error(hr);
    }
    ~_com_ptr_t() { release(); }

    _com_ptr_t& operator=(const _com_ptr_t& o) noexcept {
        reset(o.m_p);
        return *this;
    }
    _com_ptr_t& operator=(_com_ptr_t&& o) noexcept {
        if (this != std::addressof(o)) {
            release();
            m_p = o.m_p;
            o.m_p = nullptr;
        }
        return *this;
    }
    _com_ptr_t& operator=(Interface* p) noexcept {
        reset(p);
        return *this;
    }
    _com_ptr_t& operator=(std::nullptr_t) noexcept {
        release();
        return *this;
    }
    template <class Q, class = std::enable_if_t<std::is_base_of_v<IUnknown, Q> &&
                                                !std::is_same_v<Q, Interface>>>
    _com_ptr_t& operator=(Q* p) {
        _com_ptr_t tmp(p);
        return *this = std::move(tmp);
    }
    template <class J>
    _com_ptr_t& operator=(const _com_ptr_t<J>& o) {
        return *this = o.GetInterfacePtr();
    }
    _com_ptr_t& operator=(const VARIANT& var) {
        _com_ptr_t tmp(var);
        return *this = std::move(tmp);
    }

    // Creates the object. With a server context (local or remote) the object is made through
    // IUnknown, started with OleRun and then asked for the interface, as servers expect.
    HRESULT CreateInstance(const CLSID& clsid, IUnknown* outer = nullptr,
                           DWORD context = CLSCTX_ALL) {
        release();
        HRESULT hr;
        void* raw = nullptr;
        if (context & (CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)) {
            void* unk = nullptr;
            hr = CoCreateInstance(clsid, outer, context, IID_IUnknown, &unk);
            if (SUCCEEDED(hr)) {
                auto* object = static_cast<IUnknown*>(unk);
                hr = OleRun(object);
                if (SUCCEEDED(hr))
                    hr = object->QueryInterface(GetIID(), &raw);
                object->Release();
            }
        } else {
            hr = CoCreateInstance(clsid, outer, context, GetIID(), &raw);
        }
        m_p = SUCCEEDED(hr) ? static_cast<Interface*>(raw) : nullptr;
        return hr;
    }

    // Takes over the caller's reference (fAddRef false) or takes a new one.
    void Attach(Interface* p) noexcept {
        release();
        m_p = p;
    }
    void Attach(Interface* p, bool fAddRef) noexcept {
        release();
        m_p = p;
        if (fAddRef)
            addRef();
    }
    // Gives up the reference to the caller.
    Interface* Detach() noexcept { return std::exchange(m_p, nullptr); }
    void AddRef() {
        if (!m_p)
            _com_issue_error(E_POINTER);
        m_p->AddRef();
    }
    // Releases the reference; raises E_POINTER when there is none.
    void Release() {
        if (!m_p)
            _com_issue_error(E_POINTER);
        release();
    }
    template <class Q>
    HRESULT QueryInterface(REFIID iid, Q** out) const {
        return platform::com::queryInterface(m_p, iid, out);
    }

    Interface* GetInterfacePtr() const noexcept { return m_p; }
    Interface*& GetInterfacePtr() noexcept { return m_p; }
    operator Interface*() const noexcept { return m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }
    bool operator!() const noexcept { return m_p == nullptr; }
    Interface* operator->() const {
        if (!m_p)
            _com_issue_error(E_POINTER);
        return m_p;
    }
    Interface& operator*() const {
        if (!m_p)
            _com_issue_error(E_POINTER);
        return *m_p;
    }
    // Releases the current reference and gives the address for an out parameter.
    Interface** operator&() noexcept {
        release();
        return &m_p;
    }

    // Equality is object identity.
    template <class Q>
    bool operator==(Q* p) const {
        return platform::com::isSameObject(m_p, p);
    }
    template <class J>
    bool operator==(const _com_ptr_t<J>& o) const {
        return platform::com::isSameObject(m_p, o.GetInterfacePtr());
    }
    bool operator==(const _com_ptr_t& o) const { return platform::com::isSameObject(m_p, o.m_p); }
    bool operator==(std::nullptr_t) const noexcept { return m_p == nullptr; }

  private:
    void addRef() noexcept {
        if (m_p)
            m_p->AddRef();
    }
    void release() noexcept {
        if (Interface* p = std::exchange(m_p, nullptr))
            p->Release();
    }
    void reset(Interface* p) noexcept {
        if (p)
            p->AddRef();
        release();
        m_p = p;
    }
    void queryFrom(IUnknown* p) {
        if (p)
            platform::com::queryInterface(p, GetIID(), &m_p);
    }
    void assignVariant(const VARIANT& var) {
        VARIANT object;
        VariantInit(&object);
        HRESULT hr = VariantChangeType(&object, &var, 0, VT_DISPATCH);
        if (hr == E_NOINTERFACE || FAILED(hr))
            hr = VariantChangeType(&object, &var, 0, VT_UNKNOWN);
        if (FAILED(hr))
            _com_issue_error(hr);
        if (object.punkVal) {
            IUnknown* unk = object.vt == VT_UNKNOWN ? object.punkVal : object.pdispVal;
            hr = platform::com::queryInterface(unk, GetIID(), &m_p);
        }
        VariantClear(&object);
        if (FAILED(hr) && hr != E_NOINTERFACE)
            _com_issue_error(hr);
    }

    Interface* m_p = nullptr;
};

_COM_SMARTPTR_TYPEDEF(IUnknown, __uuidof(IUnknown));
_COM_SMARTPTR_TYPEDEF(IDispatch, __uuidof(IDispatch));

namespace ATL {

// ATL's counted interface pointer: no exceptions, failures are HRESULTs. Assigning another
// interface type asks for the interface.
template <class T>
class CComPtr {
  public:
    CComPtr() noexcept = default;
    CComPtr(std::nullptr_t) noexcept {}
    CComPtr(T* lp) noexcept : p(lp) {
        if (p)
            p->AddRef();
    }
    CComPtr(const CComPtr& o) noexcept : CComPtr(o.p) {}
    CComPtr(CComPtr&& o) noexcept : p(o.p) { o.p = nullptr; }
    template <class Q,
              class = std::enable_if_t<!std::is_same_v<Q, T> && std::is_convertible_v<Q*, T*>>>
    CComPtr(const CComPtr<Q>& o) noexcept : CComPtr(static_cast<T*>(o.p)) {}
    ~CComPtr() { Release(); }

    CComPtr& operator=(const CComPtr& o) noexcept {
        reset(o.p);
        return *this;
    }
    CComPtr& operator=(CComPtr&& o) noexcept {
        if (this != std::addressof(o)) {
            Release();
            p = o.p;
            o.p = nullptr;
        }
        return *this;
    }
    CComPtr& operator=(T* lp) noexcept {
        reset(lp);
        return *this;
    }
    CComPtr& operator=(std::nullptr_t) noexcept {
        Release();
        return *this;
    }
    // Another interface type: QueryInterface for T.
    template <class Q, class = std::enable_if_t<!std::is_same_v<Q, T>>>
    CComPtr& operator=(const CComPtr<Q>& o) noexcept {
        T* q = nullptr;
        if (o.p)
            platform::com::queryInterface(o.p, __uuidof(T), &q);
        Release();
        p = q;
        return *this;
    }

    void Release() noexcept {
        if (T* old = std::exchange(p, nullptr))
            old->Release();
    }
    void Attach(T* lp) noexcept {
        Release();
        p = lp;
    }
    T* Detach() noexcept { return std::exchange(p, nullptr); }
    HRESULT CopyTo(T** out) const noexcept {
        if (!out)
            return E_POINTER;
        *out = p;
        if (p)
            p->AddRef();
        return S_OK;
    }
    template <class Q>
    HRESULT QueryInterface(Q** out) const noexcept {
        if (!out)
            return E_POINTER;
        return platform::com::queryInterface(p, __uuidof(Q), out);
    }
    bool IsEqualObject(IUnknown* other) const { return platform::com::isSameObject(p, other); }
    HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer = nullptr,
                             DWORD context = CLSCTX_ALL) noexcept {
        Release();
        void* raw = nullptr;
        HRESULT hr = ::CoCreateInstance(clsid, outer, context, __uuidof(T), &raw);
        p = SUCCEEDED(hr) ? static_cast<T*>(raw) : nullptr;
        return hr;
    }

    operator T*() const noexcept { return p; }
    T* operator->() const noexcept { return p; }
    T& operator*() const noexcept { return *p; }
    bool operator!() const noexcept { return p == nullptr; }
    // Releases the current reference and gives the address for an out parameter.
    T** operator&() noexcept {
        Release();
        return &p;
    }
    bool operator==(T* other) const noexcept { return p == other; }
    bool operator==(std::nullptr_t) const noexcept { return p == nullptr; }

    T* p = nullptr;

  private:
    void reset(T* lp) noexcept {
        if (lp)
            lp->AddRef();
        Release();
        p = lp;
    }
};

// A CComPtr that asks any interface pointer it is given for T.
template <class T, const IID* piid = &__uuidof(T)>
class CComQIPtr : public CComPtr<T> {
  public:
    CComQIPtr() noexcept = default;
    CComQIPtr(std::nullptr_t) noexcept {}
    CComQIPtr(T* lp) noexcept : CComPtr<T>(lp) {}
    CComQIPtr(const CComQIPtr& o) noexcept : CComPtr<T>(o.p) {}
    template <class Q,
              class = std::enable_if_t<std::is_base_of_v<IUnknown, Q> && !std::is_same_v<Q, T>>>
    CComQIPtr(Q* lp) noexcept {
        if (lp)
            platform::com::queryInterface(lp, *piid, &this->p);
    }
    template <class Q>
    CComQIPtr(const CComPtr<Q>& o) noexcept : CComQIPtr(o.p) {}

    CComQIPtr& operator=(const CComQIPtr& o) noexcept {
        CComPtr<T>::operator=(o.p);
        return *this;
    }
    CComQIPtr& operator=(T* lp) noexcept {
        CComPtr<T>::operator=(lp);
        return *this;
    }
    template <class Q,
              class = std::enable_if_t<std::is_base_of_v<IUnknown, Q> && !std::is_same_v<Q, T>>>
    CComQIPtr& operator=(Q* lp) noexcept {
        CComQIPtr tmp(lp);
        std::swap(this->p, tmp.p);
        return *this;
    }
};

}  // namespace ATL

using ATL::CComPtr;
using ATL::CComQIPtr;
