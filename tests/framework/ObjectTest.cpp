#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "framework/core/RCObject.h"
#include "framework/core/Trace.h"

namespace {

std::atomic<int> g_released{0};

struct Base : core::RCObject {
    int value = 0;
};
struct Derived : Base {};
struct Other : core::RCObject {};
struct Counted : core::RCObject {
  protected:
    void onFinalRelease() override {
        ++g_released;
        core::RCObject::onFinalRelease();
    }
};

core::Object* makeBase() {
    return new Base();
}

TEST(RCPtr, CountsAndFinalRelease) {
    g_released = 0;
    {
        core::RCPtr<Counted> a(new Counted);
        EXPECT_EQ(a->getRefCount(), 1);
        core::RCPtr<Counted> b = a;
        EXPECT_EQ(a->getRefCount(), 2);
        core::RCPtr<Counted> c = std::move(b);
        EXPECT_TRUE(b.isNull());
        EXPECT_EQ(a->getRefCount(), 2);
        c.reset();
        EXPECT_EQ(a->getRefCount(), 1);
        EXPECT_EQ(g_released, 0);
    }
    EXPECT_EQ(g_released, 1);
    {
        // The first pointer to an object just made counts like any other.
        auto a = core::RCPtr<Counted>::adoptNew(new Counted);
        EXPECT_EQ(a->getRefCount(), 1);
        core::RCPtr<Counted> b = a;
        EXPECT_EQ(a->getRefCount(), 2);
        a.reset();
        EXPECT_EQ(g_released, 1);
    }
    EXPECT_EQ(g_released, 2);
    EXPECT_TRUE(core::RCPtr<Counted>::adoptNew(nullptr).isNull());
}

TEST(RCPtr, CheckedDownCast) {
    core::RCPtr<core::RCObject> object(new Derived);
    EXPECT_TRUE(object.dynamicCast<Base>());
    EXPECT_TRUE(core::rcCast<Derived>(object));
    EXPECT_FALSE(core::rcCast<Other>(object));
    core::RCPtr<core::RCObject> empty;
    EXPECT_FALSE(core::rcCast<Base>(empty));
    core::RCPtr<Base> up = core::rcCast<Derived>(object);  // implicit up-cast keeps the count
    EXPECT_EQ(object->getRefCount(), 2);
}

TEST(RCPtr, SelfAssignmentKeepsObject) {
    core::RCPtr<Base> a(new Base);
    auto& same = a;
    a = same;
    ASSERT_TRUE(a);
    EXPECT_EQ(a->getRefCount(), 1);
}

TEST(RCMap, OrderedAndNeverReplaces) {
    core::RCPtr<core::RCMap<unsigned long, std::string>> map(
        new core::RCMap<unsigned long, std::string>);
    EXPECT_TRUE(map->insert(3, "c"));
    EXPECT_TRUE(map->insert(1, "a"));
    EXPECT_FALSE(map->insert(3, "x"));
    EXPECT_EQ(*map->find(3), "c");
    std::string order;
    for (auto& [k, v] : *map)
        order += v;
    EXPECT_EQ(order, "ac");
    EXPECT_TRUE(map->erase(1));
    EXPECT_FALSE(map->erase(1));
    EXPECT_EQ(map->find(1), nullptr);
}

TEST(ObjectRegistry, CreateByClassName) {
    EXPECT_EQ(Base().getClassName(), "(anonymous namespace)::Base");
    ASSERT_TRUE(core::Object::registerClass("test::Base", &makeBase));
    EXPECT_FALSE(core::Object::registerClass("test::Base", &makeBase));
    core::Object* made = core::Object::createObject("test::Base");
    ASSERT_NE(made, nullptr);
    EXPECT_NE(dynamic_cast<Base*>(made), nullptr);
    core::RCPtr<Base> owner(dynamic_cast<Base*>(made));
    EXPECT_TRUE(core::Object::unRegisterClass("test::Base"));
    EXPECT_FALSE(core::Object::unRegisterClass("test::Base"));
    EXPECT_EQ(core::Object::createObject("test::Base"), nullptr);
}

TEST(Trace, WritesOnlyWhileActive) {
    {
        core::TraceCapture capture;
        core::ToggleTrace(20, "Thing::method failed (%d)\n", 7);
        core::ToggleTrace(40, "Thing::method %s\n", "done");
        EXPECT_TRUE(capture.has(20, "Thing::method failed (7)\n"));
        EXPECT_TRUE(capture.has(40, "Thing::method done\n"));
        core::ToggleTrace::setActive(false);
        core::ToggleTrace(20, "silent\n");
        EXPECT_FALSE(capture.contains("silent"));
        core::ToggleTrace::setActive(true);
        std::string long_text(2000, 'x');
        core::ToggleTrace(20, "%s\n", long_text.c_str());
        EXPECT_TRUE(capture.has(20, long_text + "\n"));
    }
    EXPECT_FALSE(core::ToggleTrace::isActiveFlagSet());
}

}  // namespace
