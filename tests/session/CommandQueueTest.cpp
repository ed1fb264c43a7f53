// The command queue against an owner that sends as the engine does (stamping an 8-bit frame
// sequence number that moves on only after a successful send) and records what it sent. Each
// case keeps a log of sends and callbacks that reads like a session trace.
#include <gtest/gtest.h>

#include <string>

#include "protocol/TvpCommandAck.h"
#include "protocol/TvpCommandReq.h"
#include "protocol/TvpProbeInject.h"
#include "session/Command.h"
#include "session/CommandQueue.h"
#include "session/CommandSender.h"

namespace vela {
namespace {

class CommandQueueTest : public ::testing::Test, public CommandSender {
  protected:
    bool sendCommand(const core::RCPtr<TvpIoProtocol>& request) override {
        auto req = request.dynamicCast<TvpCommandReq>();
        if (!req || req->getDataId() != TvpIoProtocol::COMMAND_REQ) {
            log += "send refused\n";
            return false;
        }
        req->setSeqNo(counter);
        if (failSends) {
            log += "send failed seq=" + std::to_string(counter) + "\n";
            return false;
        }
        log += "send seq=" + std::to_string(counter) + " " + describe(*req) + "\n";
        ++counter;
        return true;
    }

    static std::string describe(TvpCommandReq& req) {
        if (auto* p = dynamic_cast<TvpCommandSetProbeModeReq*>(&req))
            return "probe=" + std::to_string(p->getProbeId());
        return "id=" + std::to_string(req.getCommandReqId());
    }

    bool onAck(Command& command, TvpCommandAck& ack) {
        log += "ack seq=" + std::to_string(ack.getSeqNo()) + " for " +
               std::to_string(command.getReqId()) + "/" + std::to_string(command.getSeqId()) +
               (command.isLastOfGroup() ? " last" : "") + "\n";
        if (whileAcking)
            whileAcking();
        return acceptAcks;
    }

    CommandCallBack callBack() { return CommandCallBack(this, &CommandQueueTest::onAck); }

    core::RCPtr<Command> command(std::uint32_t reqId, std::uint32_t seqId,
                                 std::uint16_t probe = 1) {
        return core::RCPtr<Command>(
            new Command(reqId, seqId, new TvpCommandSetProbeModeReq(probe), callBack()));
    }

    static core::RCPtr<TvpCommandAck> ack(unsigned char seqNo) {
        core::RCPtr<TvpCommandAck> a(new TvpCommandSetProbeModeAck(1, TvpIoProtocol::OK));
        a->setSeqNo(seqNo);
        return a;
    }

    std::string takeLog() {
        std::string l;
        l.swap(log);
        return l;
    }

