// Objects: reference counts, interface identity, interface maps, the module lock, creation
// through the class registry and the smart pointers.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/platform/com/TestObjects.h"

namespace {

// The module of this test program: every CComObject locks it while it exists.
ATL::CAtlModule g_module;

ULONG refCount(IUnknown* p) {
    p->AddRef();
    return p->Release();
}

TEST(ComObject, CountsAndIdentity) {
    ASSERT_EQ(ATL::_pAtlModule, &g_module);
    const LONG locksBefore = g_module.GetLockCount();
    const int liveBefore = g_liveObjects.load();

    ATL::CComObject<Counter>* object = nullptr;
    ASSERT_EQ(ATL::CComObject<Counter>::CreateInstance(&object), S_OK);
    EXPECT_EQ(object->m_dwRef.load(), 0);  // a new object has no reference yet
    EXPECT_EQ(g_module.GetLockCount(), locksBefore + 1);
    object->AddRef();

    ICounter* counter = object;
    IPinger* pinger = nullptr;
    ASSERT_EQ(counter->QueryInterface(IID_IPinger, reinterpret_cast<void**>(&pinger)), S_OK);
    LONG answer = 0;
    pinger->Ping(&answer);
    EXPECT_EQ(answer, 42);

    // IUnknown from any interface is the same pointer: the object's identity.
    void* fromCounter = nullptr;
    void* fromPinger = nullptr;
    void* fromDispatch = nullptr;
    IDispatch* dispatch = nullptr;
    ASSERT_EQ(counter->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)), S_OK);
    ASSERT_EQ(counter->QueryInterface(IID_IUnknown, &fromCounter), S_OK);
    ASSERT_EQ(pinger->QueryInterface(IID_IUnknown, &fromPinger), S_OK);
    ASSERT_EQ(dispatch->QueryInterface(IID_IUnknown, &fromDispatch), S_OK);
    EXPECT_EQ(fromCounter, fromPinger);
    EXPECT_EQ(fromCounter, fromDispatch);
    EXPECT_EQ(fromCounter, static_cast<void*>(object->GetUnknown()));
    EXPECT_NE(static_cast<void*>(pinger), static_cast<void*>(counter));
    EXPECT_EQ(refCount(counter), 6u);

    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(counter->QueryInterface(IID_IPlain, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(counter->QueryInterface(IID_IPlain, nullptr), E_POINTER);

    static_cast<IUnknown*>(fromCounter)->Release();
    static_cast<IUnknown*>(fromPinger)->Release();
    static_cast<IUnknown*>(fromDispatch)->Release();
    dispatch->Release();
    pinger->Release();
    EXPECT_EQ(g_liveObjects.load(), liveBefore + 1);
    EXPECT_EQ(counter->Release(), 0u);
    EXPECT_EQ(g_liveObjects.load(), liveBefore);
    EXPECT_EQ(g_module.GetLockCount(), locksBefore);
}

TEST(ComObject, FailedFinalConstructDestroysTheObject) {
    const LONG locksBefore = g_module.GetLockCount();
    const int liveBefore = g_liveObjects.load();
    Counter::s_failConstruct = true;
    ATL::CComObject<Counter>* object = reinterpret_cast<ATL::CComObject<Counter>*>(1);
    EXPECT_EQ(ATL::CComObject<Counter>::CreateInstance(&object), E_OUTOFMEMORY);
    Counter::s_failConstruct = false;
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(g_liveObjects.load(), liveBefore);
    EXPECT_EQ(g_module.GetLockCount(), locksBefore);
    EXPECT_EQ(ATL::CComObject<Counter>::CreateInstance(nullptr), E_POINTER);
}

TEST(ComObject, NoLockObjectsDoNotCountInTheModule) {
    const LONG locksBefore = g_module.GetLockCount();
    ATL::CComObjectNoLock<Counter>* object = nullptr;
    ASSERT_EQ(ATL::CComObjectNoLock<Counter>::CreateInstance(&object), S_OK);
    object->AddRef();
    EXPECT_EQ(g_module.GetLockCount(), locksBefore);
    object->Release();
}

// A class whose map hands the search on to its base's map.
class ExtendedCounter : public Counter, public IPlain {
  public:
    BEGIN_COM_MAP(ExtendedCounter)
    COM_INTERFACE_ENTRY2(IUnknown, IPlain)
    COM_INTERFACE_ENTRY(IPlain)
    COM_INTERFACE_ENTRY_CHAIN(Counter)
    END_COM_MAP()
    STDMETHOD(Nothing)() override { return S_OK; }
};

TEST(ComObject, ChainedInterfaceMap) {
    ATL::CComObject<ExtendedCounter>* object = nullptr;
    ASSERT_EQ(ATL::CComObject<ExtendedCounter>::CreateInstance(&object), S_OK);
    IPlainPtr plain(static_cast<IPlain*>(object));
    ICounterPtr counter(plain);  // found through the chained map
    ASSERT_TRUE(counter);
    IPingerPtr pinger(counter);
    ASSERT_TRUE(pinger);
    // Identity comes from the derived map's first entry, whichever interface asks.
    IUnknownPtr a(counter), b(pinger), c(plain);
    EXPECT_EQ(a.GetInterfacePtr(), b.GetInterfacePtr());
    EXPECT_EQ(a.GetInterfacePtr(), c.GetInterfacePtr());
    EXPECT_TRUE(counter == plain.GetInterfacePtr());
    IUnknownPtr missing;
    EXPECT_FALSE(IUnknownPtr(plain) == missing);
}

HRESULT createCounter(IUnknown* outer, REFIID iid, void** ppv) {
    return ATL::CComCreator<ATL::CComObject<Counter>>::CreateInstance(outer, iid, ppv);
}

TEST(ComCreation, CoCreateInstanceThroughTheRegistry) {
    const int liveBefore = g_liveObjects.load();
    ASSERT_TRUE(
        platform::com::registerClass(CLSID_TestCounter, CLSCTX_LOCAL_SERVER, createCounter));
    EXPECT_FALSE(platform::com::registerClass(CLSID_TestCounter, CLSCTX_ALL, createCounter));
    EXPECT_TRUE(platform::com::isClassRegistered(CLSID_TestCounter));

    void* p = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, nullptr, 0x17, IID_ICounter, &p), S_OK);
    ASSERT_NE(p, nullptr);
    static_cast<ICounter*>(p)->Release();
    EXPECT_EQ(g_liveObjects.load(), liveBefore);

    // A local server is not available in process only. (Wine's ole32 hands out a class object
    // registered in the process whatever context is asked for, and answers E_UNEXPECTED for no
    // context.)
    if (kOwnComRuntime) {
        p = reinterpret_cast<void*>(1);
        EXPECT_EQ(
            CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_INPROC_SERVER, IID_ICounter, &p),
            REGDB_E_CLASSNOTREG);
        EXPECT_EQ(p, nullptr);
        EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, nullptr, 0, IID_ICounter, &p), E_INVALIDARG);
    }
    EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_ALL, IID_ICounter, nullptr),
              E_POINTER);
    EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_ALL, IID_IPlain, &p),
              E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    IUnknownPtr outer(makeCounter());
    EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, outer, CLSCTX_ALL, IID_ICounter, &p),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(g_liveObjects.load(), liveBefore + 1);  // only the outer object
    outer = nullptr;

    // Through the smart pointers: server contexts go IUnknown, OleRun, QueryInterface.
    ICounterPtr counter;
    EXPECT_EQ(counter.CreateInstance(CLSID_TestCounter, nullptr, CLSCTX_ALL), S_OK);
    EXPECT_TRUE(counter);
    ATL::CComPtr<ICounter> atlCounter;
    EXPECT_EQ(atlCounter.CoCreateInstance(CLSID_TestCounter), S_OK);
    EXPECT_TRUE(atlCounter != nullptr);
    if (kOwnComRuntime) {
        EXPECT_EQ(counter.CreateInstance(CLSID_TestCounter, nullptr, CLSCTX_INPROC_SERVER),
                  REGDB_E_CLASSNOTREG);
        EXPECT_FALSE(counter);
        EXPECT_EQ(OleRun(nullptr), E_INVALIDARG);  // ole32's OleRun dereferences it
    } else {
        counter = nullptr;
    }

    EXPECT_TRUE(platform::com::unregisterClass(CLSID_TestCounter));
    EXPECT_FALSE(platform::com::unregisterClass(CLSID_TestCounter));
    EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, nullptr, 0x17, IID_ICounter, &p),
              REGDB_E_CLASSNOTREG);
    try {
        ICounterPtr never(CLSID_TestCounter);
        ADD_FAILURE() << "creation of an unregistered class did not raise";
    } catch (const _com_error& e) {
        EXPECT_EQ(e.Error(), REGDB_E_CLASSNOTREG);
    }
    atlCounter.Release();
    EXPECT_EQ(g_liveObjects.load(), liveBefore);  // the failed CreateInstance dropped `counter`
}

