// The session with the phone: the start-up command and its acknowledgement, the frame
// sequence number, and the session's life across activations and provider changes.
#include "TvpTestSupport.h"

namespace tvptest {
namespace {

using vela::catalogue::kCasProbes;
using vela::catalogue::kGsmLayer2;
using vela::catalogue::kGsmModeReports;
using vela::catalogue::kWcdmaLayer2;

constexpr int kActivating = dsrc::CHANNEL_STATE_ACTIVATING;
constexpr int kActive = dsrc::CHANNEL_STATE_ACTIVE;
constexpr int kFailed = dsrc::CHANNEL_STATE_FAILED;

const char* const kNotAcknowledged =
    "TVP::onDataFromUE TvpIoProtocol::COMMAND_ACK CommandQueue NOT acknowledge - Error\n";

using TvpSession = TvpTest;

TEST_F(TvpSession, StartUpSetsTheTimeStampAndThePositiveAckMakesTheChannelActive) {
    core::TraceCapture trace;
    startEngine();
    activate();
    EXPECT_EQ(engine->getActiveStateSnapshot(), kActivating);
    EXPECT_EQ(phone->sentCount(), 0u) << "nothing is sent before the engine has a stream";
    bind();
    ASSERT_TRUE(phone->waitSent(1));
    EXPECT_TRUE(phone->stream().isConnected());
    EXPECT_EQ(phone->sent(), std::vector<Bytes>{setTimeStampReq(0)});
    settle();
    EXPECT_EQ(engine->getActiveStateSnapshot(), kActivating)
        << "active only once the phone has answered";

    ASSERT_TRUE(phone->stream().waitForSinks(1));
    phone->inject(setTimeStampAck(0));
    settle();
    ASSERT_EQ(engine->getActiveStateSnapshot(), kActive);
    EXPECT_EQ(sink->count(), 0u) << "acknowledgements are consumed by the engine";
    EXPECT_EQ(engine->counters().acknowledgements, 1u);
    EXPECT_FALSE(trace.contains(kNotAcknowledged));
    EXPECT_EQ(observer->states(), (std::vector<int>{kActivating, kActive}));
    EXPECT_EQ(phone->sentCount(), 1u);
}

// The wrong answers are all in before the activation's time limit, which would otherwise give
// the start-up up and take the late right answer for what it is.
TEST_F(TvpSession, StartUpAnswersThatDoNotFitAreRefused) {
    // A negative answer fails the activation at once.
    {
        core::TraceCapture trace;
        startEngine();
        activate();
        bind();
        ASSERT_TRUE(phone->waitSent(1));
        ASSERT_TRUE(phone->stream().waitForSinks(1));
        phone->inject(setTimeStampAck(0, 2));
        settle();
        ASSERT_EQ(engine->getActiveStateSnapshot(), kFailed);
        EXPECT_TRUE(
            trace.has(20, "TVP::onTimeStampTypeAck getResult() == TvpIoProtocol::FAILED\n"));
        EXPECT_TRUE(trace.has(20, kNotAcknowledged)) << "the refused answer clears the queue";
        target->detachChannel("Tvp");
        engine->stopWorkThread();
        engine.reset();
    }
    // An answer with another sequence number, or with the request's id (7) instead of the
    // acknowledgement's (8), is not the answer: the activation fails by its time limit.
    for (const Bytes& wrong :
         {setTimeStampAck(1), cat({header(8, 2), {0x07, 0x00}, u2(0)}), probeModeAck(0, 0x0102)}) {
        core::TraceCapture trace;
        phone->stream().takeSentBlocks();
        startEngine();
        activate();
        bind();
        ASSERT_TRUE(phone->waitSent(1));
        ASSERT_TRUE(phone->stream().waitForSinks(1));
        phone->inject(wrong);
        settle();
        ASSERT_TRUE(trace.has(20, kNotAcknowledged));
        // The queue is cleared: the right answer arriving late is refused too.
        phone->inject(setTimeStampAck(0));
        settle();
        ASSERT_EQ(trace.count(kNotAcknowledged), 2u);
        passTime(5999ms);
        EXPECT_EQ(engine->getActiveStateSnapshot(), kActivating);
        passTime(1ms);
        EXPECT_EQ(engine->getActiveStateSnapshot(), kFailed);
        EXPECT_EQ(sink->count(), 0u);
        target->detachChannel("Tvp");
        engine->stopWorkThread();
        engine.reset();
    }
}

TEST_F(TvpSession, UnsolicitedAcknowledgementsAreTracedAndNeverReachTheHost) {
    startSession();
    core::TraceCapture trace;
    phone->inject(setTimeStampAck(0));              // answered already
    phone->inject(probeModeAck(1, 0x0102));         // nothing was asked
    phone->inject(cat({header(6, 2), {0x05, 1}}));  // an acknowledgement id without a class
    settle();
    EXPECT_EQ(trace.count(kNotAcknowledged), 3u);
    EXPECT_TRUE(trace.has(20, "TvpIoProtocolFactory::createCommandAck FAILED (ID=5)\n"));
    EXPECT_EQ(sink->count(), 0u);
    EXPECT_EQ(engine->getActiveStateSnapshot(), kActive);
    EXPECT_EQ(engine->counters().acknowledgements, 4u);
}

TEST_F(TvpSession, FrameSequenceNumberCountsEverySentCommandAndWrapsAfter255) {
    startSession();
    phone->autoAnswer();
    // 11 applies of 25 commands each take the counter past 255.
    for (std::size_t n = 1; n <= 11; ++n) {
        ASSERT_TRUE(engine->applyPropertyItem(kGsmModeReports));
        ApplyResult result = observer->waitResult(n);
        ASSERT_EQ(result.code, 1) << "apply " << n << ": " << result.text;
        ASSERT_EQ(result.identity, kGsmModeReports);
    }
    std::vector<Bytes> sent = phone->sent();
    ASSERT_EQ(sent.size(), 1u + 11u * 25u);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        ASSERT_GE(sent[i].size(), 6u);
        EXPECT_EQ(sent[i][5], static_cast<std::uint8_t>(i)) << "command " << i;
    }
    EXPECT_EQ(sent[255][5], 255u);
    EXPECT_EQ(sent[256][5], 0u);
    EXPECT_EQ(observer->results().size(), 11u) << "each apply is reported once";
}

// The engine hands a command to the provider without waiting for the service: a command the
// service refuses is traced by the provider and never answered, so its apply fails by its
// time-out, and the applies after it go out as usual.
TEST_F(TvpSession, CommandTheServiceRefusesFailsItsApply) {
    core::TraceCapture trace;
    startSession();
    phone->stream().answerFalseNext("Send");
    ASSERT_TRUE(engine->applyPropertyItem(kGsmLayer2));
    passTime(1000ms);
    ApplyResult result = observer->waitResult(1);
    EXPECT_EQ(result.code, -1);
    EXPECT_EQ(result.text, "apply timed out");
    EXPECT_EQ(phone->sentCount(), 1u) << "only the start-up request reached the phone";
    EXPECT_TRUE(trace.has(20, "DataProvider::onSendReq Error sending data\n"));

    // The apply that timed out took its command out of the queue: the next apply sends only
    // its own commands. The refused one had taken frame sequence number 1.
    phone->autoAnswer();
    ASSERT_TRUE(engine->applyPropertyItem(kWcdmaLayer2));
    result = observer->waitResult(2);
    EXPECT_EQ(result.identity, kWcdmaLayer2);
    EXPECT_EQ(result.code, 1) << result.text;
    std::vector<Bytes> sent = phone->sent();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[1], probeModeReq(2, 0x01AA, 1));
    EXPECT_EQ(sent[3], probeModeReq(4, 0x01AD, 1));
}

