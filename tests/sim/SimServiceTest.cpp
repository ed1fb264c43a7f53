// The simulated service as its clients see it: creation, vtable slots, ports and targets,
// data providers and their events.
#include "tests/sim/SimTestSupport.h"

namespace simtest {
namespace {

using SimServiceTest = SimTest;

TEST_F(SimServiceTest, CreatedAsLocalServerThroughTheRegistry) {
    IDispatchPtr mux = createMux();
    ASSERT_TRUE(mux);
    EXPECT_TRUE(IDebugMuxPtr(mux));
    EXPECT_TRUE(IDebugMuxPortsPtr(mux));
    EXPECT_TRUE(IConnectionPointContainerPtr(mux));
    EXPECT_EQ(service.serverCount(), 1u);

    void* p = nullptr;
#if !defined(_WIN32)
    // A local server is not found in process only. Wine's ole32 hands a class object
    // registered in the process out whatever context is asked for, so this is checked only
    // against the own class registry.
    EXPECT_EQ(
        CoCreateInstance(CLSID_DebugMuxServer, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p),
        REGDB_E_CLASSNOTREG);
#endif
    service.failNext("DebugMuxServer", E_ACCESSDENIED);
    EXPECT_EQ(CoCreateInstance(CLSID_DebugMuxServer, nullptr, 0x17, IID_IUnknown, &p),
              E_ACCESSDENIED);
    EXPECT_TRUE(createMux());  // the fault was for one call

    service.setRegistered(false);
    EXPECT_FALSE(service.isRegistered());
    EXPECT_EQ(CoCreateInstance(CLSID_DebugMuxServer, nullptr, 0x17, IID_IUnknown, &p),
              REGDB_E_CLASSNOTREG);
    service.reset();  // registers again
    EXPECT_TRUE(service.isRegistered());
}

TEST_F(SimServiceTest, DataBlockKeepsACopyOfWhatIsPutAndHandsOutNewArrays) {
    IDataBlockPtr block;
    ASSERT_EQ(block.CreateInstance(CLSID_DataBlock, nullptr, 0x17), S_OK);
    EXPECT_EQ(service.clientObjectCount(), 1u);
    EXPECT_EQ(block->GetSize(), 0);
    SAFEARRAY* empty = block->GetData();
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(platform::com::safeArrayElementCount(empty), 0u);
    EXPECT_EQ(SafeArrayDestroy(empty), S_OK);

    SAFEARRAY* mine = SafeArrayCreateVector(VT_UI1, 0, 3);
    std::memcpy(mine->pvData, "\x10\x20\x30", 3);
    block->PutData(&mine);
    static_cast<std::uint8_t*>(mine->pvData)[0] = 0xFF;  // the block has its own copy
    EXPECT_EQ(SafeArrayDestroy(mine), S_OK);
    EXPECT_EQ(block->GetSize(), 3);
    // Every Data is a new array that belongs to the caller: changing or destroying one leaves
    // the block and the next caller's array as they were.
    SAFEARRAY* first = block->GetData();
    SAFEARRAY* second = block->GetData();
    ASSERT_NE(first, second);
    static_cast<std::uint8_t*>(first->pvData)[1] = 0xEE;
    EXPECT_EQ(SafeArrayDestroy(first), S_OK);
    EXPECT_EQ(sim::Bytes(static_cast<std::uint8_t*>(second->pvData),
                         static_cast<std::uint8_t*>(second->pvData) + 3),
              (sim::Bytes{0x10, 0x20, 0x30}));
    // A caller holding its array locked does not stop the block from taking new data.
    void* locked = nullptr;
    ASSERT_EQ(SafeArrayAccessData(second, &locked), S_OK);
    SAFEARRAY* other = SafeArrayCreateVector(VT_UI1, 0, 1);
    EXPECT_EQ(block->put_Data(&other), S_OK);
    SafeArrayUnaccessData(second);
    EXPECT_EQ(SafeArrayDestroy(second), S_OK);
    EXPECT_EQ(SafeArrayDestroy(other), S_OK);
    EXPECT_EQ(block->GetSize(), 1);

    SAFEARRAY* longs = SafeArrayCreateVector(VT_I4, 0, 1);
    EXPECT_EQ(block->put_Data(&longs), DISP_E_TYPEMISMATCH);
    SafeArrayDestroy(longs);
    SAFEARRAY* none = nullptr;
    EXPECT_EQ(block->put_Data(&none), E_INVALIDARG);
    EXPECT_EQ(block->put_Data(nullptr), E_POINTER);
    block = nullptr;
    EXPECT_EQ(service.clientObjectCount(), 0u);
}

TEST_F(SimServiceTest, MethodsSitAtTheirVtableSlots) {
    service.reset({{5}});
    service.addPhone(5, 77, "slots");
    IDispatchPtr mux = createMux();
    IDebugMuxPtr dm(mux);
    IDebugMuxPortsPtr ports(mux);

    EXPECT_EQ(callSlot(ports.GetInterfacePtr(), 12, BYTE(9)), S_OK);  // AddPort
    VARIANT_BOOL has = VARIANT_FALSE;
    EXPECT_EQ(callSlot(ports.GetInterfacePtr(), 14, BYTE(9), &has), S_OK);  // HasPort
    EXPECT_EQ(has, VARIANT_TRUE);
    EXPECT_EQ(callSlot(ports.GetInterfacePtr(), 7), E_NOTIMPL);  // a placeholder

    _variant_t targets;
    ASSERT_EQ(callSlot(dm.GetInterfacePtr(), 7, static_cast<VARIANT*>(&targets)), S_OK);
    ITargetsPtr list(targets);
    IUnknown* unk = nullptr;
    ASSERT_EQ(callSlot(list.GetInterfacePtr(), 7, &unk), S_OK);  // _NewEnum
    IUnknownPtr enumObject(unk, false);
    ASSERT_TRUE(IEnumVARIANTPtr(enumObject));
    auto found = enumerate<ITargetPtr>(list);
    ASSERT_EQ(found.size(), 1u);
    ITarget* t = found[0];
    LONG id = 0;
    EXPECT_EQ(callSlot(t, 7, &id), S_OK);
    EXPECT_EQ(id, 77);
    BSTR name = nullptr;
    EXPECT_EQ(callSlot(t, 8, &name), S_OK);
    EXPECT_EQ(_bstr_t(name, false).utf8(), "slots");
    _variant_t providers;
    EXPECT_EQ(callSlot(t, 9, static_cast<VARIANT*>(&providers)), S_OK);
    IDataProvidersPtr plist(providers);
    auto items = enumerate<IDataProviderPtr>(plist);
    ASSERT_EQ(items.size(), 2u);
    IDataProvider* p = items[0];
    SHORT pid = 0;
    EXPECT_EQ(callSlot(p, 7, &pid), S_OK);
    EXPECT_EQ(pid, 1);
    BSTR port = nullptr;
    EXPECT_EQ(callSlot(p, 14, &port), S_OK);
    EXPECT_EQ(_bstr_t(port, false).utf8(), "COM5");
    VARIANT_BOOL ok = VARIANT_FALSE;
    IDataProviderStreamPtr stream(p);
    EXPECT_EQ(callSlot(stream.GetInterfacePtr(), 10, &ok), S_OK);  // Connect
    EXPECT_EQ(ok, VARIANT_TRUE);
    IDataBlockPtr block(CLSID_DataBlock);
    EXPECT_EQ(callSlot(stream.GetInterfacePtr(), 12, static_cast<IDataBlock*>(block), &ok), S_OK);
    EXPECT_EQ(ok, VARIANT_TRUE);            // Send of an empty block
    EXPECT_EQ(callSlot(p, 11, &ok), S_OK);  // Disconnect through IDataProvider
    LONG size = -1;
    EXPECT_EQ(callSlot(block.GetInterfacePtr(), 7, &size), S_OK);
    EXPECT_EQ(size, 0);
    SAFEARRAY* data = nullptr;
    EXPECT_EQ(callSlot(block.GetInterfacePtr(), 8, &data), S_OK);
    EXPECT_NE(data, nullptr);
    EXPECT_EQ(SafeArrayDestroy(data), S_OK);  // the caller's
    EXPECT_EQ(service.phone(5).provider("Tvp").sentBlocks(), (std::vector<sim::Bytes>{{}}));
}

TEST_F(SimServiceTest, OnlyPhonesOnServedPortsAreReported) {
    IDispatchPtr mux = createMux();
    auto* sink = makeSink<MuxSink>();
    ASSERT_EQ(sink->DispEventAdvise(mux), S_OK);
    EXPECT_EQ(service.serverSinkCount(), 1u);
    IDebugMuxPtr dm(mux);
    IDebugMuxPortsPtr ports(mux);

    sim::TargetHandle phone = service.addPhone(5, 1001,
                                               "Gr\xC3\xBC\xC3\x9F"
                                               "e");
    EXPECT_FALSE(phone.reported());
    EXPECT_EQ(ports->HasPort(5), VARIANT_FALSE);
    {
        ITargetsPtr targets(dm->GetTargets());
        EXPECT_TRUE(enumerate<ITargetPtr>(targets).empty());
    }

    EXPECT_EQ(ports->AddPort(5), S_OK);
    ASSERT_TRUE(sink->waitFor(1));
    EXPECT_EQ(sink->snapshot()[0], "connected 1001");
    EXPECT_TRUE(phone.reported());
    EXPECT_EQ(ports->HasPort(5), VARIANT_TRUE);
    EXPECT_EQ(ports->AddPort(5), S_OK);  // served already: no second event
    EXPECT_EQ(ports->AddPort(0), E_INVALIDARG);

    {
        ITargetsPtr targets(dm->GetTargets());
        auto list = enumerate<ITargetPtr>(targets);
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(list[0]->GetId(), 1001);
        EXPECT_EQ(list[0]->GetName().utf8(),
                  "Gr\xC3\xBC\xC3\x9F"
                  "e");
        EXPECT_TRUE(list[0] == phone.object());  // the one object of the phone
        IDataProvidersPtr providers(list[0]->GetDataProviders());
        auto items = enumerate<IDataProviderPtr>(providers);
        ASSERT_EQ(items.size(), 2u);
        EXPECT_EQ(items[0]->GetName().utf8(), "Tvp");
        EXPECT_EQ(items[0]->GetId(), 1);
        EXPECT_EQ(items[1]->GetName().utf8(), "Print Server Channel");
        EXPECT_EQ(items[1]->GetId(), 2);
        EXPECT_EQ(items[1]->GetPortName().utf8(), "COM5");
    }

    // A phone added on a served port is reported at once.
    service.addPhone(9, 2002, "second");
    EXPECT_EQ(ports->HasPort(9), VARIANT_FALSE);
    service.servePort(9);
    ASSERT_TRUE(sink->waitFor(2));
    service.addPhone(3, 3003, "third");
    service.servePort(3);
    service.removePhone(9);
    EXPECT_TRUE(service.unservePort(3));
    EXPECT_FALSE(service.unservePort(3));
    ASSERT_TRUE(sink->waitFor(5));
    EXPECT_EQ(sink->snapshot(),
              (std::vector<std::string>{"connected 1001", "connected 2002", "connected 3003",
                                        "disconnected 2002", "disconnected 3003"}));
    {
        ITargetsPtr targets(dm->GetTargets());
        EXPECT_EQ(enumerate<ITargetPtr>(targets).size(), 1u);
    }

    EXPECT_THROW(service.addPhone(5, 1, "taken"), std::invalid_argument);
    EXPECT_THROW(service.addPhone(0, 1, "no port"), std::invalid_argument);
    EXPECT_THROW(service.addPhone(256, 1, "no port"), std::invalid_argument);
    EXPECT_FALSE(service.removePhone(42));

    ASSERT_EQ(sink->DispEventUnadvise(mux), S_OK);
    sink->Release();
}

TEST_F(SimServiceTest, PortsServedFromTheStart) {
    service.reset({{4, 7}});
    EXPECT_EQ(service.servedPorts(), (std::set<int>{4, 7}));
    sim::TargetHandle phone = service.addPhone(7, 5, "early");
    EXPECT_TRUE(phone.reported());
    IDebugMuxPtr dm(createMux());
    ITargetsPtr targets(dm->GetTargets());
    EXPECT_EQ(enumerate<ITargetPtr>(targets).size(), 1u);
    EXPECT_THROW(service.reset({{300}}), std::invalid_argument);
}

TEST_F(SimServiceTest, ProvidersComeAndGoWithEvents) {
    service.reset({{6}});
    sim::TargetHandle phone = service.addPhone(6, 61, "phone");
    ITargetPtr target = phone.object();
    auto* sink = makeSink<TargetSink>();
    ASSERT_EQ(sink->DispEventAdvise(target), S_OK);
    EXPECT_TRUE(phone.waitForSinks(1));

    sim::ProviderHandle extra = phone.addProvider("Extra");
    EXPECT_EQ(extra.id(), 3);
    EXPECT_EQ(extra.portName(), "COM6");
    sim::ProviderHandle custom = phone.addProvider("Custom", SHORT(40), std::string("COM99"));
    EXPECT_THROW(phone.addProvider("Again", SHORT(40)), std::invalid_argument);
    ASSERT_TRUE(sink->waitFor(2));
    IDataProviderPtr extraObject = extra.object();
    EXPECT_TRUE(phone.reportUnavailable("Extra"));
    EXPECT_TRUE(phone.removeProvider("Extra"));
    EXPECT_FALSE(phone.removeProvider("Extra"));
    EXPECT_FALSE(phone.reportUnavailable("Nothing"));
    ASSERT_TRUE(sink->waitFor(4));
    EXPECT_EQ(sink->snapshot(),
              (std::vector<std::string>{"new Extra 3", "new Custom 40", "unavailable Extra 3",
                                        "removed Extra 3"}));
    EXPECT_FALSE(extra.present());
    EXPECT_FALSE(extra.object());

    // A removed provider's object keeps its identity; its stream is gone.
    EXPECT_EQ(extraObject->GetId(), 3);
    EXPECT_EQ(extraObject->GetName().utf8(), "Extra");
    EXPECT_EQ(extraObject->Connect(), VARIANT_FALSE);
    IDataProvidersPtr providers(target->GetDataProviders());
    auto items = enumerate<IDataProviderPtr>(providers);
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[2]->GetPortName().utf8(), "COM99");

