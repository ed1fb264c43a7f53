#include <gtest/gtest.h>

#include "framework/core/ByteCounter.h"
#include "framework/core/Values.h"

namespace {

TEST(ENumber, ParsesWithinRangeOnly) {
    core::EByte b;
    EXPECT_TRUE(b.fromString("255"));
    EXPECT_EQ(b.getValue(), 255);
    EXPECT_FALSE(b.fromString("256"));
    EXPECT_FALSE(b.fromString(""));
    EXPECT_FALSE(b.fromString("7a"));
    EXPECT_FALSE(b.fromString("-1"));
    EXPECT_EQ(b.getValue(), 255) << "a failed parse leaves the value";
    EXPECT_TRUE(b.fromString(" 0x10 "));
    EXPECT_EQ(b.getValue(), 16);

    core::EShort s;
    EXPECT_TRUE(s.fromString("-32768"));
    EXPECT_FALSE(s.fromString("32768"));

    EXPECT_EQ(core::EULong(424690).stringValue(0, 0), "424690");
    EXPECT_EQ(core::EUShort(0x2C).stringValue(16, 4), "002C");
    EXPECT_EQ(core::ELong(-5).stringValue(), "-5");
    core::EFloat f;
    EXPECT_TRUE(f.fromString(core::EFloat(1.5f).stringValue()));
    EXPECT_EQ(f.getValue(), 1.5f);
}

TEST(EString, Utf16RoundTrip) {
    core::EString text(
        "UE\xE2\x80\x99s \xF0\x9F\x93\xB1");  // typographic apostrophe, a phone emoji
    std::basic_string<OLECHAR> wide = text.toUtf16();
    EXPECT_EQ(wide[2], static_cast<OLECHAR>(0x2019));
    EXPECT_EQ(wide.size(), 7u);  // the emoji is a surrogate pair
    EXPECT_EQ(core::EString(wide.c_str()), text);
    EXPECT_EQ(core::EString("com7").toUpper(), "COM7");
}

TEST(EGUID, TextRoundTrip) {
    GUID g = {0x12345678, 0x9ABC, 0xDEF0, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
    std::string text = core::EGUID(g).stringValue();
    EXPECT_EQ(text, "{12345678-9ABC-DEF0-0123-456789ABCDEF}");
    GUID back;
    ASSERT_TRUE(core::EGUID::fromString(text, back));
    EXPECT_EQ(back, g);
    EXPECT_FALSE(core::EGUID::fromString("{12345678-9ABC-DEF0-0123-456789ABCDEX}", back));
    EXPECT_FALSE(core::EGUID::fromString("nonsense", back));
}

TEST(HResultAndLastError, Texts) {
    EXPECT_EQ(core::HResult(static_cast<HRESULT>(0x80004005)).stringValue(), "0x80004005 E_FAIL");
    EXPECT_EQ(core::HResult(0).stringValue(), "0x00000000 S_OK");
    // The system's message table words it on Windows (Wine's says "Access denied.").
    const std::string denied = core::LastError(ERROR_ACCESS_DENIED).stringValue();
#if defined(_WIN32)
    EXPECT_NE(denied.find("ccess"), std::string::npos) << denied;
#else
    EXPECT_EQ(denied, "Access is denied.");
#endif
}

TEST(GUIDToString, Map) {
    core::GUIDToString map;
    GUID a = {1, 2, 3, {4}};
    EXPECT_TRUE(map.addItem(a, "A"));
    EXPECT_FALSE(map.addItem(a, "B"));
    std::string name;
    ASSERT_TRUE(map.find(a, name));
    EXPECT_EQ(name, "A");
    EXPECT_TRUE(map.removeItem(a));
    EXPECT_FALSE(map.find(a, name));
}

TEST(ByteCounter, SharedByName) {
    auto a = core::ByteCounter::instance("test-counter");
    auto b = core::ByteCounter::instance("test-counter");
    EXPECT_EQ(a.get(), b.get());
    a->reset();
    a->countBytes(9);
    b->countBytes(6);
    EXPECT_EQ(a->getCount(), 15u);
    EXPECT_NE(core::ByteCounter::instance("other-counter").get(), a.get());
}

}  // namespace
