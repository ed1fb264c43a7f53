// Client-side helpers for the tests of the simulated service: event sinks that record what
// arrives (and let a test wait for it), vtable-slot calls and enumeration of collections.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/com/Com.h"
#include "platform/com/DebugMuxLib.h"
#include "sim/SimService.h"

namespace simtest {

using namespace std::chrono_literals;

// Calls the method at a vtable slot of an interface, as a client compiled against the type
// library does.
template <class R = HRESULT, class... A>
R callSlot(void* itf, int slot, A... args) {
    void** vtbl = *static_cast<void***>(itf);
    using Fn = R (*)(void*, A...);
    Fn fn;
    std::memcpy(&fn, &vtbl[slot], sizeof fn);
    return fn(itf, args...);
}

// The items of a collection's _NewEnum, converted to the interface.
template <class Ptr, class Collection>
std::vector<Ptr> enumerate(Collection& collection) {
    std::vector<Ptr> items;
    IEnumVARIANTPtr e = collection->Get_NewEnum();
    e->Reset();
    VARIANT v;
    while (e->Next(1, &v, nullptr) == S_OK) {
        _variant_t item(v, false);
        items.push_back(Ptr(item));
    }
    return items;
}

// Records events with a condition variable to wait on.
struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> events;

    void add(std::string e) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            events.push_back(std::move(e));
        }
        changed.notify_all();
    }
    bool waitFor(std::size_t count, std::chrono::milliseconds timeout = 5000ms) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return events.size() >= count; });
    }
    std::vector<std::string> snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }
};

class MuxSink : public ATL::IDispEventImpl<0, MuxSink, &DIID__IDebugMuxEvents, &LIBID_DebugMuxLib>,
                public ATL::CComObjectRootEx<ATL::CComMultiThreadModel>,
                public Recorder {
  public:
    BEGIN_SINK_MAP(MuxSink)
    SINK_ENTRY_EX(0, DIID__IDebugMuxEvents, DebugMuxEvents::TargetConnected, OnConnected)
    SINK_ENTRY_EX(0, DIID__IDebugMuxEvents, DebugMuxEvents::TargetDisconnected, OnDisconnected)
    END_SINK_MAP()
    void __stdcall OnConnected(IDispatch* t) {
        add("connected " + std::to_string(ITargetPtr(t)->GetId()));
    }
    void __stdcall OnDisconnected(IDispatch* t) {
        add("disconnected " + std::to_string(ITargetPtr(t)->GetId()));
    }
};

class TargetSink
    : public ATL::IDispEventImpl<1, TargetSink, &DIID__ITargetEvents, &LIBID_DebugMuxLib>,
      public ATL::CComObjectRootEx<ATL::CComMultiThreadModel>,
      public Recorder {
  public:
    BEGIN_SINK_MAP(TargetSink)
    SINK_ENTRY_EX(1, DIID__ITargetEvents, TargetEvents::NewDataProvider, OnNew)
    SINK_ENTRY_EX(1, DIID__ITargetEvents, TargetEvents::DataProviderRemoved, OnRemoved)
    SINK_ENTRY_EX(1, DIID__ITargetEvents, TargetEvents::DataProviderUnavailable, OnUnavailable)
    END_SINK_MAP()
    static std::string describe(IDispatch* p) {
        IDataProviderPtr provider(p);
        return provider->GetName().utf8() + " " + std::to_string(provider->GetId());
    }
    void __stdcall OnNew(IDispatch* p) { add("new " + describe(p)); }
    void __stdcall OnRemoved(IDispatch* p) { add("removed " + describe(p)); }
    void __stdcall OnUnavailable(IDispatch* p) { add("unavailable " + describe(p)); }
};

class ProviderSink
    : public ATL::IDispEventImpl<2, ProviderSink, &DIID__IDataProviderEvents, &LIBID_DebugMuxLib>,
      public ATL::CComObjectRootEx<ATL::CComMultiThreadModel>,
      public Recorder {
  public:
    BEGIN_SINK_MAP(ProviderSink)
    SINK_ENTRY_EX(2, DIID__IDataProviderEvents, DataProviderEvents::DataAvailable, OnData)
    SINK_ENTRY_EX(2, DIID__IDataProviderEvents, DataProviderEvents::Disconnected, OnDisconnected)
    END_SINK_MAP()
    // Reads the block as the component does: Data, then Size, then the locked bytes; the
    // array is the reader's and is destroyed. While held, the delivering thread waits here first
    // (for at most 10 s).
    void __stdcall OnData(IDispatch* p) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait_for(lock, 10000ms, [&] { return !held; });
        }
        IDataBlockPtr block(p);
        if (!block)
            return add("no block");
        SAFEARRAY* data = block->GetData();
        LONG size = block->GetSize();
        void* bytes = nullptr;
        if (FAILED(SafeArrayAccessData(data, &bytes))) {
            SafeArrayDestroy(data);
            return add("locked");
        }
        sim::Bytes copy(static_cast<std::uint8_t*>(bytes),
                        static_cast<std::uint8_t*>(bytes) + size);
        SafeArrayUnaccessData(data);
        SafeArrayDestroy(data);
        {
            std::lock_guard<std::mutex> lock(mutex);
            blocks.push_back(copy);
        }
        add("data " + std::to_string(size));
    }
    void __stdcall OnDisconnected() { add("disconnected"); }
    void hold(bool on) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            held = on;
        }
        changed.notify_all();
    }
    std::vector<sim::Bytes> blocks;
    bool held = false;
};

// A new counted sink of class S (one reference).
template <class S>
ATL::CComObject<S>* makeSink() {
    ATL::CComObject<S>* p = nullptr;
    ATL::CComObject<S>::CreateInstance(&p);
    p->AddRef();
    return p;
}

// Creates the multiplexer as the component does: context 0x17, through IUnknown, OleRun,
// then IDispatch.
inline IDispatchPtr createMux() {
    IUnknown* unk = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_DebugMuxServer, nullptr, 0x17, IID_IUnknown,
                                  reinterpret_cast<void**>(&unk));
    if (FAILED(hr))
        return nullptr;
    IUnknownPtr object(unk, false);
    if (FAILED(OleRun(object)))
        return nullptr;
    return IDispatchPtr(object);
}

// Resets the service before and after each test and checks that every object of the service
// was released when the test ends.
class SimTest : public ::testing::Test {
  protected:
    sim::SimService& service = sim::SimService::instance();
    void SetUp() override { service.reset(); }
    void TearDown() override {
        service.reset();
        EXPECT_TRUE(sim::SimService::waitForLiveObjects(0, 5000ms))
            << sim::SimService::liveObjects() << " objects of the service are still alive";
    }
};

}  // namespace simtest
