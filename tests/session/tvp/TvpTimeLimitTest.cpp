// The session's time limits on the manual clock: an activation without the start-up answer
// fails when its 6000 ms are up and not before, and an apply the phone never answers ends
// by its setting's time-out.
#include "TvpTestSupport.h"

namespace tvptest {
namespace {

using vela::catalogue::kGsmLayer2;

constexpr int kActivating = dsrc::CHANNEL_STATE_ACTIVATING;
constexpr int kActive = dsrc::CHANNEL_STATE_ACTIVE;
constexpr int kFailed = dsrc::CHANNEL_STATE_FAILED;

using TvpTimeLimit = TvpTest;

TEST_F(TvpTimeLimit, ActivationWithoutAnAnswerFailsWhenItsTimeIsUp) {
    core::TraceCapture trace;
    startEngine();
    activate();
    bind();
    ASSERT_TRUE(phone->waitSent(1));
    passTime(5999ms);
    EXPECT_EQ(engine->getActiveStateSnapshot(), kActivating);
    passTime(1ms);
    EXPECT_EQ(engine->getActiveStateSnapshot(), kFailed);
    EXPECT_EQ(observer->states(), (std::vector<int>{kActivating, kFailed}));

    // The start-up was given up with the activation: its late answer is known for what it is
    // and changes nothing, and the timer is gone.
    phone->inject(setTimeStampAck(0));
    settle();
    EXPECT_TRUE(
        trace.has(40, "CommandQueue::acknowledge late answer 0 to an abandoned command ignored\n"));
    passTime(6000ms);
    EXPECT_EQ(observer->states(), (std::vector<int>{kActivating, kFailed}));
}

TEST_F(TvpTimeLimit, AnsweredInTimeTheActivationIsNotFailedLater) {
    startSession();
    passTime(60s);
    EXPECT_EQ(observer->states(), (std::vector<int>{kActivating, kActive}));
}

TEST_F(TvpTimeLimit, ApplyThePhoneNeverAnswersEndsByItsTimeOut) {
    core::TraceCapture trace;
    startSession();
    ASSERT_TRUE(engine->applyPropertyItem(kGsmLayer2));  // 1000 ms
    passTime(999ms);
    EXPECT_TRUE(observer->results().empty());
    EXPECT_EQ(phone->sentCount(), 2u) << "the request went out and waits for its answer";
    passTime(1ms);
    ASSERT_EQ(observer->results().size(), 1u);
    ApplyResult result = observer->results()[0];
    EXPECT_EQ(result.identity, kGsmLayer2);
    EXPECT_EQ(result.code, -1);
    EXPECT_EQ(result.text, "apply timed out");
    EXPECT_EQ(engine->getActiveStateSnapshot(), kActive) << "the session stays up";
}

}  // namespace
}  // namespace tvptest