TEST(ComPointers, ComPtrQueriesAndCounts) {
    ICounterPtr counter = makeCounter();
    ICounter* raw = counter;
    EXPECT_EQ(refCount(raw), 1u);
    {
        IPingerPtr pinger = counter;  // another interface: QueryInterface
        ASSERT_TRUE(pinger);
        EXPECT_EQ(refCount(raw), 2u);
        IPlainPtr plain = counter;  // missing interface: null, no exception
        EXPECT_FALSE(plain);
        EXPECT_TRUE(plain == nullptr);
        ICounterPtr copy = counter;
        EXPECT_EQ(refCount(raw), 3u);
        ICounterPtr moved = std::move(copy);
        EXPECT_EQ(refCount(raw), 3u);
        EXPECT_FALSE(copy);
    }
    EXPECT_EQ(refCount(raw), 1u);

    ICounter* detached = counter.Detach();
    EXPECT_FALSE(counter);
    EXPECT_EQ(refCount(detached), 1u);
    counter.Attach(detached);  // takes the reference over
    EXPECT_EQ(refCount(raw), 1u);

    // operator& releases the old reference for an out parameter.
    IPingerPtr out = counter;
    counter->QueryInterface(IID_IPinger, reinterpret_cast<void**>(&out));
    EXPECT_EQ(refCount(raw), 2u);

    ICounterPtr empty;
    EXPECT_THROW(empty->Increment(), _com_error);
    EXPECT_THROW(empty.Release(), _com_error);

    ATL::CComQIPtr<IPinger> qi(static_cast<IUnknown*>(raw));
    EXPECT_TRUE(qi != nullptr);
    ATL::CComQIPtr<IPlain> none(static_cast<IUnknown*>(raw));
    EXPECT_TRUE(none == nullptr);
    ATL::CComPtr<IUnknown> unknown;
    unknown = ATL::CComPtr<ICounter>(raw);  // another interface: QueryInterface for IUnknown
    EXPECT_TRUE(unknown.IsEqualObject(qi));
}

