// Test-code arguments: byte form, decoding of good and bad blocks, elements, XML form.
#include <gtest/gtest.h>

#include <sstream>

#include "ProtocolTestSupport.h"
#include "protocol/TvpTestCodeArguments.h"

namespace vela::test {
namespace {

Bytes encode(const TvpTestCodeArgumentsBase& list) {
    Bytes out(list.size());
    EXPECT_TRUE(list.toBytes(out.data()));
    return out;
}

Bytes encode(const TvpTestCodeArgument& arg) {
    Bytes out(arg.size());
    EXPECT_EQ(arg.toBytes(out.data()), out.data() + out.size());
    return out;
}

// One line per argument: number, type and elements, as a trace would show them.
std::string describe(TvpTestCodeArguments& list) {
    std::ostringstream s;
    for (auto arg = list.getFirst(); arg; arg = list.getNext()) {
        s << "arg " << arg->getNumber() << " type " << int(arg->getElementType()) << ":";
        arg->resetElements();
        unsigned char u8;
        std::uint16_t u16;
        std::uint32_t u32;
        std::string str;
        float f;
        while (true) {
            if (arg->nextElement(u8)) {
                s << " " << int(u8);
            } else if (arg->nextElement(u16)) {
                s << " " << u16;
            } else if (arg->nextElement(u32)) {
                s << " " << u32;
            } else if (arg->nextElement(str)) {
                s << " \"" << str << "\"";
            } else if (arg->nextElement(f)) {
                s << " " << f;
            } else {
                break;
            }
        }
        s << "\n";
    }
    return s.str();
}

core::RCPtr<TvpTestCodeArguments> decode(const std::string& text) {
    const Bytes b = hex(text);
    return TvpTestCodeArguments::createObject(b.data(), static_cast<unsigned short>(b.size()));
}

TEST(TestCodeArguments, EncodedForms) {
    TvpTestCodeArguments empty;
    EXPECT_EQ(empty.size(), 2u);
    EXPECT_EQ(toHex(encode(empty)), "FF FF");

    TvpTestCodeArguments one;
    one.addArgument(new TvpTestCodeArgument(std::uint16_t{0x1234}));
    EXPECT_EQ(toHex(encode(one)), "00 00 02 00 00 00 00 01 00 34 12 FF FF");

    TvpTestCodeArgument ab("ab");
    EXPECT_EQ(ab.getLength(), 3u);
    EXPECT_EQ(ab.size(), 12u);
    EXPECT_EQ(toHex(encode(ab)), "00 00 03 00 00 00 06 01 00 61 62 00");

    TvpTestCodeArgument u32(std::uint32_t{0x01020304});
    EXPECT_EQ(toHex(encode(u32)), "00 00 04 00 00 00 02 01 00 04 03 02 01");
    TvpTestCodeArgument u8(static_cast<unsigned char>(0xAB));
    EXPECT_TRUE(u8.addElement(static_cast<unsigned char>(0xCD)));
    EXPECT_EQ(toHex(encode(u8)), "00 00 02 00 00 00 04 02 00 AB CD");
    TvpTestCodeArgument real(1.0f);
    EXPECT_TRUE(real.addElement(-2.5f));
    EXPECT_EQ(toHex(encode(real)), "00 00 08 00 00 00 07 02 00 00 00 80 3F 00 00 20 C0");
    TvpTestCodeArgument strings(std::string("x"));
    EXPECT_TRUE(strings.addElement(std::string()));
    EXPECT_TRUE(strings.addElement("yz"));
    EXPECT_EQ(toHex(encode(strings)), "00 00 06 00 00 00 06 03 00 78 00 00 79 7A 00");

    TvpTestCodeArgument none;
    EXPECT_EQ(toHex(encode(none)), "00 00 00 00 00 00 04 00 00");
}

TEST(TestCodeArguments, ElementsKeepOneType) {
    TvpTestCodeArgument arg(static_cast<unsigned char>(1));
    EXPECT_FALSE(arg.addElement(std::uint32_t{2}));
    EXPECT_FALSE(arg.addElement("text"));
    EXPECT_FALSE(arg.addElement(static_cast<const char*>(nullptr)));
    EXPECT_EQ(arg.getNumberOfElements(), 1u);

    // An empty argument takes the type of its first value.
    TvpTestCodeArgument empty;
    EXPECT_TRUE(empty.addElement(std::uint16_t{7}));
    EXPECT_EQ(empty.getElementType(), TVP_DATA_U16);

    // Reading with the wrong type or past the end leaves the value untouched.
    std::uint32_t wrong = 99;
    EXPECT_FALSE(arg.nextElement(wrong));
    EXPECT_EQ(wrong, 99u);
    unsigned char value = 0;
    EXPECT_TRUE(arg.nextElement(value));
    EXPECT_EQ(value, 1);
    value = 42;
    EXPECT_FALSE(arg.nextElement(value));
    EXPECT_EQ(value, 42);
    arg.resetElements();
    EXPECT_TRUE(arg.nextElement(value));

    // A string with an embedded zero would not come back as it went.
    TvpTestCodeArgument text("a");
    EXPECT_FALSE(text.addElement(std::string("b\0c", 3)));
    EXPECT_EQ(text.getNumberOfElements(), 1u);
}

TEST(TestCodeArguments, ArgumentsAreNumberedByPosition) {
    TvpTestCodeArguments list(160, 1);
    for (int i = 0; i < 3; ++i)
        list.addArgument(new TvpTestCodeArgument(static_cast<unsigned char>(i)));
    EXPECT_EQ(describe(list), "arg 0 type 4: 0\narg 1 type 4: 1\narg 2 type 4: 2\n");
    EXPECT_TRUE(list.getArgument(2));
    EXPECT_FALSE(list.getArgument(3));
    EXPECT_FALSE(list.addArgument(nullptr));

    // Decoded arguments are renumbered too.
    auto decoded = decode("07 00 01 00 00 00 04 01 00 0A | 09 00 01 00 00 00 04 01 00 0B | FF FF");
    ASSERT_TRUE(decoded);
    EXPECT_EQ(describe(*decoded), "arg 0 type 4: 10\narg 1 type 4: 11\n");
}

TEST(TestCodeArguments, DecodesGoodBlocks) {
    auto one = decode("00 00 02 00 00 00 00 01 00 34 12 FF FF");
    ASSERT_TRUE(one);
    EXPECT_EQ(describe(*one), "arg 0 type 0: 4660\n");
    EXPECT_EQ(one->getCallbackId(), 0);
    EXPECT_EQ(one->getTestCodeNumber(), 0);

    // A long first argument and a short second one.
    std::string longFirst = "00 00 14 00 00 00 00 0A 00";
    for (int i = 0; i < 10; ++i)
        longFirst += " 01 00";
    auto two = decode(longFirst + "01 00 01 00 00 00 04 01 00 05 FF FF");
    ASSERT_TRUE(two);
    EXPECT_EQ(describe(*two), "arg 0 type 0: 1 1 1 1 1 1 1 1 1 1\narg 1 type 4: 5\n");

    // Every element type with values.
    auto all = decode(
        "00 00 04 00 00 00 02 01 00 04 03 02 01 | 00 00 06 00 00 00 06 03 00 78 00 00 79 7A 00 |"
        "00 00 04 00 00 00 07 01 00 00 00 80 3F | FF FF");
    ASSERT_TRUE(all);
    EXPECT_EQ(describe(*all),
              "arg 0 type 2: 16909060\narg 1 type 6: \"x\" \"\" \"yz\"\narg 2 type 7: 1\n");

    // No terminator after the last argument, and the empty list.
    auto open = decode("00 00 01 00 00 00 04 01 00 05");
    ASSERT_TRUE(open);
    EXPECT_EQ(describe(*open), "arg 0 type 4: 5\n");
    auto empty = decode("FF FF");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->getArgumentCount(), 0u);
    EXPECT_TRUE(TvpTestCodeArguments::createObject(nullptr, 0));
}

TEST(TestCodeArguments, RefusesBadBlocks) {
    const char* bad[] = {
        "00 00 02 00 00 00 00 01 00 34",                 // truncated element
        "00 00 02 00 00 00 00 01",                       // truncated header
        "00 00 02 00 00 00 00 01 00 34 12 FF FE",        // last 2 bytes not FF FF
        "00 00 02 00 00 00 00 01 00 34 12 FF",           // one stray byte
        "FF FE",                                         // not a terminator
        "00 00 03 00 00 00 00 01 00 34 12 00 FF FF",     // Length longer than the elements
        "00 00 01 00 00 00 00 01 00 34 12 FF FF",        // Length shorter than the elements
        "00 00 00 00 00 00 00 01 00 FF FF",              // count without element bytes
        "00 00 02 00 00 00 06 01 00 61 62 FF FF",        // string without its zero
        "00 00 02 00 00 00 01 01 00 34 12 FF FF",        // type 1 has no element values
        "00 00 04 00 00 00 03 01 00 01 02 03 04 FF FF",  // type 3
        "00 00 01 00 00 00 05 01 00 01 FF FF",           // type 5
        "00 00 00 00 00 00 08 00 00 FF FF",              // type 8
        "00 00 FF FF FF FF 00 01 00 34 12 FF FF",        // Length past the block
    };
    for (const char* text : bad)
        EXPECT_FALSE(decode(text)) << text;
}

TEST(TestCodeArguments, RefusesToGrowPastA16BitSize) {
    TvpTestCodeArgument big;
    unsigned int added = 0;
    while (big.addElement(std::uint16_t{0xABCD}))
        ++added;
    EXPECT_EQ(added, 32762u);
    EXPECT_EQ(big.size(), 65533u);

    TvpTestCodeArguments list;
    core::RCPtr<TvpTestCodeArgument> shared(new TvpTestCodeArgument(big));
    EXPECT_TRUE(list.addArgument(shared.get()));
    EXPECT_EQ(list.size(), 65535u);
    EXPECT_FALSE(list.addArgument(new TvpTestCodeArgument(std::uint16_t{1})));
    const Bytes bytes = encode(list);
    auto back =
        TvpTestCodeArguments::createObject(bytes.data(), static_cast<unsigned short>(bytes.size()));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->getFirst()->getNumberOfElements(), 32762u);
}

