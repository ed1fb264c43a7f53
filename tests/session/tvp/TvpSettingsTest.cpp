// The engine's settings tree and what applying its items sends to the phone: SetProbeMode
// groups, the "Phy" test codes and the system-capability Common Control request, with the
// apply's result taken from the phone's acknowledgements.
#include "TvpTestSupport.h"

namespace tvptest {
namespace {

using namespace vela::catalogue;

// Where an apply ends by its time-out: the time-out passes when the test moves the clock.
using TvpSettings = TvpTest;

constexpr std::uint8_t kOn = 6;
constexpr std::uint8_t kOff = 1;

TEST_F(TvpSettings, TreeHasFixedIdentitiesInOrderWithHandlersAndDefaults) {
    startEngine();
    RCPtr<core::PropertyStore> store = engine->getPropertyStore();
    ASSERT_TRUE(store);
    EXPECT_EQ(engine->getPropertyStore(), store) << "the same store on every request";
    EXPECT_EQ(store->getIdentity(), reinterpret_cast<core::PropertyNode::Identity>(
                                        static_cast<vela::TVP*>(engine.get())));
    EXPECT_EQ(store->getName(), "");
    EXPECT_EQ(store->getDescription(), "");

    // Depth-first, the identities run 424690..424704 without gaps.
    std::vector<unsigned long> identities;
    std::vector<std::string> names;
    std::function<void(const core::PropertyNode&)> walk = [&](const core::PropertyNode& node) {
        identities.push_back(node.getIdentity());
        names.push_back(node.getName());
        if (auto* category = dynamic_cast<const core::PropertyCategory*>(&node))
            for (auto& child : category->getChildren())
                walk(*child);
    };
    for (auto& child : store->getChildren())
        walk(*child);
    std::vector<unsigned long> expected;
    for (unsigned long id = 424690; id <= 424704; ++id)
        expected.push_back(id);
    EXPECT_EQ(identities, expected);
    EXPECT_EQ(names,
              (std::vector<std::string>{"Common Control", "CAS", "System Capability Control",
                                        "Probes", "Phy", "CAS", "Mode Reports", "GSM", "WCDMA",
                                        "Layer 3", "GSM", "WCDMA", "Layer 2", "GSM", "WCDMA"}));
    EXPECT_EQ(item(kSystemCapability)->getDescription(),
              "Modifies and reports the UE\xE2\x80\x99s System Capability.");

    // Only the system capability has a validate handler; every item has an apply handler.
    for (const auto& entry : items()) {
        core::PropertyItem* it = item(entry.identity);
        ASSERT_TRUE(it) << entry.identity;
        EXPECT_TRUE(it->hasApply()) << it->getName();
        EXPECT_EQ(it->hasValidate(), entry.identity == kSystemCapability) << it->getName();
        EXPECT_EQ(it->getStyle() & 2, 2u) << it->getName();
        std::size_t selected = 0;
        for (auto& v : it->getValues())
            selected += v.isSelected();
        EXPECT_EQ(selected, entry.identity == kSystemCapability ? 2u : 0u) << it->getName();
    }
    EXPECT_NE(dynamic_cast<core::BytePropertyItem*>(item(kSystemCapability)), nullptr);
    EXPECT_NE(dynamic_cast<core::UShortPropertyItem*>(item(kPhy)), nullptr);
    EXPECT_EQ(item(kPhy)->getApplyTimeout(), 2000u);
    EXPECT_EQ(item(kGsmLayer2)->getApplyTimeout(), 1000u);
    EXPECT_EQ(item(kWcdmaLayer2)->getApplyTimeout(), core::PropertyItem::kDefaultApplyTimeout);
}

TEST_F(TvpSettings, TreePersistsAsXmlAndLoadedSelectionsAreWhatAnApplySends) {
    startEngine();
    RCPtr<core::PropertyStore> store = engine->getPropertyStore();
    item(kGsmLayer3)->getValue(13)->setSelected(true);  // "Dcch Message", probe 0x002A
    item(kSystemCapability)->getValue(0)->setSelected(false);

    core::XMLElement element;
    ASSERT_TRUE(store->toXMLElement(element));
    const std::string xml = element.toString();
    core::XMLElement parsed;
    std::string error;
    ASSERT_TRUE(core::XMLElement::fromString(xml, parsed, &error)) << error;
    RCPtr<core::XMLObject> copy = parsed.toXMLObject();
    ASSERT_TRUE(dynamic_cast<core::PropertyStore*>(copy.get()));
    core::XMLElement again;
    ASSERT_TRUE(copy->toXMLElement(again));
    EXPECT_EQ(again.toString(), xml)
        << "identities, names, descriptions, styles and values survive";

    // A fresh engine takes the persisted selections; applying then sends them.
    target->detachChannel("Tvp");
    engine->stopWorkThread();
    engine.reset();
    startSession();
    ASSERT_EQ(engine->getPropertyStore()->loadSelections(parsed), items().size());
    ASSERT_TRUE(item(kGsmLayer3)->getValue(13)->isSelected());
    phone->autoAnswer();
    ASSERT_TRUE(engine->applyPropertyItem(kGsmLayer3));
    ASSERT_EQ(observer->waitResult(1).code, 1);
    std::vector<Bytes> sent = phone->sent();
    ASSERT_EQ(sent.size(), 1u + 23u);
    EXPECT_EQ(sent[1], probeModeReq(1, 0x00C2, kOff));
    EXPECT_EQ(sent[14], probeModeReq(14, 0x002A, kOn)) << "sent by its value, in the item's order";
    EXPECT_EQ(sent[23], probeModeReq(23, 0x04A9, kOff));
    core::Status status;
    EXPECT_TRUE(engine->validatePropertyItem(kSystemCapability, status))
        << "only GSM selected: mask 2";
}

TEST_F(TvpSettings, ProbeGroupIsSentOneCommandAtATimeAndReportedOnceByItsLastAck) {
    startSession();
    core::TraceCapture trace;
    item(kWcdmaLayer2)->getValue(1)->setSelected(true);
    ASSERT_TRUE(engine->applyPropertyItem(kWcdmaLayer2));
    ASSERT_TRUE(phone->waitSent(2));
    settle();
    EXPECT_EQ(phone->sent(),
              (std::vector<Bytes>{setTimeStampReq(0), probeModeReq(1, 0x01AA, kOff)}));

    phone->inject(probeModeAck(1, 0x01AA));
    ASSERT_TRUE(phone->waitSent(3));
    EXPECT_EQ(phone->lastSent(), probeModeReq(2, 0x01AB, kOn));
    phone->inject(probeModeAck(2, 0x01AB));
    ASSERT_TRUE(phone->waitSent(4));
    EXPECT_EQ(phone->lastSent(), probeModeReq(3, 0x01AD, kOff));
    settle();
    EXPECT_TRUE(observer->results().empty()) << "no result before the last acknowledgement";
    EXPECT_FALSE(trace.contains("TVP::onProbeModeAck All getResult() == OK\n"));

    phone->inject(probeModeAck(3, 0x01AD));
    ApplyResult result = observer->waitResult(1);
    EXPECT_EQ(result.identity, kWcdmaLayer2);
    EXPECT_EQ(result.code, 1);
    settle();
    EXPECT_EQ(observer->results().size(), 1u);
    EXPECT_EQ(trace.count("TVP::onProbeModeAck All getResult() == OK\n"), 1u);
    EXPECT_TRUE(trace.has(40, "TVP::onProbeModeAck All getResult() == OK\n"));
    EXPECT_EQ(phone->sentCount(), 4u);
    EXPECT_EQ(sink->count(), 0u);
}

TEST_F(TvpSettings, SingleCommandGroupAndAppliesQueuedBehindEachOther) {
    startSession();
    item(kGsmLayer2)->getValue(0)->setSelected(true);
    ASSERT_TRUE(engine->applyPropertyItem(kGsmLayer2));
    ASSERT_TRUE(engine->applyPropertyItem(kWcdmaLayer3));  // waits behind
    ASSERT_TRUE(phone->waitSent(2));
    settle();
    EXPECT_EQ(phone->sent().back(), probeModeReq(1, 0x0498, kOn));
    EXPECT_EQ(phone->sentCount(), 2u);
    phone->inject(probeModeAck(1, 0x0498));
    ApplyResult result = observer->waitResult(1);
    EXPECT_EQ(result.identity, kGsmLayer2);
    EXPECT_EQ(result.code, 1) << "one command both starts and ends the apply";

    ASSERT_TRUE(phone->waitSent(3));  // the queued group starts once the first is done
    EXPECT_EQ(phone->lastSent(), probeModeReq(2, 0x0190, kOff));
    phone->autoAnswer();
    phone->inject(probeModeAck(2, 0x0190));
    result = observer->waitResult(2);
    EXPECT_EQ(result.identity, kWcdmaLayer3);
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(phone->sentCount(), 2u + 8u);
}

TEST_F(TvpSettings, NegativeOrWrongAcknowledgementEndsTheApplyAndDropsTheRest) {
    startSession();
    core::TraceCapture trace;
    // Negative: failed at once, the other two never sent.
    ASSERT_TRUE(engine->applyPropertyItem(kWcdmaLayer2));
    ASSERT_TRUE(phone->waitSent(2));
    phone->inject(probeModeAck(1, 0x01AA, 1));
    ApplyResult result = observer->waitResult(1);
    EXPECT_EQ(result.identity, kWcdmaLayer2);
    EXPECT_EQ(result.code, -1);
    EXPECT_TRUE(
        trace.has(20, "TVP::onProbeModeAck getResult() == TvpIoProtocol::ERR for Probe:426\n"));
    settle();
    EXPECT_TRUE(trace.has(
        20, "TVP::onDataFromUE TvpIoProtocol::COMMAND_ACK CommandQueue NOT acknowledge - Error\n"))
        << "the refused acknowledgement clears the queue";
    EXPECT_EQ(phone->sentCount(), 2u);

    // The right sequence number with another command's acknowledgement: refused, the rest
    // dropped, no result from the engine, so the apply ends by its time-out.
    trace.clear();
    ASSERT_TRUE(engine->applyPropertyItem(kGsmLayer2));
    ASSERT_TRUE(phone->waitSent(3));
    EXPECT_EQ(phone->lastSent(), probeModeReq(2, 0x0498, kOff));
    phone->inject(setTimeStampAck(2));
    passTime(999ms);
    EXPECT_EQ(observer->results().size(), 1u);
    passTime(1ms);
    ASSERT_EQ(observer->results().size(), 2u);
    result = observer->results()[1];
    EXPECT_EQ(result.identity, kGsmLayer2);
    EXPECT_EQ(result.code, -1);
    EXPECT_EQ(result.text, "apply timed out");
    EXPECT_TRUE(trace.has(20, "TVP::onProbeModeAck Wrong Command id (8)\n"));

    // The queue is free again.
    phone->autoAnswer();
    ASSERT_TRUE(engine->applyPropertyItem(kWcdmaLayer2));
    result = observer->waitResult(3);
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(phone->sentCount(), 3u + 3u);
}

TEST_F(TvpSettings, MissingAcknowledgementEndsTheApplyAndFreesTheQueue) {
    startSession();
    core::TraceCapture trace;
    ASSERT_TRUE(engine->applyPropertyItem(kCasProbes));
    ASSERT_TRUE(phone->waitSent(2));
    passTime(999ms);
    EXPECT_TRUE(observer->results().empty());
    passTime(1ms);
    ASSERT_EQ(observer->results().size(), 1u);
    ApplyResult result = observer->results()[0];
    EXPECT_EQ(result.identity, kCasProbes);
    EXPECT_EQ(result.code, -1);
    EXPECT_TRUE(trace.has(20, "Channel::applyPropertyItem Tvp: apply of 424695 timed out\n"));
    EXPECT_TRUE(
        trace.has(20, "TVP::onAppliedPropertyItem 424695 failed - its commands left the queue\n"));
    settle();
    EXPECT_EQ(phone->sentCount(), 2u) << "the rest of the group is not sent";
    // The answer after the time-out is recognised and changes nothing.
    phone->inject(probeModeAck(1, 0x0093));
    settle();
    EXPECT_TRUE(
        trace.has(40, "CommandQueue::acknowledge late answer 1 to an abandoned command ignored\n"));
    EXPECT_EQ(observer->results().size(), 1u);
    // The next apply goes through.
    phone->autoAnswer();
    ASSERT_TRUE(engine->applyPropertyItem(kWcdmaLayer2));
    result = observer->waitResult(2);
    EXPECT_EQ(result.identity, kWcdmaLayer2);
    EXPECT_EQ(result.code, 1) << result.text;
}

TEST_F(TvpSettings, PhyProbeSwitchesProbe700OnAndRunsOneTestCodePerValue) {
    startSession();
    item(kPhy)->getValue(1)->setSelected(true);   // "Synch Change", 1
    item(kPhy)->getValue(20)->setSelected(true);  // "Downlink DPCCH Snapshot", 0x2101
    phone->autoAnswer();
    ASSERT_TRUE(engine->applyPropertyItem(kPhy));
    ApplyResult result = observer->waitResult(1);
    EXPECT_EQ(result.identity, kPhy);
    EXPECT_EQ(result.code, 1) << result.text;
    std::vector<Bytes> sent = phone->sent();
    ASSERT_EQ(sent.size(), 1u + 1u + 21u);
    EXPECT_EQ(sent[1], probeModeReq(1, 700, kOn));
    // ExecuteTestCode, callback 160, test code 1 when selected, 0 when not, one argument with
    // the value as an unsigned short, then the list's end.
    auto testCode = [](std::uint8_t seq, std::uint16_t number, std::uint16_t value) {
        return cat({{0x18, 0x00, 0x02, 0x2C, 0x03, seq, 0xA0},
                    u2(number),
                    {0x0D, 0x00},
                    {0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00},
                    u2(value),
                    {0xFF, 0xFF}});
    };
    EXPECT_EQ(sent[2], testCode(2, 0, 0x0000));
    EXPECT_EQ(sent[3], testCode(3, 1, 0x0001));
    EXPECT_EQ(sent[4], testCode(4, 0, 0x0007));
    EXPECT_EQ(sent[22], testCode(22, 1, 0x2101));
}

TEST_F(TvpSettings, PhyTestCodeFailureEndsTheApply) {
    startSession();
    core::TraceCapture trace;
    ASSERT_TRUE(engine->applyPropertyItem(kPhy));
    ASSERT_TRUE(phone->waitSent(2));
    phone->inject(probeModeAck(1, 700));
    ASSERT_TRUE(phone->waitSent(3));
    phone->inject(testCodeAck(2, 0xA0, 0, 3));
    ApplyResult result = observer->waitResult(1);
    EXPECT_EQ(result.code, -1);
    EXPECT_TRUE(trace.has(20, "TVP::onExecuteTestCodeAck getResult() == TvpIoProtocol::ERR\n"));
    settle();
    EXPECT_EQ(phone->sentCount(), 3u);
}

TEST_F(TvpSettings, SystemCapabilityIsValidatedAndSentAsOneCommonControlRequest) {
    startSession();
    core::TraceCapture trace;
    core::Status status;
    EXPECT_TRUE(engine->validatePropertyItem(kSystemCapability, status)) << "both selected: mask 3";

    // Apply: a SET of CAS function 1 with one IE (identifier 0) holding the mask.
    ASSERT_TRUE(engine->applyPropertyItem(kSystemCapability));
    ASSERT_TRUE(phone->waitSent(2));
    EXPECT_EQ(phone->lastSent(),
              (Bytes{0x19, 0x00, 0x02, 0x2C, 0x03, 0x01, 0xAA, 0x82, 0x01, 0x0E, 0x00, 0x00, 0x00,
                     0x03, 0x00, 0x00, 0x00, 0x04, 0x03, 0x00, 0x00, 0x01, 0x03, 0xFF, 0xFF}));
    // The phone answers with its own Common Control block; it is not passed on.
    phone->inject(testCodeAck(
        1, 0xAA, 0x0182, 0,
        {0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x04, 0x03, 0x00, 0x00, 0x01, 0x03, 0xFF, 0xFF}));
    ApplyResult result = observer->waitResult(1);
    EXPECT_EQ(result.identity, kSystemCapability);
    EXPECT_EQ(result.code, 1);
    EXPECT_TRUE(trace.has(40, "TVP::onExecuteTestCodeAck All getResult() == OK\n"));
    EXPECT_EQ(sink->count(), 0u);

    // WCDMA only: mask 1; a negative answer fails the apply.
    item(kSystemCapability)->getValue(1)->setSelected(false);
    EXPECT_TRUE(engine->validatePropertyItem(kSystemCapability, status));
    ASSERT_TRUE(engine->applyPropertyItem(kSystemCapability));
    ASSERT_TRUE(phone->waitSent(3));
    EXPECT_EQ(phone->lastSent()[22], 0x01);
    EXPECT_EQ(phone->lastSent()[5], 0x02);
    phone->inject(testCodeAck(2, 0xAA, 0x0182, 1));
    result = observer->waitResult(2);
    EXPECT_EQ(result.code, -1);

    // A probe-mode answer to the Common Control request is the wrong command.
    ASSERT_TRUE(engine->applyPropertyItem(kSystemCapability));
    ASSERT_TRUE(phone->waitSent(4));
    phone->inject(probeModeAck(3, 0));
    passTime(1000ms);
    ASSERT_TRUE(trace.has(20, "TVP::onExecuteTestCodeAck Wrong Command id (1)\n"));
    result = observer->waitResult(3);
    EXPECT_EQ(result.code, -1);
    EXPECT_EQ(result.text, "apply timed out");

    // Nothing selected: mask 0 is refused before anything is sent.
    item(kSystemCapability)->getValue(0)->setSelected(false);
    EXPECT_FALSE(engine->validatePropertyItem(kSystemCapability, status));
    ASSERT_TRUE(engine->applyPropertyItem(kSystemCapability));
    result = observer->waitResult(4);
    EXPECT_EQ(result.code, -1);
    settle();
    EXPECT_EQ(phone->sentCount(), 4u);
}

}  // namespace
}  // namespace tvptest
