// The ATL object model: reference-counted objects with the multithreaded model
// (CComObjectRootEx<CComMultiThreadModel>), their creation as CComObject<T>, interface maps
// (BEGIN_COM_MAP ... END_COM_MAP), IDispatchImpl for dual interfaces, and the module
// (CAtlModule) whose lock count says whether objects of the process still exist.
//
// A class implements its interfaces and declares them in its interface map:
//
//     class Sample : public ATL::CComObjectRootEx<ATL::CComMultiThreadModel>,
//                    public ATL::IDispatchImpl<ISample>,
//                    public IOther {
//     public:
//         BEGIN_COM_MAP(Sample)
//             COM_INTERFACE_ENTRY(ISample)
//             COM_INTERFACE_ENTRY(IDispatch)
//             COM_INTERFACE_ENTRY(IOther)
//         END_COM_MAP()
//         ...
//     };
//
// and is created with ATL::CComObject<Sample>::CreateInstance(&p) (count 0; take a reference)
// or ATL::CComCreator<ATL::CComObject<Sample>>::CreateInstance(outer, iid, &pv). The first
// entry of the map gives the object's IUnknown identity. COM_INTERFACE_ENTRY_CHAIN(Base)
// hands the rest of the search to a base class's map.
#pragma once

#include <atomic>
#include <climits>
#include <mutex>
#include <new>

#include "platform/com/ComBase.h"

namespace ATL {

// ---- Module -----------------------------------------------------------------------------

// The module of the process. The first one constructed becomes _pAtlModule; every
// CComObject locks it while the object exists. It must outlive the objects it counts.
class CAtlModule {
  public:
    CAtlModule() noexcept;
    CAtlModule(const CAtlModule&) = delete;
    CAtlModule& operator=(const CAtlModule&) = delete;
    virtual ~CAtlModule();

    virtual LONG Lock() noexcept { return m_nLockCnt.fetch_add(1) + 1; }
    virtual LONG Unlock() noexcept { return m_nLockCnt.fetch_sub(1) - 1; }
    virtual LONG GetLockCount() noexcept { return m_nLockCnt.load(); }

  protected:
    std::atomic<LONG> m_nLockCnt{0};
};

// The process's module, or null while none exists.
extern CAtlModule* _pAtlModule;

// ---- Threading model and object root ------------------------------------------------------

class CComMultiThreadModel {
  public:
    static ULONG Increment(std::atomic<LONG>& v) noexcept {
        return static_cast<ULONG>(v.fetch_add(1, std::memory_order_relaxed) + 1);
    }
    static ULONG Decrement(std::atomic<LONG>& v) noexcept {
        return static_cast<ULONG>(v.fetch_sub(1, std::memory_order_acq_rel) - 1);
    }
    using AutoCriticalSection = std::recursive_mutex;
};

// The reference count and the object-wide lock of a COM object.
template <class ThreadModel>
class CComObjectRootEx {
  public:
    using _ThreadModel = ThreadModel;

    CComObjectRootEx() = default;
    CComObjectRootEx(const CComObjectRootEx&) = delete;
    CComObjectRootEx& operator=(const CComObjectRootEx&) = delete;

    ULONG InternalAddRef() noexcept { return ThreadModel::Increment(m_dwRef); }
    ULONG InternalRelease() noexcept { return ThreadModel::Decrement(m_dwRef); }
    // Hooks run by CComObject after construction (a failure destroys the object) and before
    // destruction.
    HRESULT FinalConstruct() { return S_OK; }
    void FinalRelease() {}

    void Lock() { m_critsec.lock(); }
    void Unlock() { m_critsec.unlock(); }
    // Holds the object-wide lock for a scope.
    class ObjectLock {
      public:
        explicit ObjectLock(CComObjectRootEx* p) : m_p(p) { m_p->Lock(); }
        ~ObjectLock() { m_p->Unlock(); }
        ObjectLock(const ObjectLock&) = delete;
        ObjectLock& operator=(const ObjectLock&) = delete;

      private:
        CComObjectRootEx* m_p;
    };

    std::atomic<LONG> m_dwRef{0};

  protected:
    ~CComObjectRootEx() = default;