TEST(TestCodeArguments, CopiesAreDeep) {
    TvpTestCodeArguments list(3, 4);
    list.addArgument(new TvpTestCodeArgument("abc"));
    core::RCPtr<TvpTestCodeArguments> copy(static_cast<TvpTestCodeArguments*>(list.copy()));
    copy->getFirst()->addElement("def");
    EXPECT_EQ(list.getFirst()->getNumberOfElements(), 1u);
    EXPECT_EQ(describe(*copy), "arg 0 type 6: \"abc\" \"def\"\n");
    EXPECT_EQ(copy->getCallbackId(), 3);
}

class TestCodeArgumentsXml : public RegisteredProtocolClasses {};

TEST_F(TestCodeArgumentsXml, RoundTripsThroughText) {
    TvpTestCodeArguments list(160, 1);
    auto* shorts = new TvpTestCodeArgument(std::uint16_t{700});
    shorts->addElement(std::uint16_t{65535});
    list.addArgument(shorts);
    list.addArgument(new TvpTestCodeArgument(std::uint32_t{4000000000u}));
    list.addArgument(new TvpTestCodeArgument(static_cast<unsigned char>(255)));
    auto* text = new TvpTestCodeArgument("a<b & \"c\"");
    text->addElement("second");
    list.addArgument(text);
    list.addArgument(new TvpTestCodeArgument(0.1f));

    core::XMLElement element;
    ASSERT_TRUE(list.toXMLElement(element));
    EXPECT_EQ(element.getName(), "vela.TvpTestCodeArguments");
    std::string v;
    ASSERT_TRUE(element.getAttribute("CALLBACK_ID", v));
    EXPECT_EQ(v, "160");
    ASSERT_EQ(element.getChildren().size(), 5u);
    const core::XMLElement& first = element.getChildren()[0];
    EXPECT_EQ(first.getName(), "ARGUMENT");
    ASSERT_TRUE(first.getAttribute("ELEMENT_TYPE", v));
    EXPECT_EQ(v, "0");
    ASSERT_EQ(first.getChildren().size(), 2u);
    EXPECT_EQ(first.getChildren()[1].getName(), "ELEMENT");
    EXPECT_EQ(first.getChildren()[1].getText(), "65535");

    core::XMLElement parsed;
    ASSERT_TRUE(core::XMLElement::fromString(element.toString(), parsed));
    auto back = parsed.toXMLObject().dynamicCast<TvpTestCodeArguments>();
    ASSERT_TRUE(back);
    EXPECT_EQ(back->getCallbackId(), 160);
    EXPECT_EQ(back->getTestCodeNumber(), 1);
    EXPECT_EQ(toHex(encode(*back)), toHex(encode(list)));
}

