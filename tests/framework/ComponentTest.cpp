#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "framework/dsrc/EEDataSource.h"
#include "framework/dsrc/InformationElement.h"
#include "framework/eqbase/EEEquipment.h"

namespace {

using core::RCPtr;

constexpr CLSID kComponent = {0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr CLSID kMobile = {0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 9}};

class Plain : public eqbase::ByteChannel {
  public:
    Plain() : eqbase::ByteChannel("Plain") {}
    static core::Object* createObject() { return new Plain; }
    void emit() {
        getWorker()->post([this] { sendDataSourceFrame(new dsrc::DataSourceFrame(7)); });
    }
};

class PlainEquipment : public eqbase::Equipment {
  public:
    PlainEquipment() : eqbase::Equipment("Plain") {}

  protected:
    bool onBeginWorkThread() override { return addChannelCreator(2, &Plain::createObject); }
};

class PlainEE : public EEEquipment {
  protected:
    RCPtr<eqbase::Equipment> createEquipment() override { return new PlainEquipment; }
    GUID getEquipmentGuid() const override { return kComponent; }
};

struct PlainCreator : core::CreatorClass {
    static core::Object* createObject() { return new PlainCreator; }
    bool create(IUnknown** out) override {
        if (!out)
            return false;
        ATL::CComObject<PlainEE>* p = nullptr;
        if (FAILED(ATL::CComObject<PlainEE>::CreateInstance(&p)))
            return false;
        p->AddRef();
        *out = static_cast<IEEEquipment*>(p);
        return true;
    }
};

class TestSource : public dsrc::EquipmentClientWithATDetect {
  public:
    void classifyModel(equip::EquipmentInfo*) override {}
};

class TestServer : public dsrc::EEMsgServerWrapperWithATDetect {
  public:
    IUnknown* mobile() { return getMobileMsgServer(); }
    void chooseMobile(const CLSID& clsid = kMobile) { setMobileCLSID(clsid); }
    void chooseData(const CLSID& clsid) { setDataCLSID(clsid); }

  protected:
    std::string getProgID() const override { return "Test.Server"; }
    CLSID getCLSID() const override { return kComponent; }
    RCPtr<dsrc::DataSource> createDataSource() override { return new TestSource; }
    std::string getFamilyName() const override { return "Test"; }
};

struct HostSink : dsrc::DataSourceSink {
    std::mutex m;
    std::condition_variable cv;
    int frames = 0;
    bool onDataSourceFrame(const dsrc::DataSourceChannelInfo* c,
                           const RCPtr<dsrc::DataSourceFrame>&) override {
        std::lock_guard<std::mutex> lock(m);
        frames += c && c->getChannelType() == 2;
        cv.notify_all();
        return true;
    }
};

class MobileServer : public EEPropertiesATL {
  protected:
    std::string getProgID() const override { return "Test.Mobile"; }
    CLSID getCLSID() const override { return kMobile; }
};

class ComponentFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(core::Object::registerClass("PlainEE", &PlainCreator::createObject));
        ASSERT_TRUE(eqbase::CLSIDToEquipment::instance().addItem(kComponent, "PlainEE"));
    }
    void TearDown() override {
        core::Object::unRegisterClass("PlainEE");
        eqbase::CLSIDToEquipment::instance().removeItem(kComponent);
    }
};

TEST_F(ComponentFixture, DataSourceCreatesEquipmentsAndPassesFramesOn) {
    ATL::CComObject<TestServer>* server = nullptr;
    ASSERT_EQ(ATL::CComObject<TestServer>::CreateInstance(&server), S_OK);
    CComPtr<IEEDataSource> source;
    server->AddRef();
    ASSERT_EQ(server->QueryInterface(&source.p), S_OK);
    server->Release();
    RCPtr<HostSink> sink(new HostSink);
    source->SetDataSourceSink(sink.get());

    RCPtr<equip::EquipmentInfo> info(new equip::EquipmentInfo);
    info->addChannelInfo(new equip::EquipmentChannelInfo(2, "COM3"));
    ASSERT_EQ(source->CreateEquipments(info.get()), S_OK);
    ULONG count = 0;
    source->GetEquipmentCount(&count);
    ASSERT_EQ(count, 1u);
    CComPtr<IEEEquipment> equipment;
    ASSERT_EQ(source->GetEquipment(0, &equipment.p), S_OK);
    core::RCObject* raw = nullptr;
    ASSERT_EQ(equipment->GetEquipment(&raw), S_OK);
    RCPtr<eqbase::Equipment> eq(core::rcCast<eqbase::Equipment>(raw));
    raw->release();
    auto channels = eq->listChannels();
    ASSERT_EQ(channels.size(), 1u);
    VARIANT_BOOL activated = VARIANT_FALSE;
    ASSERT_EQ(equipment->ActivateChannel(channels[0].first->getChannelGuid(), &activated), S_OK);
    EXPECT_EQ(activated, VARIANT_TRUE);
    dynamic_cast<Plain*>(channels[0].second.get())->emit();
    {
        std::unique_lock<std::mutex> lock(sink->m);
        ASSERT_TRUE(
            sink->cv.wait_for(lock, std::chrono::seconds(5), [&] { return sink->frames == 1; }));
    }
    BSTR name = nullptr;
    source->GetFamilyName(&name);
    EXPECT_EQ(_bstr_t(name, false).utf8(), "Test");
    channels.clear();
    eq.reset();
    equipment.Release();
    EXPECT_EQ(source->ReleaseEquipments(), S_OK);
    source->GetEquipmentCount(&count);
    EXPECT_EQ(count, 0u);
}

