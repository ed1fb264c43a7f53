// The byte view of a frame that keeps its header in the object is joined once, also when
// several threads ask for it first at the same time.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "framework/core/Data.h"
#include "framework/dsrc/DataSourceFrame.h"
#include "tests/support/StartGate.h"

namespace {

class OneField : public dsrc::DataSourceFrame {
  public:
    explicit OneField(const core::RCPtr<core::Data>& area) : DataSourceFrame(area, DataAreaOnly{}) {
        lay();
    }
    // Over part of a block, seen through the frame's own view of it.
    explicit OneField(const SharedBytes& part) : DataSourceFrame(part, false) { lay(); }
    void repositionMembers() override { lay(); }
    const unsigned char* first() const { return m_first; }

  private:
    void lay() {
        setPosition(getDataAreaOffset());
        m_first = positionU1();
    }
    unsigned char* m_first = nullptr;
};

struct View {
    const core::Data* whole = nullptr;
    const unsigned char* buf = nullptr;
    unsigned int size = 0;
};

TEST(DataSourceFrameThreads, FirstByteViewAskedByTwoThreadsAtOnceIsJoinedOnce) {
    const unsigned char bytes[] = {0xEE, 0xD1, 0xD2, 0xD3, 0xD4};
    core::RCPtr<core::Data> block(new core::Data(bytes, sizeof bytes));
    for (int round = 0; round < 300; ++round) {
        // Both ways of sharing the block's bytes, in turn.
        core::RCPtr<OneField> frame(round % 2 ? new OneField(block->slice(1, 4))
                                              : new OneField(OneField::SharedBytes{*block, 1, 4}));
        frame->setRecNo(static_cast<std::uint32_t>(round));
        testsupport::StartGate gate(2);
        View views[2];
        auto ask = [&](View& view) {
            gate.arriveAndWait();
            const dsrc::DataSourceFrame& f = *frame;
            // Either order: the size first or the buffer first.
            view.size = f.size();
            view.buf = f.getFrameBuf();
            view.whole = f.getFrame().get();
        };
        std::thread a(ask, std::ref(views[0]));
        std::thread b(ask, std::ref(views[1]));
        a.join();
        b.join();
        ASSERT_EQ(views[0].whole, views[1].whole) << "one joined buffer, round " << round;
        ASSERT_EQ(views[0].buf, views[1].buf);
        ASSERT_EQ(views[0].size, 20u);
        ASSERT_EQ(views[1].size, 20u);
        ASSERT_EQ(frame->getFrame()->size(), 20u);
        const unsigned char* whole = views[0].buf;
        EXPECT_EQ(whole[0], static_cast<unsigned char>(round));
        EXPECT_EQ(whole[12], 4);
        EXPECT_EQ(std::vector<unsigned char>(whole + 16, whole + 20),
                  (std::vector<unsigned char>{0xD1, 0xD2, 0xD3, 0xD4}));
        ASSERT_EQ(frame->first(), whole + 16) << "the field follows the joined bytes";
    }
    EXPECT_EQ(block->getInternalData()[0], 0xEE) << "the block itself is not written";
}

}  // namespace