  private:
    typename ThreadModel::AutoCriticalSection m_critsec;
};

// ---- Interface maps -------------------------------------------------------------------

struct _ATL_INTMAP_ENTRY {
    const IID* piid;  // null for a chain entry and for the terminator
    // The interface with a new reference (as the void* of the interface pointer).
    void* (*query)(void* object);
    // The interface as IUnknown, without a reference.
    IUnknown* (*unknown)(void* object);
    // Chain entry: the search in a base class's map.
    HRESULT (*chain)(void* object, REFIID iid, void** ppv);
};

// Searches a map. IID_IUnknown gives the first entry's interface.
HRESULT AtlInternalQueryInterface(void* object, const _ATL_INTMAP_ENTRY* entries, REFIID iid,
                                  void** ppv);

template <class C, class I, class Via = I>
void* comMapQuery(void* object) {
    I* p = static_cast<Via*>(static_cast<C*>(object));
    p->AddRef();
    return p;
}
template <class C, class I, class Via = I>
IUnknown* comMapUnknown(void* object) {
    return static_cast<I*>(static_cast<Via*>(static_cast<C*>(object)));
}
template <class C, class Base>
HRESULT comMapChain(void* object, REFIID iid, void** ppv) {
    return static_cast<Base*>(static_cast<C*>(object))->Base::_InternalQueryInterface(iid, ppv);
}

}  // namespace ATL

#define BEGIN_COM_MAP(x)                                                        \
  public:                                                                       \
    using ComMapClass_ = x;                                                     \
    HRESULT _InternalQueryInterface(REFIID iid, void** ppv) {                   \
        return ::ATL::AtlInternalQueryInterface(this, _GetEntries(), iid, ppv); \
    }                                                                           \
    IUnknown* GetUnknown() {                                                    \
        const ::ATL::_ATL_INTMAP_ENTRY* first = _GetEntries();                  \
        return first->unknown ? first->unknown(this) : nullptr;                 \
    }                                                                           \
    static const ::ATL::_ATL_INTMAP_ENTRY* _GetEntries() {                      \
        static const ::ATL::_ATL_INTMAP_ENTRY entries[] = {
#define COM_INTERFACE_ENTRY(I)                                                                   \
    {&__uuidof(I), &::ATL::comMapQuery<ComMapClass_, I>, &::ATL::comMapUnknown<ComMapClass_, I>, \
     nullptr},
#define COM_INTERFACE_ENTRY_IID(iid, I) \
    {&(iid), &::ATL::comMapQuery<ComMapClass_, I>, &::ATL::comMapUnknown<ComMapClass_, I>, nullptr},
// Interface I reached through the base Via (I is an ambiguous base, as IDispatch of an
// object with several dual interfaces).
#define COM_INTERFACE_ENTRY2(I, Via)                          \
    {&__uuidof(I), &::ATL::comMapQuery<ComMapClass_, I, Via>, \
     &::ATL::comMapUnknown<ComMapClass_, I, Via>, nullptr},
#define COM_INTERFACE_ENTRY2_IID(iid, I, Via)           \
    {&(iid), &::ATL::comMapQuery<ComMapClass_, I, Via>, \
     &::ATL::comMapUnknown<ComMapClass_, I, Via>, nullptr},
#define COM_INTERFACE_ENTRY_CHAIN(Base) \
    {nullptr, nullptr, nullptr, &::ATL::comMapChain<ComMapClass_, Base>},
#define END_COM_MAP()                      \
    { nullptr, nullptr, nullptr, nullptr } \
    }                                      \
    ;                                      \
    return entries;                        \
    }

// Declarations kept for source compatibility; objects here are always protected during
// FinalConstruct, never aggregated and never in a system registry.
#define DECLARE_PROTECT_FINAL_CONSTRUCT()
#define DECLARE_NOT_AGGREGATABLE(x)
#define DECLARE_NO_REGISTRY()

