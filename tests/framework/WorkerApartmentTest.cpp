// A worker's thread is in the multithreaded apartment whatever apartment the thread that
// starts it is in: a host may start the component from a single-threaded apartment.
#include <gtest/gtest.h>

#include <thread>

#include "framework/core/SyncObjectMgr.h"
#include "platform/com/ClassRegistry.h"

namespace {

#if defined(_WIN32)
// Starts a worker and records, on the worker's thread, the apartment it is in.
class ApartmentProbe : public core::RCObject {
  public:
    ApartmentProbe() {
        m_worker = new core::SyncObjectMgr("ApartmentProbe", 0);
        m_worker->attachBegin(core::BoolCallBack(this, &ApartmentProbe::onBegin));
        started = m_worker->start(2000);
    }
    ~ApartmentProbe() override { m_worker->stop(INFINITE); }

    bool onBegin() {
        result = CoGetApartmentType(&type, &qualifier);
        return true;
    }

    core::RCPtr<core::SyncObjectMgr> m_worker;
    bool started = false;
    HRESULT result = E_FAIL;
    APTTYPE type = APTTYPE_CURRENT;
    APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
};

TEST(WorkerApartment, WorkerStartedFromASingleThreadedApartmentIsInTheMultithreadedOne) {
    HRESULT starterResult = E_FAIL, result = E_FAIL;
    APTTYPE type = APTTYPE_CURRENT;
    APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
    std::thread starter([&] {
        starterResult = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        {
            core::RCPtr<ApartmentProbe> probe(new ApartmentProbe);
            if (probe->started) {
                result = probe->result;
                type = probe->type;
                qualifier = probe->qualifier;
            }
        }
        if (SUCCEEDED(starterResult))
            CoUninitialize();
    });
    starter.join();
    ASSERT_EQ(starterResult, S_OK);
    ASSERT_EQ(result, S_OK);
    EXPECT_EQ(type, APTTYPE_MTA);
    // Entered itself, not only a member by default (the test's main is in the apartment too).
    EXPECT_EQ(qualifier, APTTYPEQUALIFIER_NONE);
}
#else
TEST(WorkerApartment, WorkerStartedFromASingleThreadedApartmentIsInTheMultithreadedOne) {
    GTEST_SKIP() << "apartments exist only on Windows";
}
#endif

}  // namespace