// The apply cut off by the stream's going ends by its 1000 ms time-out.
TEST_F(TvpSession, StreamTakenAwayAndGivenBackStartsTheSessionAgain) {
    startSession();
    // An apply whose command is in flight when the stream goes.
    ASSERT_TRUE(engine->applyPropertyItem(kGsmLayer2));
    ASSERT_TRUE(phone->waitSent(2));

    phoneTarget.removeProvider("Tvp");
    settle();
    ASSERT_EQ(engine->getActiveStateSnapshot(), kActivating)
        << "an active channel that loses its stream is coming up again";
    // The apply never completes: it ends by its time-out, not as a success.
    passTime(999ms);
    EXPECT_TRUE(observer->results().empty());
    passTime(1ms);
    ASSERT_EQ(observer->results().size(), 1u);
    ApplyResult result = observer->results()[0];
    EXPECT_EQ(result.identity, kGsmLayer2);
    EXPECT_EQ(result.code, -1);

    // Applied without a stream: nothing can be sent, and nothing is reported as sent.
    ASSERT_TRUE(engine->applyPropertyItem(kCasProbes));
    passTime(1000ms);
    result = observer->waitResult(2);
    EXPECT_EQ(result.identity, kCasProbes);
    EXPECT_EQ(result.code, -1);

    // The stream comes back: a fresh start-up request, numbered after the two that were sent.
    phone = std::make_unique<Phone>(phoneTarget.addProvider("Tvp"));
    ASSERT_TRUE(phone->stream().waitConnected(true, kWait));
    ASSERT_TRUE(phone->waitSent(1));
    EXPECT_EQ(phone->sent(), std::vector<Bytes>{setTimeStampReq(2)});
    ASSERT_TRUE(phone->stream().waitForSinks(1));
    phone->inject(setTimeStampAck(2));
    settle();
    ASSERT_EQ(engine->getActiveStateSnapshot(), kActive);

    // The session works again.
    phone->autoAnswer();
    ASSERT_TRUE(engine->applyPropertyItem(kGsmLayer2));
    result = observer->waitResult(3);
    EXPECT_EQ(result.code, 1) << result.text;
    EXPECT_EQ(phone->lastSent(), probeModeReq(3, 0x0498, 1));
    EXPECT_EQ(phone->sentCount(), 2u);
}