    CommandQueue queue{this};
    unsigned char counter = 0;
    bool failSends = false;
    bool acceptAcks = true;
    std::function<void()> whileAcking;
    std::string log;
};

TEST_F(CommandQueueTest, SendsOneAtATimeInOrder) {
    EXPECT_TRUE(queue.add(command(10, 0, 100)));
    EXPECT_EQ(takeLog(), "send seq=0 probe=100\n");
    EXPECT_TRUE(queue.front()->isTransmitted());
    EXPECT_TRUE(queue.add(command(10, 1, 101)));
    EXPECT_TRUE(queue.add(command(20, 0, 200)));
    EXPECT_EQ(takeLog(), "");
    EXPECT_EQ(queue.size(), 3u);
    EXPECT_FALSE(queue.transmit());  // the front one is in flight

    EXPECT_TRUE(queue.acknowledge(*ack(0)));
    EXPECT_TRUE(queue.acknowledge(*ack(1)));
    EXPECT_TRUE(queue.acknowledge(*ack(2)));
    EXPECT_EQ(takeLog(),
              "ack seq=0 for 10/0\n"
              "send seq=1 probe=101\n"
              "ack seq=1 for 10/1 last\n"
              "send seq=2 probe=200\n"
              "ack seq=2 for 20/0 last\n");
    EXPECT_TRUE(queue.empty());
    EXPECT_FALSE(queue.transmit());
    EXPECT_FALSE(queue.front());
}

TEST_F(CommandQueueTest, DuplicatesAreDroppedUnlessSeqIdIsZero) {
    queue.add(command(5, 1));
    queue.add(command(5, 2));
    auto second = queue.find(5, 2);
    ASSERT_TRUE(second);
    EXPECT_TRUE(second->isLastOfGroup());
    EXPECT_TRUE(queue.add(command(5, 2)));  // dropped: nothing changes
    EXPECT_EQ(queue.size(), 2u);
    EXPECT_TRUE(second->isLastOfGroup());
    EXPECT_EQ(queue.find(5, 2).get(), second.get());

    queue.add(command(6, 0));
    queue.add(command(6, 0));
    EXPECT_EQ(queue.size(), 4u);
    EXPECT_FALSE(queue.find(7, 0));
}

TEST_F(CommandQueueTest, OnlyTheNewestOfAGroupIsLast) {
    for (std::uint32_t i = 0; i < 3; ++i)
        queue.add(command(424692, i));
    queue.add(command(1, 3));
    EXPECT_FALSE(queue.find(424692, 0)->isLastOfGroup());
    EXPECT_FALSE(queue.find(424692, 1)->isLastOfGroup());
    EXPECT_TRUE(queue.find(424692, 2)->isLastOfGroup());
    EXPECT_TRUE(queue.find(1, 3)->isLastOfGroup());
    queue.add(command(424692, 3));
    EXPECT_FALSE(queue.find(424692, 2)->isLastOfGroup());
    EXPECT_TRUE(queue.find(424692, 3)->isLastOfGroup());
    queue.invalidate(*queue.find(1, 3));
    EXPECT_FALSE(queue.find(1, 3)->isLastOfGroup());
}

TEST_F(CommandQueueTest, RefusedAcknowledgementsClearTheQueue) {
    EXPECT_FALSE(queue.acknowledge(*ack(0)));  // nothing pending

    queue.add(command(1, 0));
    queue.add(command(1, 1));
    takeLog();
    EXPECT_FALSE(queue.acknowledge(*ack(9)));  // wrong sequence number
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(takeLog(), "");  // no callback called

    queue.add(command(2, 0));
    queue.add(command(2, 1));
    acceptAcks = false;
    EXPECT_FALSE(queue.acknowledge(*ack(1)));  // the callback refuses
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(takeLog(), "send seq=1 probe=1\nack seq=1 for 2/0\n");

    // A command without a valid callback cannot accept anything.
    acceptAcks = true;
    queue.add(core::RCPtr<Command>(
        new Command(3, 0, new TvpCommandSetProbeModeReq(1), CommandCallBack())));
    EXPECT_FALSE(queue.acknowledge(*ack(2)));
    EXPECT_TRUE(queue.empty());
}

TEST_F(CommandQueueTest, FailedSendStaysAtTheFront) {
    failSends = true;
    queue.add(command(1, 3));
    EXPECT_FALSE(queue.front()->isTransmitted());
    queue.add(command(2, 0));  // only appended: nothing retries by itself
    EXPECT_EQ(takeLog(), "send failed seq=0\n");
    failSends = false;
    EXPECT_TRUE(queue.transmit());
    EXPECT_TRUE(queue.front()->isTransmitted());
    EXPECT_EQ(takeLog(), "send seq=0 probe=1\n");
    EXPECT_TRUE(queue.acknowledge(*ack(0)));
    EXPECT_EQ(takeLog(), "ack seq=0 for 1/3 last\nsend seq=1 probe=1\n");
}

TEST_F(CommandQueueTest, CommandWithoutARequestIsNeverSent) {
    core::RCPtr<Command> probeCommand(new Command(1, 0, new TvpProbe(), callBack()));
    EXPECT_FALSE(probeCommand->getRequest());
    queue.add(probeCommand);
    EXPECT_FALSE(queue.front()->isTransmitted());
    EXPECT_FALSE(queue.transmit());
    EXPECT_EQ(takeLog(), "send refused\nsend refused\n");
    // Nothing can match it.
    EXPECT_FALSE(queue.acknowledge(*ack(0)));
    EXPECT_TRUE(queue.empty());
}

TEST_F(CommandQueueTest, SequenceNumbersWrapAndMatchOnEightBits) {
    counter = 255;
    queue.add(command(1, 0));
    queue.add(command(1, 1));
    EXPECT_TRUE(queue.acknowledge(*ack(255)));
    EXPECT_EQ(queue.front()->getRequest()->getSeqNo(), 0);
    EXPECT_FALSE(queue.acknowledge(*ack(1)));
    EXPECT_EQ(takeLog(), "send seq=255 probe=1\nack seq=255 for 1/0\nsend seq=0 probe=1\n");
}

TEST_F(CommandQueueTest, CallbackMayChangeTheQueue) {
    // Clearing the queue from inside the callback.
    queue.add(command(1, 0));
    queue.add(command(1, 1));
    whileAcking = [this] { queue.clear(); };
    EXPECT_TRUE(queue.acknowledge(*ack(0)));
    EXPECT_TRUE(queue.empty());

    // Adding from inside the callback: the new command queues behind and goes next.
    whileAcking = nullptr;
    queue.add(command(2, 0, 20));
    whileAcking = [this] {
        whileAcking = nullptr;
        queue.add(command(3, 0, 30));
    };
    takeLog();
    EXPECT_TRUE(queue.acknowledge(*ack(1)));
    EXPECT_EQ(takeLog(), "ack seq=1 for 2/0 last\nsend seq=2 probe=30\n");
    EXPECT_EQ(queue.size(), 1u);
    EXPECT_EQ(queue.front()->getReqId(), 3u);
}

TEST_F(CommandQueueTest, AbandonedGroupLeavesAndItsLateAnswerIsIgnored) {
    queue.add(command(10, 0, 100));
    queue.add(command(10, 1, 101));
    queue.add(command(20, 0, 200));
    EXPECT_EQ(takeLog(), "send seq=0 probe=100\n");

    // Group 10 gave up waiting: both of its commands go, and group 20 is sent.
    EXPECT_EQ(queue.abandon(10), 2u);
    EXPECT_EQ(takeLog(), "send seq=1 probe=200\n");
    EXPECT_EQ(queue.size(), 1u);

    // The answer to seq 0 comes late: ignored, the queue keeps waiting for seq 1.
    EXPECT_TRUE(queue.acknowledge(*ack(0)));
    EXPECT_EQ(takeLog(), "");
    EXPECT_EQ(queue.size(), 1u);
    EXPECT_TRUE(queue.acknowledge(*ack(1)));
    EXPECT_EQ(takeLog(), "ack seq=1 for 20/0 last\n");
    EXPECT_TRUE(queue.empty());

    // Ignored once only: the same number again is a wrong answer and drops the queue.
    queue.add(command(30, 0, 300));
    EXPECT_EQ(takeLog(), "send seq=2 probe=300\n");
    EXPECT_FALSE(queue.acknowledge(*ack(0)));
    EXPECT_TRUE(queue.empty());

    // A group that is not queued, or one not yet sent, leaves nothing to ignore.
    EXPECT_EQ(queue.abandon(99), 0u);
    queue.add(command(40, 0, 400));
    queue.add(command(50, 0, 500));
    takeLog();
    EXPECT_EQ(queue.abandon(50), 1u);
    EXPECT_EQ(takeLog(), "");
    EXPECT_EQ(queue.size(), 1u);
}

TEST_F(CommandQueueTest, AbandonedCommandIsKnownByItsNumberAndItsCommandId) {
    // A start-up request given up in flight, then a probe command in flight under the next
    // number.
    auto abandonStartUpThenSendProbe = [this] {
        queue.add(core::RCPtr<Command>(new Command(
            1, 3, new TvpCommandSetTimeStampReq(TvpCommandSetTimeStampReq::TIME_STAMP_SESSION),
            callBack())));
        EXPECT_EQ(queue.abandon(1), 1u);
        queue.add(command(10, 0, 100));
    };
    abandonStartUpThenSendProbe();
    EXPECT_EQ(takeLog(), "send seq=0 id=7\nsend seq=1 probe=100\n");

    // A stray probe answer that happens to carry the abandoned number is not its answer: it
    // is a wrong answer and drops the queue.
    EXPECT_FALSE(queue.acknowledge(*ack(0)));
    EXPECT_TRUE(queue.empty());

    // The time stamp's own answer (acknowledgement id 8 to request id 7) is recognised.
    abandonStartUpThenSendProbe();
    EXPECT_EQ(takeLog(), "send seq=2 id=7\nsend seq=3 probe=100\n");
    const unsigned char late[] = {0x08, 0x00, 0x02, 0x4C, 0x08, 0x02, 0x00, 0x00};
    TvpCommandSetTimeStampAck lateAck(late, sizeof late, TvpIoProtocol::FROM_UE);
    EXPECT_TRUE(queue.acknowledge(lateAck));
    EXPECT_EQ(takeLog(), "");
    EXPECT_TRUE(queue.acknowledge(*ack(3)));
    EXPECT_EQ(takeLog(), "ack seq=3 for 10/0 last\n");
    EXPECT_TRUE(queue.empty());
}

}  // namespace
}  // namespace vela