    // A phone that goes: its objects keep their identity too.
    ASSERT_EQ(sink->DispEventUnadvise(target), S_OK);
    sink->Release();
    EXPECT_TRUE(service.removePhone(6));
    EXPECT_FALSE(phone.present());
    EXPECT_EQ(target->GetId(), 61);
    IDataProvidersPtr none(target->GetDataProviders());
    EXPECT_TRUE(enumerate<IDataProviderPtr>(none).empty());
    EXPECT_THROW(phone.addProvider("Late"), std::logic_error);
}

}  // namespace
}  // namespace simtest

namespace simtest {
namespace {

using SimProcessTest = SimTest;

// The service's process ends: what a client holds is dead, a new server comes up with the
// same phones, and nothing of the old process reaches the client any more.
TEST_F(SimProcessTest, ObjectsOfAnEndedProcessAreDisconnectedAndANewOneServesThePhones) {
    service.reset({{5}});
    sim::TargetHandle phone = service.addPhone(5, 1001, "Vela phone");
    sim::ProviderHandle tvp = phone.provider("Tvp");
    ASSERT_TRUE(service.waitIdle());  // its TargetConnected went to nobody
    IDispatchPtr mux = createMux();
    ASSERT_TRUE(mux);
    auto* muxSink = makeSink<MuxSink>();
    auto* targetSink = makeSink<TargetSink>();
    auto* providerSink = makeSink<ProviderSink>();
    ITargetPtr target = phone.object();
    IDataProviderPtr provider = tvp.object();
    ASSERT_EQ(muxSink->DispEventAdvise(mux), S_OK);
    ASSERT_EQ(targetSink->DispEventAdvise(target), S_OK);
    ASSERT_EQ(providerSink->DispEventAdvise(provider), S_OK);
    ASSERT_EQ(IDataProviderStreamPtr(provider)->Connect(), VARIANT_TRUE);
    tvp.inject({1});
    ASSERT_TRUE(providerSink->waitFor(1));
    EXPECT_EQ(service.clientObjectCount(), 1u);

    service.endProcess();

    // The sinks the process held are let go; the objects answer nothing but the disconnection.
    EXPECT_EQ(service.serverSinkCount(), 0u);
    EXPECT_EQ(phone.sinkCount(), 0u);
    EXPECT_EQ(tvp.sinkCount(), 0u);
    VARIANT_BOOL answer = VARIANT_TRUE;
    EXPECT_EQ(IDebugMuxPortsPtr(mux)->raw_HasPort(5, &answer), RPC_E_DISCONNECTED);
    LONG id = 0;
    EXPECT_EQ(target->get_Id(&id), RPC_E_DISCONNECTED);
    EXPECT_EQ(IDataProviderStreamPtr(provider)->raw_Connect(&answer), RPC_E_DISCONNECTED);
    EXPECT_EQ(muxSink->DispEventUnadvise(mux), RPC_E_DISCONNECTED);
    EXPECT_EQ(providerSink->DispEventUnadvise(provider), RPC_E_DISCONNECTED);
    EXPECT_FALSE(tvp.isConnected());
    EXPECT_FALSE(service.isServed(5));

    // A new server: the phone is there with new objects, reported once its port is added.
    IDispatchPtr again = createMux();
    ASSERT_TRUE(again);
    EXPECT_EQ(service.clientObjectCount(), 2u);  // the old proxy is still held
    auto* newSink = makeSink<MuxSink>();
    ASSERT_EQ(newSink->DispEventAdvise(again), S_OK);
    EXPECT_EQ(IDebugMuxPortsPtr(again)->HasPort(5), VARIANT_FALSE);
    ASSERT_EQ(IDebugMuxPortsPtr(again)->AddPort(5), S_OK);
    ASSERT_TRUE(newSink->waitFor(1));
    EXPECT_EQ(newSink->snapshot(), (std::vector<std::string>{"connected 1001"}));
    ITargetPtr newTarget = phone.object();
    EXPECT_NE(newTarget, target);
    EXPECT_EQ(newTarget->GetId(), 1001);
    IDataProviderPtr newProvider = tvp.object();
    EXPECT_NE(newProvider, provider);
    EXPECT_EQ(IDataProviderStreamPtr(newProvider)->Connect(), VARIANT_TRUE);
    EXPECT_TRUE(tvp.isConnected());

    // The old sinks heard nothing of the new process.
    ASSERT_TRUE(service.waitIdle());
    EXPECT_EQ(muxSink->snapshot().size(), 0u);
    EXPECT_EQ(providerSink->snapshot().size(), 1u);
    EXPECT_EQ(newSink->DispEventUnadvise(again), S_OK);
    for (auto* sink : {static_cast<IUnknown*>(static_cast<IDispatch*>(muxSink)),
                       static_cast<IUnknown*>(static_cast<IDispatch*>(newSink))})
        sink->Release();
    targetSink->Release();
    providerSink->Release();
    mux = nullptr;
    again = nullptr;
    EXPECT_EQ(service.clientObjectCount(), 0u);
}

}  // namespace
}  // namespace simtest