TEST(ComPointers, FromVariants) {
    ICounterPtr counter = makeCounter();
    _variant_t asDispatch(static_cast<IDispatch*>(counter.GetInterfacePtr()));
    IPingerPtr pinger(asDispatch);
    EXPECT_TRUE(pinger);
    _variant_t asUnknown(static_cast<IUnknown*>(pinger.GetInterfacePtr()));
    ICounterPtr again(asUnknown);
    EXPECT_TRUE(again == counter);
    VARIANT byRef;
    VariantInit(&byRef);
    byRef.vt = VT_BYREF | VT_VARIANT;
    byRef.pvarVal = &asDispatch;
    EXPECT_TRUE(IPingerPtr(byRef));
    EXPECT_FALSE(IPlainPtr(asDispatch));  // lacks the interface: null
    // A VARIANT that holds no object cannot give one.
    _variant_t number(5);
    try {
        ICounterPtr bad(number);
        ADD_FAILURE() << "no exception";
    } catch (const _com_error& e) {
        EXPECT_EQ(e.Error(), DISP_E_TYPEMISMATCH);
    }
    EXPECT_THROW(ICounterPtr{_variant_t()}, _com_error);
    _variant_t nullObject(static_cast<IDispatch*>(nullptr));
    EXPECT_FALSE(ICounterPtr(nullObject));
}

TEST(ComError, CarriesTheHresultAndItsText) {
    try {
        _com_issue_error(E_FAIL);
    } catch (const _com_error& e) {
        EXPECT_EQ(e.Error(), E_FAIL);
        EXPECT_STREQ(e.ErrorMessage(), "Unspecified error");
        EXPECT_STREQ(e.what(), "Unspecified error");
    }
    EXPECT_STREQ(_com_error(REGDB_E_CLASSNOTREG).ErrorMessage(), "Class not registered");
    EXPECT_STREQ(_com_error(DISP_E_ARRAYISLOCKED).ErrorMessage(), "Memory is locked.");
    EXPECT_STREQ(_com_error(static_cast<HRESULT>(0x80040205u)).ErrorMessage(),
                 "IDispatch error #5");
    EXPECT_EQ(_com_error(static_cast<HRESULT>(0x80040205u)).WCode(), 5);
    EXPECT_STREQ(_com_error(static_cast<HRESULT>(0x80991234u)).ErrorMessage(),
                 "Unknown error 0x80991234");
    EXPECT_TRUE(FAILED(E_UNEXPECTED));
    EXPECT_TRUE(SUCCEEDED(S_FALSE));
    EXPECT_EQ(HRESULT_FROM_WIN32(5u), E_ACCESSDENIED);
}

}  // namespace
