// Events: the sink map's dispatch of IDispatch::Invoke and advising sinks on connection
// points.
#include <gtest/gtest.h>

#include "tests/platform/com/TestObjects.h"

namespace {

ULONG refCount(IUnknown* p) {
    p->AddRef();
    return p->Release();
}

// Invokes dispid on the sink with the arguments given in their natural order.
HRESULT invoke(IDispatch* sink, DISPID dispid, std::vector<_variant_t> args, UINT* argErr = nullptr,
               EXCEPINFO* excep = nullptr) {
    std::vector<VARIANTARG> reversed(args.rbegin(), args.rend());
    DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), nullptr,
                      static_cast<UINT>(reversed.size()), 0};
    return sink->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr,
                        excep, argErr);
}

TEST(SinkMap, DispatchesByDispidWithConvertedArguments) {
    auto* sink = makeSink();
    IDispatch* d = sink;
    EXPECT_EQ(invoke(d, kCounted, {_variant_t(5), _variant_t("f\xC3\xBCnf")}), S_OK);
    // Arguments that convert: a short for LONG, a number for BSTR.
    EXPECT_EQ(invoke(d, kCounted, {_variant_t(short(6)), _variant_t(7)}), S_OK);
    ASSERT_EQ(sink->values, (std::vector<LONG>{5, 6}));
    EXPECT_EQ(sink->notes, (std::vector<std::string>{"f\xC3\xBCnf", "7"}));

    ICounterPtr counter = makeCounter();
    counter->Increment();
    // An IUnknown argument reaches an IDispatch* handler through QueryInterface.
    IPingerPtr pinger = counter;
    EXPECT_EQ(invoke(d, kObject, {_variant_t(static_cast<IUnknown*>(pinger.GetInterfacePtr()))}),
              S_OK);
    EXPECT_EQ(sink->objects, (std::vector<LONG>{1}));
    EXPECT_EQ(refCount(counter), 2u);  // the handler's references are gone

    EXPECT_EQ(invoke(d, kNothing, {}), S_OK);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    EXPECT_EQ(d->Invoke(kNothing, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(d->Invoke(kNothing, IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(sink->nothing.load(), 3);

    // Unknown dispids, and entries of another control id, are ignored.
    EXPECT_EQ(invoke(d, kUnlisted, {_variant_t(1)}), S_OK);
    EXPECT_EQ(invoke(d, 1234, {}), S_OK);
    EXPECT_EQ(sink->nothing.load(), 3);

    UINT argErr = 99;
    EXPECT_EQ(invoke(d, kCounted, {_variant_t(1)}), DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(invoke(d, kCounted, {_variant_t("x"), _variant_t("y")}, &argErr),
              DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argErr, 1u);  // rgvarg index of the first argument
    EXPECT_EQ(invoke(d, kObject, {_variant_t(3)}, &argErr), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(sink->values.size(), 2u);

    // A handler's _com_error stops at the sink.
    sink->throwFromObject = true;
    EXPECT_EQ(invoke(d, kObject, {_variant_t(static_cast<IDispatch*>(counter.GetInterfacePtr()))}),
              DISP_E_EXCEPTION);
    EXCEPINFO info{};
    invoke(d, kObject, {_variant_t(static_cast<IDispatch*>(counter.GetInterfacePtr()))}, nullptr,
           &info);
    EXPECT_EQ(info.scode, E_ACCESSDENIED);
    EXPECT_EQ(refCount(counter), 2u);
    sink->Release();
}

TEST(SinkMap, SinkAnswersItsEventInterface) {
    auto* sink = makeSink();
    void* p = nullptr;
    ASSERT_EQ(static_cast<IDispatch*>(sink)->QueryInterface(DIID__ICounterEvents, &p), S_OK);
    EXPECT_EQ(p, static_cast<void*>(static_cast<IDispatch*>(sink)));
    static_cast<IDispatch*>(p)->Release();
    EXPECT_EQ(static_cast<IDispatch*>(sink)->QueryInterface(DIID__IOtherEvents, &p), E_NOINTERFACE);
    EXPECT_EQ(sink->Release(), 0u);
}

TEST(ConnectionPoints, AdviseFireUnadvise) {
    const int liveBefore = g_liveObjects.load();
    ICounterPtr counter = makeCounter();
    auto* sink = makeSink();
    EXPECT_EQ(sink->m_dwEventCookie, 0xFEFEFEFEu);
    ASSERT_EQ(sink->DispEventAdvise(counter), S_OK);
    EXPECT_NE(sink->m_dwEventCookie, 0xFEFEFEFEu);
    EXPECT_EQ(refCount(static_cast<IDispatch*>(sink)), 2u);   // the connection holds the sink
    EXPECT_EQ(sink->DispEventAdvise(counter), E_UNEXPECTED);  // advised already

    auto& events = eventsOf(counter);
    EXPECT_EQ(events.connectionCount(), 1u);
    EXPECT_EQ(events.fire(kCounted, LONG(9), _bstr_t("nine")), 1u);
    EXPECT_EQ(events.fire(kNothing), 1u);
    EXPECT_EQ(sink->values, (std::vector<LONG>{9}));
    EXPECT_EQ(sink->nothing.load(), 1);

    ASSERT_EQ(sink->DispEventUnadvise(counter), S_OK);
    EXPECT_EQ(sink->m_dwEventCookie, 0xFEFEFEFEu);
    EXPECT_EQ(events.fire(kNothing), 0u);
    EXPECT_EQ(sink->nothing.load(), 1);
    EXPECT_EQ(sink->DispEventUnadvise(counter), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(refCount(static_cast<IDispatch*>(sink)), 1u);
    sink->Release();
    counter = nullptr;
    EXPECT_EQ(g_liveObjects.load(), liveBefore);
}

TEST(ConnectionPoints, AdviseFailures) {
    ICounterPtr counter = makeCounter();
    auto* sink = makeSink();
    DWORD cookie = 5;
    EXPECT_EQ(AtlAdvise(nullptr, static_cast<IDispatch*>(sink), DIID__ICounterEvents, &cookie),
              E_INVALIDARG);
    EXPECT_EQ(AtlAdvise(counter, static_cast<IDispatch*>(sink), DIID__IOtherEvents, &cookie),
              CONNECT_E_NOCONNECTION);  // the source does not fire that interface
    // A sink that lacks the event interface.
    IPingerPtr notASink = makeCounter();
    EXPECT_EQ(AtlAdvise(counter, notASink, DIID__ICounterEvents, &cookie), CONNECT_E_CANNOTCONNECT);
    EXPECT_EQ(cookie, 0u);
    // A source that is not a connection-point container.
    EXPECT_EQ(AtlAdvise(static_cast<IDispatch*>(sink), static_cast<IDispatch*>(sink),
                        DIID__ICounterEvents, &cookie),
              E_NOINTERFACE);
    EXPECT_EQ(AtlUnadvise(counter, DIID__ICounterEvents, 12345), CONNECT_E_NOCONNECTION);

    IConnectionPointContainerPtr container = counter;
    IConnectionPointPtr point;
    ASSERT_EQ(container->FindConnectionPoint(DIID__ICounterEvents, &point), S_OK);
    IID iid;
    point->GetConnectionInterface(&iid);
    EXPECT_EQ(iid, DIID__ICounterEvents);
    IConnectionPointContainerPtr back;
    point->GetConnectionPointContainer(&back);
    EXPECT_TRUE(back == counter);
    IEnumConnections* connections = reinterpret_cast<IEnumConnections*>(1);
    EXPECT_EQ(point->EnumConnections(&connections), E_NOTIMPL);
    EXPECT_EQ(connections, nullptr);
    sink->Release();
}

TEST(ConnectionPoints, AdviseLimitAndCookies) {
    ICounterPtr counter = makeCounter();
    ATL::CComConnectionPoint limited(static_cast<Counter*>(counter.GetInterfacePtr()),
                                     DIID__ICounterEvents, 2);
    auto* a = makeSink();
    auto* b = makeSink();
    auto* c = makeSink();
    DWORD ca = 0, cb = 0, cc = 0;
    EXPECT_EQ(limited.Advise(static_cast<IDispatch*>(a), &ca), S_OK);
    EXPECT_EQ(limited.Advise(static_cast<IDispatch*>(b), &cb), S_OK);
    EXPECT_EQ(limited.Advise(static_cast<IDispatch*>(c), &cc), CONNECT_E_ADVISELIMIT);
    EXPECT_NE(ca, 0u);
    EXPECT_NE(ca, cb);
    EXPECT_EQ(refCount(static_cast<IDispatch*>(c)), 1u);  // nothing kept of the refused sink
    EXPECT_EQ(limited.Unadvise(ca), S_OK);
    EXPECT_EQ(limited.Unadvise(ca), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(limited.Advise(static_cast<IDispatch*>(c), &cc), S_OK);
    EXPECT_EQ(limited.fire(kNothing), 2u);
    EXPECT_EQ(a->nothing.load(), 0);
    EXPECT_EQ(b->nothing.load(), 1);
    EXPECT_EQ(c->nothing.load(), 1);
    limited.disconnectAll();
    EXPECT_EQ(limited.connectionCount(), 0u);
    a->Release();
    b->Release();
    c->Release();
}

// A sink that unadvises itself from within its event.
class SelfRemovingSink : public ATL::IDispEventImpl<0, SelfRemovingSink, &DIID__ICounterEvents>,
                         public ATL::CComObjectRootEx<ATL::CComMultiThreadModel> {
  public:
    BEGIN_SINK_MAP(SelfRemovingSink)
    SINK_ENTRY_EX(0, DIID__ICounterEvents, kObject, OnObject)
    END_SINK_MAP()
    HRESULT __stdcall OnObject(IDispatch* source) {
        ++calls;
        return DispEventUnadvise(source);
    }
    int calls = 0;
};

TEST(ConnectionPoints, SinkMayUnadviseItselfWhileCalled) {
    ICounterPtr counter = makeCounter();
    ATL::CComObject<SelfRemovingSink>* sink = nullptr;
    ASSERT_EQ(ATL::CComObject<SelfRemovingSink>::CreateInstance(&sink), S_OK);
    ASSERT_NE(sink, nullptr);
    sink->AddRef();
    ASSERT_EQ(sink->DispEventAdvise(counter), S_OK);
    sink->Release();  // only the connection holds it now
    auto& events = eventsOf(counter);
    const int liveBefore = g_liveObjects.load();
    EXPECT_EQ(events.fire(kObject, static_cast<IDispatch*>(counter.GetInterfacePtr())), 1u);
    // The sink was released after its call returned; nothing is connected any more.
    EXPECT_EQ(events.connectionCount(), 0u);
    EXPECT_EQ(events.fire(kObject, static_cast<IDispatch*>(counter.GetInterfacePtr())), 0u);
    EXPECT_EQ(g_liveObjects.load(), liveBefore);
}

}  // namespace