TEST_F(TvpSession, StreamGivenBeforeTheActivationIsStartedWhenTheActivationOpensIt) {
    startEngine();
    bind();
    ASSERT_TRUE(phone->stream().waitForSinks(1));
    settle();
    EXPECT_FALSE(phone->stream().isConnected()) << "bound but not opened before the activation";
    EXPECT_EQ(phone->sentCount(), 0u) << "the closed stream took nothing";

    phone->autoAnswer();
    activate();
    settle();
    ASSERT_EQ(engine->getActiveStateSnapshot(), kActive);
    EXPECT_EQ(phone->sent(), std::vector<Bytes>{setTimeStampReq(0)});
}

TEST_F(TvpSession, DeactivatedChannelComesUpAgainWhenActivatedAgain) {
    startSession();
    ASSERT_TRUE(engine->deactivate());
    settle();
    ASSERT_EQ(engine->getActiveStateSnapshot(), dsrc::CHANNEL_STATE_DEACTIVATED);
    EXPECT_FALSE(phone->stream().isConnected());

    phone->autoAnswer();
    activate();
    settle();
    ASSERT_EQ(engine->getActiveStateSnapshot(), kActive);
    EXPECT_EQ(phone->lastSent(), setTimeStampReq(1));
}

// The start-up's answer does not come, or comes too short for its class and is dropped.
const char* const kStartUpGivenUp =
    "TVP::onActivateTimedOut start-up not answered - it left the queue\n";
const char* const kLateStartUpAnswer =
    "CommandQueue::acknowledge late answer 0 to an abandoned command ignored\n";

struct LostAnswer {
    const char* name;
    Bytes answer;  // what the phone sends back, if anything
};
const LostAnswer kLostAnswers[] = {{"no answer", {}},
                                   {"short answer", cat({header(6, 2), {0x08, 0x00}})}};

class TvpStartUpLost : public TvpTest {
  protected:
    // The engine activated and bound with a short time limit; the start-up request goes out
    // and its answer is lost until the activation has failed by the time limit.
    void failStartUp(const LostAnswer& lost) {
        phone->stream().takeSentBlocks();
        startEngine(200);
        activate();
        bind();
        ASSERT_TRUE(phone->waitSent(1));
        ASSERT_TRUE(phone->stream().waitForSinks(1));
        if (!lost.answer.empty())
            phone->inject(lost.answer);
        passTime(200ms);
        ASSERT_EQ(engine->getActiveStateSnapshot(), kFailed);
    }
    void endEngine() {
        phone->stopAnswering();
        target->detachChannel("Tvp");
        engine->stopWorkThread();
        engine.reset();
    }
};