TEST_F(TestCodeArgumentsXml, RefusesBadElements) {
    auto parse = [](const std::string& xml) {
        core::XMLElement e;
        EXPECT_TRUE(core::XMLElement::fromString(xml, e));
        return e.toXMLObject().dynamicCast<TvpTestCodeArguments>();
    };
    const std::string head =
        R"(<L CLASS="vela::TvpTestCodeArguments" CALLBACK_ID="1" TEST_CODE_NUMBER="2">)";
    const std::string arg =
        R"(<ARGUMENT CLASS="vela::TvpTestCodeArgument" NUMBER="0" ELEMENT_TYPE=)";
    EXPECT_TRUE(parse(head + arg + R"("0"><ELEMENT>5</ELEMENT></ARGUMENT></L>)"));
    EXPECT_FALSE(parse(head + arg + R"("0"><ELEMENT>70000</ELEMENT></ARGUMENT></L>)"));
    EXPECT_FALSE(parse(head + arg + R"("4"><ELEMENT>x</ELEMENT></ARGUMENT></L>)"));
    EXPECT_FALSE(parse(head + arg + R"("300"></ARGUMENT></L>)"));
    EXPECT_FALSE(
        parse(head + R"(<ARGUMENT CLASS="vela::CommonControlIE" IEI="1" LENGTH="0"/></L>)"));
    EXPECT_FALSE(
        parse(R"(<L CLASS="vela::TvpTestCodeArguments" CALLBACK_ID="256" TEST_CODE_NUMBER="2"/>)"));
    // Types without element values read no elements.
    auto reserved = parse(head + arg + R"("3"><ELEMENT>1</ELEMENT></ARGUMENT></L>)");
    ASSERT_TRUE(reserved);
    EXPECT_EQ(reserved->getFirst()->getNumberOfElements(), 0u);
}

}  // namespace
}  // namespace vela::test