#if defined(_WIN32)
namespace simtest {
namespace {

// The library as the in-process server of the blocks that a client of the service in its own
// process sends: a block of no service (no fault applies), with its caller's arrays.
TEST_F(SimServiceTest, LibraryServesDataBlocksInTheClientsProcess) {
    IClassFactory* factory = nullptr;
    ASSERT_EQ(
        DllGetClassObject(CLSID_DataBlock, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
        S_OK);
    service.failAlways("DataBlock");  // the service's faults do not reach it
    service.failAlways("PutData");
    IDataBlock* block = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDataBlock, reinterpret_cast<void**>(&block)),
              S_OK);
    factory->Release();
    SAFEARRAY* bytes = platform::com::safeArrayCreateVectorCopy(VT_UI1, "\x01\x02", 2);
    EXPECT_EQ(block->put_Data(&bytes), S_OK);
    SafeArrayDestroy(bytes);
    LONG size = 0;
    EXPECT_EQ(block->get_Size(&size), S_OK);
    EXPECT_EQ(size, 2);
    EXPECT_EQ(service.clientObjectCount(), 0u);  // not the service's
    block->Release();
    service.clearFaults();

    void* none = nullptr;
    EXPECT_EQ(DllGetClassObject(CLSID_DebugMuxServer, IID_IClassFactory, &none),
              CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
}

}  // namespace
}  // namespace simtest
#endif