TEST_F(ComponentFixture, MobileMessageServerByClsidAndProperties) {
    ASSERT_TRUE(platform::com::registerClass(
        kMobile, CLSCTX_INPROC_SERVER, [](IUnknown* outer, REFIID iid, void** ppv) {
            return ATL::CComCreator<ATL::CComObject<MobileServer>>::CreateInstance(outer, iid, ppv);
        }));
    ATL::CComObject<TestServer>* server = nullptr;
    ASSERT_EQ(ATL::CComObject<TestServer>::CreateInstance(&server), S_OK);
    server->AddRef();
    EXPECT_EQ(server->mobile(), nullptr) << "no CLSID chosen yet";
    server->chooseMobile();
    IUnknown* mobile = server->mobile();
    ASSERT_NE(mobile, nullptr);
    EXPECT_EQ(server->mobile(), mobile) << "made once and kept";
    CComQIPtr<IEEProperties> properties(mobile);
    ASSERT_TRUE(properties);
    _variant_t key(static_cast<LONG>(kPropertyATPortName));
    ASSERT_EQ(properties->SetProperty(key, _variant_t("COM7")), S_OK);
    _variant_t value;
    ASSERT_EQ(properties->GetProperty(key, value.GetAddress()), S_OK);
    EXPECT_EQ(_bstr_t(value).utf8(), "COM7");
    _variant_t missing(static_cast<LONG>(1));
    EXPECT_EQ(properties->GetProperty(missing, value.GetAddress()), DISP_E_MEMBERNOTFOUND);
    properties.Release();
    server->Release();
    platform::com::unregisterClass(kMobile);
}

// The data source is free-threaded: a host may choose the phone's model on one thread while
// another asks for the CLSIDs (ThreadSanitizer reports a race unless both take the lock).
TEST_F(ComponentFixture, ChosenCLSIDsAreReadWholeWhileAnotherThreadChooses) {
    ATL::CComObject<TestServer>* server = nullptr;
    ASSERT_EQ(ATL::CComObject<TestServer>::CreateInstance(&server), S_OK);
    server->AddRef();
    std::thread chooser([server] {
        for (int i = 0; i < 2000; ++i) {
            server->chooseMobile(i % 2 ? kMobile : kComponent);
            server->chooseData(i % 2 ? kComponent : kMobile);
        }
    });
    for (int i = 0; i < 2000; ++i) {
        CLSID mobile = GUID_NULL;
        CLSID data = GUID_NULL;
        ASSERT_EQ(server->GetMobileCLSID(&mobile), S_OK);
        ASSERT_EQ(server->GetDataCLSID(&data), S_OK);
        EXPECT_TRUE(mobile == GUID_NULL || mobile == kMobile || mobile == kComponent);
        EXPECT_TRUE(data == GUID_NULL || data == kMobile || data == kComponent);
    }
    chooser.join();
    server->Release();
}

TEST(InformationElements, ByteExactValuesAndCapacity) {
    ATL::CComObject<EEInformationElements>* list = nullptr;
    ASSERT_EQ(ATL::CComObject<EEInformationElements>::CreateInstance(&list), S_OK);
    list->AddRef();
    list->setCapacity(1);
    ATL::CComObject<EEInformationElement>* e = nullptr;
    ATL::CComObject<EEInformationElement>::CreateInstance(&e);
    e->AddRef();
    std::string raw("caf\xE9\r", 5);  // not UTF-8, and a carriage return kept
    BSTR value = dsrc::byteString(raw);
    e->SetValue(value);
    SysFreeString(value);
    EXPECT_EQ(e->valueBytes(), raw);
    VARIANT_BOOL added = VARIANT_FALSE;
    EXPECT_EQ(list->Add(e, &added), S_OK);
    EXPECT_EQ(added, VARIANT_TRUE);
    EXPECT_EQ(list->Add(e, &added), S_FALSE);
    EXPECT_EQ(added, VARIANT_FALSE);
    e->Release();
    list->Release();
}

}  // namespace