TEST_F(TvpStartUpLost, ActivationFailsByTheTimeLimitAndTheNextOneStartsAfresh) {
    for (const LostAnswer& lost : kLostAnswers) {
        SCOPED_TRACE(lost.name);
        core::TraceCapture trace;
        ASSERT_NO_FATAL_FAILURE(failStartUp(lost));
        EXPECT_TRUE(trace.has(20, kStartUpGivenUp));

        // Activated again with a phone that answers now: a fresh start-up request goes out,
        // numbered after the lost one, and brings the session up.
        ASSERT_TRUE(engine->deactivate());
        phone->autoAnswer();
        activate();
        settle();
        ASSERT_EQ(engine->getActiveStateSnapshot(), kActive);
        EXPECT_EQ(phone->sent(), (std::vector<Bytes>{setTimeStampReq(0), setTimeStampReq(1)}));
        endEngine();
    }
}

TEST_F(TvpStartUpLost, AppliesGoOutOnceTheActivationHasFailed) {
    for (const LostAnswer& lost : kLostAnswers) {
        SCOPED_TRACE(lost.name);
        core::TraceCapture trace;
        ASSERT_NO_FATAL_FAILURE(failStartUp(lost));
        phone->autoAnswer();
        ASSERT_TRUE(engine->applyPropertyItem(kGsmLayer2));
        ApplyResult result = observer->waitResult(1);
        EXPECT_EQ(result.code, 1) << result.text;
        EXPECT_EQ(phone->lastSent(), probeModeReq(1, 0x0498, 1));

        // The lost answer arriving after all is known for what it is and changes nothing.
        phone->inject(setTimeStampAck(0));
        settle();
        EXPECT_TRUE(trace.has(40, kLateStartUpAnswer));
        EXPECT_FALSE(trace.contains(kNotAcknowledged));
        EXPECT_EQ(engine->getActiveStateSnapshot(), kFailed);
        endEngine();
    }
}

TEST_F(TvpSession, ActivationReplacesAStartUpStillWaitingForItsAnswer) {
    core::TraceCapture trace;
    startEngine();
    activate();
    bind();
    ASSERT_TRUE(phone->waitSent(1));
    ASSERT_TRUE(engine->deactivate());
    activate();
    ASSERT_TRUE(phone->waitSent(2));
    EXPECT_EQ(phone->sent(), (std::vector<Bytes>{setTimeStampReq(0), setTimeStampReq(1)}));
    EXPECT_TRUE(trace.has(40, "TVP::onActivate unanswered start-up replaced by a new one\n"));

    // The first request's answer is recognised as late; the second one's brings the session up.
    ASSERT_TRUE(phone->stream().waitForSinks(1));
    phone->inject(setTimeStampAck(0));
    settle();
    ASSERT_TRUE(trace.has(40, kLateStartUpAnswer));
    EXPECT_EQ(engine->getActiveStateSnapshot(), kActivating);
    phone->inject(setTimeStampAck(1));
    settle();
    ASSERT_EQ(engine->getActiveStateSnapshot(), kActive);
    EXPECT_FALSE(trace.contains(kNotAcknowledged));
}

TEST_F(TvpSession, EndingTheChannelFailsItsPendingAppliesAndSendsNothingMore) {
    startSession();
    // The first apply in flight, the second queued behind it; neither may time out first.
    item(kGsmModeReports)->setApplyTimeout(60000);
    item(kWcdmaLayer2)->setApplyTimeout(60000);
    ASSERT_TRUE(engine->applyPropertyItem(kGsmModeReports));
    ASSERT_TRUE(engine->applyPropertyItem(kWcdmaLayer2));
    ASSERT_TRUE(phone->waitSent(2));
    settle();

    // Ended while still bound to the phone's stream.
    ASSERT_TRUE(engine->stopWorkThread());
    ASSERT_TRUE(service.waitIdle());
    EXPECT_EQ(phone->sentCount(), 2u) << "nothing of the queued apply went out";
    std::vector<ApplyResult> results = observer->results();
    ASSERT_EQ(results.size(), 2u);
    for (const ApplyResult& result : results) {
        EXPECT_EQ(result.code, -1);
        EXPECT_EQ(result.text, "channel ended");
    }
}

}  // namespace
}  // namespace tvptest
