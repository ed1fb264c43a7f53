// Common Control messages: header bit fields, information elements, the argument block in
// both directions, the request that carries it, and the XML form.
#include <gtest/gtest.h>

#include <sstream>

#include "ProtocolTestSupport.h"
#include "protocol/CommonControl.h"
#include "protocol/TvpCommandReq.h"

namespace vela::test {
namespace {

Bytes encode(const CommonControl& message) {
    Bytes out(message.size());
    EXPECT_TRUE(message.toBytes(out.data()));
    return out;
}

core::RCPtr<CommonControl> decode(const std::string& text) {
    const Bytes b = hex(text);
    return CommonControl::createObject(b.data(), static_cast<unsigned short>(b.size()));
}

// "IE iei: value bytes" per element, as a trace would show a decoded message.
std::string describe(CommonControl& message) {
    std::ostringstream s;
    s << "op " << int(message.getOperationType()) << " block " << int(message.getBlockId())
      << " function " << int(message.getFunctionId()) << "\n";
    message.resetIEs();
    while (auto ie = message.nextIE())
        s << "IE " << int(ie->getIEI()) << ": " << toHex(ie->getValue()) << "\n";
    return s.str();
}

TEST(CommonControl, HeaderBitFields) {
    CommonControl message;
    EXPECT_EQ(message.getCallbackId(), 0xAA);
    EXPECT_EQ(CommonControl::identity(), 0xAA);
    message.setFunctionId(CommonControl::CAS_SYSTEM_CAPABILITY_CONTROL);
    EXPECT_EQ(message.getBlockId(), CommonControl::CAS_BLOCK);
    EXPECT_EQ(message.getFunctionId(), 1);
    EXPECT_EQ(message.getCASFunctionId(), CommonControl::CAS_SYSTEM_CAPABILITY_CONTROL);
    EXPECT_EQ(message.getTestCodeNumber(), 386);

    message.setOperationType(CommonControl::GET);
    EXPECT_EQ(message.getTestCodeNumber(), 387);
    message.setOperationType(CommonControl::SET);
    EXPECT_EQ(message.getTestCodeNumber(), 386);

    // Bits 13-15 are kept; each setFunctionId writes its own block id.
    message.setTestCodeNumber(0xE000 | 386);
    message.setFunctionId(static_cast<CommonControl::WASFunctionId>(0x3F));
    EXPECT_EQ(message.getTestCodeNumber(), 0xE000 | (1 << 7) | (0x3F << 1));
    EXPECT_EQ(message.getBlockId(), CommonControl::WAS_BLOCK);
    message.setFunctionId(CommonControl::INTERNAL_FUNCTION_NONE);
    EXPECT_EQ(message.getTestCodeNumber(), 0xE000);
    message.setFunctionId(static_cast<CommonControl::GASFunctionId>(2));
    EXPECT_EQ(message.getBlockId(), CommonControl::GAS_BLOCK);
    EXPECT_EQ(message.getGASFunctionId(), 2);
}

TEST(CommonControl, InformationElements) {
    const std::uint16_t values[] = {0x0102, 0x0304};
    auto ie = CommonControlIE::fromUShorts(9, values, 2);
    ASSERT_TRUE(ie);
    unsigned char out[8] = {};
    EXPECT_EQ(ie->toBytes(out), out + 6);
    EXPECT_EQ(toHex(out, 6), "09 04 02 01 04 03");
    EXPECT_EQ(ie->size(), 6u);
    std::uint16_t v = 0;
    EXPECT_TRUE(ie->next(v));
    EXPECT_EQ(v, 0x0102);
    EXPECT_TRUE(ie->next(v));
    EXPECT_EQ(v, 0x0304);
    EXPECT_FALSE(ie->next(v));
    EXPECT_EQ(v, 0x0304);

    // More than 127 unsigned shorts would not fit the length byte: no element is made.
    std::vector<std::uint16_t> many(128, 1);
    EXPECT_FALSE(CommonControlIE::fromUShorts(1, many.data(), 128));
    auto most = CommonControlIE::fromUShorts(1, many.data(), 127);
    ASSERT_TRUE(most);
    EXPECT_EQ(most->size(), 256u);
    EXPECT_FALSE(CommonControlIE::fromUShorts(1, nullptr, 1));

    CommonControlIE one(3, std::uint16_t{0xBEEF});
    unsigned char byte = 0;
    EXPECT_TRUE(one.next(byte));
    EXPECT_EQ(byte, 0xEF);
    EXPECT_FALSE(one.next(v));  // one byte left
    EXPECT_TRUE(one.next(byte));
    EXPECT_FALSE(one.next(byte));
    one.reset();
    EXPECT_TRUE(one.next(v));
    EXPECT_EQ(v, 0xBEEF);

    const unsigned char raw[] = {1, 2, 3};
    CommonControlIE bytes(4, raw, 3);
    EXPECT_EQ(toHex(bytes.getValue()), "01 02 03");
    CommonControlIE zeros(4, nullptr, 2);
    EXPECT_EQ(toHex(zeros.getValue()), "00 00");
}

TEST(CommonControl, EngineMessageAndItsRequest) {
    CommonControl message;
    message.setOperationType(CommonControl::SET);
    message.setFunctionId(CommonControl::CAS_SYSTEM_CAPABILITY_CONTROL);
    EXPECT_TRUE(message.addIE(new CommonControlIE(0, static_cast<unsigned char>(0x05))));
    EXPECT_FALSE(message.addIE(nullptr));
    EXPECT_EQ(toHex(encode(message)), "00 00 03 00 00 00 04 03 00 00 01 05 FF FF");

    TvpCommandExecuteTestCodeReq req(message);
    EXPECT_EQ(req.size(), 25u);
    EXPECT_EQ(toHex(req.getFrame()),
              "19 00 02 2C 03 00 AA 82 01 0E 00 00 00 03 00 00 00 04 03 00 00 01 05 FF FF");
    auto back = req.getTvpTestCodeArguments().dynamicCast<CommonControl>();
    ASSERT_TRUE(back);
    EXPECT_EQ(describe(*back), "op 0 block 3 function 1\nIE 0: 05\n");
    EXPECT_FALSE(back->nextIE());
}

TEST(CommonControl, SizesCountIEBytes) {
    CommonControl message;
    EXPECT_EQ(toHex(encode(message)), "FF FF");
    EXPECT_FALSE(message.nextIE());
    message.resetIEs();

    const unsigned char two[] = {0xA1, 0xA2};
    message.addIE(new CommonControlIE(1, static_cast<unsigned char>(0x11)));
    message.addIE(new CommonControlIE(2, two, 2));
    EXPECT_EQ(message.size(), 18u);
    EXPECT_EQ(message.getArgumentCount(), 1u);
    EXPECT_EQ(toHex(encode(message)), "00 00 07 00 00 00 04 07 00 01 01 11 02 02 A1 A2 FF FF");
}

TEST(CommonControl, DecodesBlocks) {
    auto two = decode("00 00 07 00 00 00 04 07 00 01 01 11 02 02 A1 A2 FF FF");
    ASSERT_TRUE(two);
    EXPECT_EQ(describe(*two), "op 0 block 0 function 0\nIE 1: 11\nIE 2: A1 A2\n");
    EXPECT_EQ(two->getCallbackId(), 0xAA);

    auto none = decode("FF FF");
    ASSERT_TRUE(none);
    EXPECT_EQ(none->getArgumentCount(), 0u);
    // An argument header with no room for an IE byte count: a message without IEs.
    auto bare = decode("00 00 00 00 00 00 04 FF FF");
    ASSERT_TRUE(bare);
    EXPECT_EQ(describe(*bare), "op 0 block 0 function 0\n");
    // An empty IE.
    auto empty = decode("00 00 02 00 00 00 04 02 00 07 00 FF FF");
    ASSERT_TRUE(empty);
    EXPECT_EQ(describe(*empty), "op 0 block 0 function 0\nIE 7: \n");
}

TEST(CommonControl, RefusesBadBlocks) {
    const char* bad[] = {
        "00 00 03 00 00 00 04 03 00 00 01 05",        // IE byte count equals the bytes left
        "00 00 03 00 00 00 04 03 00 00 02 05 FF FF",  // IE runs past the IE byte count
        "00 00 03 00 00 00 04 03 00 00 FF 05 FF FF",  // IE runs past the block
        "00 00 03 00 00 00 04 03 00 00 FF FF",        // IE byte count past the block
        "00 00 03 00 00 00 04 02 00 00 01 05 FF FF",  // Length and IE byte count disagree
        "00 00 01 00 00 00 04 01 00 00 FF FF",        // IE header cut by the IE byte count
        "00 00 01 00 00 00 04 FF FF",                 // Length without IE bytes
        "00 00 03 00 00 00 04 03 00 00 01 05 FF FE",  // no terminator
        "00 00 09 00 00 00 04 FF FF",                 // Length past the block
        "00 00 00 00 00 00 04",                       // truncated header
    };
    for (const char* text : bad)
        EXPECT_FALSE(decode(text)) << text;
}

class CommonControlXml : public RegisteredProtocolClasses {};

TEST_F(CommonControlXml, RoundTripsThroughText) {
    CommonControl message;
    message.setFunctionId(CommonControl::CAS_SYSTEM_CAPABILITY_CONTROL);
    const std::uint16_t values[] = {0x0102, 0x0304};
    message.addIE(CommonControlIE::fromUShorts(9, values, 2).get());
    message.addIE(new CommonControlIE(0, static_cast<unsigned char>(3)));
    message.addIE(new CommonControlIE(5, nullptr, 0));

    core::XMLElement element;
    ASSERT_TRUE(message.toXMLElement(element));
    std::string v;
    ASSERT_TRUE(element.getAttribute("TEST_CODE_NUMBER", v));
    EXPECT_EQ(v, "386");
    ASSERT_EQ(element.getChildren().size(), 3u);
    const core::XMLElement& ie = element.getChildren()[0];
    EXPECT_EQ(ie.getName(), "IE");
    ASSERT_TRUE(ie.getAttribute("LENGTH", v));
    EXPECT_EQ(v, "4");
    EXPECT_EQ(ie.getText(), "2;1;4;3");

    core::XMLElement parsed;
    ASSERT_TRUE(core::XMLElement::fromString(element.toString(), parsed));
    auto back = parsed.toXMLObject().dynamicCast<CommonControl>();
    ASSERT_TRUE(back);
    EXPECT_EQ(toHex(encode(*back)), toHex(encode(message)));
    EXPECT_EQ(back->getTestCodeNumber(), 386);
}

TEST_F(CommonControlXml, RefusesBadIEs) {
    auto parse = [](const std::string& ies) {
        core::XMLElement e;
        EXPECT_TRUE(core::XMLElement::fromString(
            R"(<M CLASS="vela::CommonControl" CALLBACK_ID="170" TEST_CODE_NUMBER="386">)" + ies +
                "</M>",
            e));
        return e.toXMLObject().dynamicCast<CommonControl>();
    };
    EXPECT_TRUE(parse(R"(<IE CLASS="vela::CommonControlIE" IEI="0" LENGTH="2">1;2</IE>)"));
    EXPECT_FALSE(parse(R"(<IE CLASS="vela::CommonControlIE" IEI="0" LENGTH="3">1;2</IE>)"));
    EXPECT_FALSE(parse(R"(<IE CLASS="vela::CommonControlIE" IEI="0" LENGTH="1">256</IE>)"));
    EXPECT_FALSE(parse(R"(<IE CLASS="vela::CommonControlIE" IEI="0" LENGTH="2">1;;2</IE>)"));
    EXPECT_FALSE(parse(R"(<IE CLASS="vela::TvpTestCodeArgument" NUMBER="0" ELEMENT_TYPE="4"/>)"));
    auto empty = parse(R"(<IE CLASS="vela::CommonControlIE" IEI="4" LENGTH="0"/>)");
    ASSERT_TRUE(empty);
    EXPECT_EQ(describe(*empty), "op 0 block 3 function 1\nIE 4: \n");
}

}  // namespace
}  // namespace vela::test
