// Small COM classes shared by the COM layer tests: a dual-interface counter that fires events
// and an event sink that records what it receives.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/com/Com.h"

// True where the COM runtime is this project's own layer, false where it is the system's
// (oleaut32 and ole32 on Windows). Checks of choices that only the own layer makes (where the
// system answers otherwise, or crashes) run only where this is true.
#if defined(_WIN32)
inline constexpr bool kOwnComRuntime = false;
#else
inline constexpr bool kOwnComRuntime = true;
#endif

inline constexpr IID IID_ICounter = {
    0x1D3A5C01, 0x0001, 0x4000, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}};
inline constexpr IID IID_IPinger = {
    0x1D3A5C01, 0x0002, 0x4000, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02}};
inline constexpr IID IID_IPlain = {
    0x1D3A5C01, 0x0003, 0x4000, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03}};
inline constexpr IID DIID__ICounterEvents = {
    0x1D3A5C01, 0x0004, 0x4000, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04}};
inline constexpr IID DIID__IOtherEvents = {
    0x1D3A5C01, 0x0005, 0x4000, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05}};
inline constexpr CLSID CLSID_TestCounter = {
    0x1D3A5C01, 0x0006, 0x4000, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x06}};

struct ICounter : IDispatch {
    STDMETHOD(get_Value)(LONG* value) = 0;  // 7
    STDMETHOD(Increment)() = 0;             // 8
};
struct IPinger : IUnknown {
    STDMETHOD(Ping)(LONG* answer) = 0;  // 3
};
struct IPlain : IUnknown {
    STDMETHOD(Nothing)() = 0;
};
COM_DECLARE_UUID(ICounter, IID_ICounter)
COM_DECLARE_UUID(IPinger, IID_IPinger)
COM_DECLARE_UUID(IPlain, IID_IPlain)
_COM_SMARTPTR_TYPEDEF(ICounter, __uuidof(ICounter));
_COM_SMARTPTR_TYPEDEF(IPinger, __uuidof(IPinger));
_COM_SMARTPTR_TYPEDEF(IPlain, __uuidof(IPlain));

// Dispatch ids of _ICounterEvents.
inline constexpr DISPID kCounted = 1;   // (LONG value, BSTR note)
inline constexpr DISPID kObject = 2;    // (IDispatch* source)
inline constexpr DISPID kNothing = 3;   // ()
inline constexpr DISPID kUnlisted = 9;  // not in the sink map

// Live objects of the test classes, to see that everything is destroyed.
inline std::atomic<int> g_liveObjects{0};

class Counter : public ATL::CComObjectRootEx<ATL::CComMultiThreadModel>,
                public ATL::IDispatchImpl<ICounter>,
                public IPinger,
                public ATL::CComConnectionPointContainer {
  public:
    Counter() {
        addConnectionPoint(&m_events);
        ++g_liveObjects;
    }
    ~Counter() { --g_liveObjects; }

    BEGIN_COM_MAP(Counter)
    COM_INTERFACE_ENTRY(ICounter)
    COM_INTERFACE_ENTRY(IDispatch)
    COM_INTERFACE_ENTRY(IPinger)
    COM_INTERFACE_ENTRY(IConnectionPointContainer)
    END_COM_MAP()

    HRESULT FinalConstruct() { return s_failConstruct ? E_OUTOFMEMORY : S_OK; }

    STDMETHOD(get_Value)(LONG* value) override {
        if (!value)
            return E_POINTER;
        *value = m_value;
        return S_OK;
    }
    STDMETHOD(Increment)() override {
        ++m_value;
        return S_OK;
    }
    STDMETHOD(Ping)(LONG* answer) override {
        if (!answer)
            return E_POINTER;
        *answer = 42;
        return S_OK;
    }

    ATL::CComConnectionPoint& events() { return m_events; }
    static inline bool s_failConstruct = false;

  private:
    std::atomic<LONG> m_value{0};
    ATL::CComConnectionPoint m_events{this, DIID__ICounterEvents};
};

// Creates a counter with one reference.
inline ICounterPtr makeCounter() {
    ATL::CComObject<Counter>* p = nullptr;
    if (FAILED(ATL::CComObject<Counter>::CreateInstance(&p)))
        return nullptr;
    return ICounterPtr(static_cast<ICounter*>(p));
}

inline ATL::CComConnectionPoint& eventsOf(ICounter* counter) {
    return static_cast<Counter*>(counter)->events();
}

class CounterSink
    : public ATL::IDispEventImpl<7, CounterSink, &DIID__ICounterEvents, nullptr, 1, 0>,
      public ATL::CComObjectRootEx<ATL::CComMultiThreadModel> {
  public:
    CounterSink() { ++g_liveObjects; }
    ~CounterSink() { --g_liveObjects; }

    BEGIN_SINK_MAP(CounterSink)
    SINK_ENTRY_EX(7, DIID__ICounterEvents, kCounted, OnCounted)
    SINK_ENTRY_EX(7, DIID__ICounterEvents, kObject, OnObject)
    SINK_ENTRY_EX(7, DIID__ICounterEvents, kNothing, OnNothing)
    SINK_ENTRY_EX(8, DIID__ICounterEvents, kUnlisted, OnNothing)  // another control id
    END_SINK_MAP()

    void __stdcall OnCounted(LONG value, BSTR note) {
        std::lock_guard<std::mutex> lock(m_mutex);
        values.push_back(value);
        notes.push_back(_bstr_t(note).utf8());
    }
    void __stdcall OnObject(IDispatch* source) {
        LONG v = -1;
        ICounterPtr counter(source);
        if (counter)
            counter->get_Value(&v);
        std::lock_guard<std::mutex> lock(m_mutex);
        objects.push_back(v);
        if (throwFromObject)
            _com_issue_error(E_ACCESSDENIED);
    }
    void __stdcall OnNothing() { ++nothing; }

    std::mutex m_mutex;
    std::vector<LONG> values;
    std::vector<std::string> notes;
    std::vector<LONG> objects;
    std::atomic<int> nothing{0};
    bool throwFromObject = false;
};

// A counted sink: CComObject<CounterSink> with one reference.
inline ATL::CComObject<CounterSink>* makeSink() {
    ATL::CComObject<CounterSink>* p = nullptr;
    ATL::CComObject<CounterSink>::CreateInstance(&p);
    p->AddRef();
    return p;
}