namespace ATL {

// ---- Creatable objects ----------------------------------------------------------------

namespace detail {
// Runs FinalConstruct under a guard reference; a failure destroys the object.
template <class Object>
HRESULT construct(Object* p) {
    p->InternalAddRef();
    HRESULT hr = p->FinalConstruct();
    p->InternalRelease();
    if (FAILED(hr))
        delete p;
    return hr;
}
}  // namespace detail

// A COM object of class Base that locks the module while it exists. Created with a count of
// 0 by CreateInstance; the last Release destroys it (FinalRelease runs first).
template <class Base>
class CComObject : public Base {
  public:
    explicit CComObject(void* = nullptr) : m_module(_pAtlModule) {
        if (m_module)
            m_module->Lock();
    }
    virtual ~CComObject() {
        this->m_dwRef = -(INT32_MAX / 2);  // guards FinalRelease against a second delete
        this->FinalRelease();
        if (m_module)
            m_module->Unlock();
    }

    STDMETHOD_(ULONG, AddRef)() { return this->InternalAddRef(); }
    STDMETHOD_(ULONG, Release)() {
        ULONG left = this->InternalRelease();
        if (left == 0)
            delete this;
        return left;
    }
    STDMETHOD(QueryInterface)(REFIID iid, void** ppv) {
        return this->_InternalQueryInterface(iid, ppv);
    }
    template <class Q>
    HRESULT QueryInterface(Q** pp) {
        void* raw = nullptr;
        HRESULT hr = QueryInterface(__uuidof(Q), &raw);
        *pp = static_cast<Q*>(raw);
        return hr;
    }

    // A new object with a count of 0 in *pp; its FinalConstruct's failure is returned.
    static HRESULT CreateInstance(CComObject<Base>** pp) {
        if (!pp)
            return E_POINTER;
        *pp = nullptr;
        auto* p = new (std::nothrow) CComObject<Base>();
        if (!p)
            return E_OUTOFMEMORY;
        HRESULT hr = detail::construct(p);
        if (SUCCEEDED(hr))
            *pp = p;
        return hr;
    }

  private:
    CAtlModule* m_module;
};

// A COM object that does not lock the module: for objects served to other parts of the
// process that do not belong to its modules' count (the objects of a simulated service).
template <class Base>
class CComObjectNoLock : public Base {
  public:
    explicit CComObjectNoLock(void* = nullptr) {}
    virtual ~CComObjectNoLock() {
        this->m_dwRef = -(INT32_MAX / 2);  // guards FinalRelease against a second delete
        this->FinalRelease();
    }

    STDMETHOD_(ULONG, AddRef)() { return this->InternalAddRef(); }
    STDMETHOD_(ULONG, Release)() {
        ULONG left = this->InternalRelease();
        if (left == 0)
            delete this;
        return left;
    }
    STDMETHOD(QueryInterface)(REFIID iid, void** ppv) {
        return this->_InternalQueryInterface(iid, ppv);
    }

    static HRESULT CreateInstance(CComObjectNoLock<Base>** pp) {
        if (!pp)
            return E_POINTER;
        *pp = nullptr;
        auto* p = new (std::nothrow) CComObjectNoLock<Base>();
        if (!p)
            return E_OUTOFMEMORY;
        HRESULT hr = detail::construct(p);
        if (SUCCEEDED(hr))
            *pp = p;
        return hr;
    }
};

// Class-factory helper: makes a T (a CComObject<...> or CComObjectNoLock<...>) and answers
// QueryInterface(riid) of it. Aggregation is not supported (CLASS_E_NOAGGREGATION).
template <class T>
class CComCreator {
  public:
    static HRESULT CreateInstance(void* pv, REFIID riid, LPVOID* ppv) {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (pv)
            return CLASS_E_NOAGGREGATION;
        T* p = nullptr;
        HRESULT hr = T::CreateInstance(&p);
        if (FAILED(hr))
            return hr;
        p->InternalAddRef();
        hr = p->QueryInterface(riid, ppv);
        p->Release();  // the object lives on only with the reference QueryInterface gave
        return hr;
    }
};

// ---- Dual interfaces --------------------------------------------------------------------

// The IDispatch part of a dual interface T. The component and its peers call dual interfaces
// through their vtables; late binding is not offered: no type information, names are
// unknown and Invoke answers DISP_E_MEMBERNOTFOUND.
template <class T, const IID* piid = &__uuidof(T), const GUID* plibid = nullptr, WORD wMajor = 1,
          WORD wMinor = 0>
class IDispatchImpl : public T {
  public:
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
    STDMETHOD(Invoke)(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) {
        return DISP_E_MEMBERNOTFOUND;
    }
};

}  // namespace ATL
