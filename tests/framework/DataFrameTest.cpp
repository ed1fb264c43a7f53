#include <gtest/gtest.h>

#include <vector>

#include "framework/core/Bytes.h"
#include "framework/core/Data.h"
#include "framework/core/Frame.h"
#include "framework/dsrc/DataSourceFrame.h"

namespace {

std::vector<unsigned char> bytes(const core::Data& d) {
    return {d.getInternalData(), d.getInternalData() + d.size()};
}

TEST(Data, AppendTrimFind) {
    core::Data d(4);
    EXPECT_EQ(d.size(), 0u);
    d.addData("\x01\x02\x03", 3);
    d.addData("\x0A\x05", 2);
    EXPECT_EQ(d.find(0x0A), 3);
    EXPECT_EQ(d.find(0x0A, 4), -1);
    d.trimLeft(2);
    EXPECT_EQ(bytes(d), (std::vector<unsigned char>{0x03, 0x0A, 0x05}));
    // Growing after a trim keeps the live bytes in order.
    std::vector<unsigned char> more(100, 0x77);
    d.addData(more.data(), more.size());
    ASSERT_EQ(d.size(), 103u);
    EXPECT_EQ(d.getInternalData()[0], 0x03);
    EXPECT_EQ(d.getInternalData()[102], 0x77);
    d.trimLeft(1000);
    EXPECT_TRUE(d.empty());
    core::Data copy(core::Data("\xAA\xBB", 2));
    EXPECT_EQ(bytes(copy), (std::vector<unsigned char>{0xAA, 0xBB}));
}

// Appending reuses the vector's bytes past the live ones: what was there must not show.
TEST(Data, AppendAfterShrinkShowsNoOldBytes) {
    core::Data d("\x01\x02\x03\x04\x05\x06", 6);
    d.resize(2);
    d.addData(nullptr, 3);  // zeros over old bytes, none appended
    EXPECT_EQ(bytes(d), (std::vector<unsigned char>{0x01, 0x02, 0x00, 0x00, 0x00}));
    d.resize(4);
    d.addData("\xA1\xA2\xA3", 3);  // one old byte overwritten, two appended
    EXPECT_EQ(bytes(d), (std::vector<unsigned char>{0x01, 0x02, 0x00, 0x00, 0xA1, 0xA2, 0xA3}));
    d.clear();
    d.resize(3);
    EXPECT_EQ(bytes(d), (std::vector<unsigned char>{0x00, 0x00, 0x00}));
    d.trimLeft(1);
    d.addData("\xB1", 1);
    EXPECT_EQ(bytes(d), (std::vector<unsigned char>{0x00, 0x00, 0xB1}));
    core::Data none(nullptr, 3);  // no bytes given: zeros
    EXPECT_EQ(bytes(none), (std::vector<unsigned char>{0x00, 0x00, 0x00}));
}

TEST(Bytes, LittleEndian) {
    unsigned char b[8] = {};
    core::writeU2(b, 0x0102);
    EXPECT_EQ(b[0], 0x02);
    EXPECT_EQ(b[1], 0x01);
    core::writeU4(b, 0x12345678);
    EXPECT_EQ((std::vector<unsigned char>(b, b + 4)),
              (std::vector<unsigned char>{0x78, 0x56, 0x34, 0x12}));
    EXPECT_EQ(core::readU4(b), 0x12345678u);
    core::writeF4(b + 4, 1.0f);
    EXPECT_EQ(core::readU4(b + 4), 0x3F800000u);
}

// A frame class of the kind that protocol code builds: fields laid in wire order.
struct TwoFields : core::Frame {
    explicit TwoFields(std::size_t n) : core::Frame(n) {
        m_a = positionU2();
        m_b = positionU4();
        m_rest = positionBuf(0);
    }
    unsigned char* m_a;
    unsigned char* m_b;
    unsigned char* m_rest;
};

TEST(Frame, CursorLaysFieldsInOrder) {
    TwoFields f(8);
    EXPECT_EQ(f.m_a, f.getFrameBuf());
    EXPECT_EQ(f.m_b, f.getFrameBuf() + 2);
    EXPECT_EQ(f.m_rest, f.getFrameBuf() + 6);
    core::writeU2(f.m_a, 0xBEEF);
    TwoFields copy(f);
    EXPECT_EQ(copy.getFrame().get(), f.getFrame().get()) << "a copy shares the bytes";
    EXPECT_EQ(f.size(), 8u);
}

TEST(DataSourceFrame, HeaderAndDataArea) {
    dsrc::DataSourceFrame f(5);
    EXPECT_EQ(dsrc::DataSourceFrame::getHeaderSize(), 16u);
    EXPECT_EQ(f.size(), 21u);
    EXPECT_EQ(f.getDataSourceFrameDataSize(), 5u);
    f.setRecNo(7);
    f.setTime(0x0102030405060708ull);
    f.getDataSourceFrameData()[0] = 0x99;
    const unsigned char* b = f.getFrameBuf();
    EXPECT_EQ(b[0], 7);
    EXPECT_EQ(b[4], 0x08);
    EXPECT_EQ(b[11], 0x01);
    EXPECT_EQ(b[12], 5) << "the data size is in the header";
    EXPECT_EQ(b[16], 0x99);

    dsrc::DataSourceFrame parsed(b, f.size());
    EXPECT_EQ(parsed.getRecNo(), 7u);
    EXPECT_EQ(parsed.getTime(), 0x0102030405060708ull);
    EXPECT_EQ(parsed.getDataSourceFrameDataSize(), 5u);

    // A block too short for the header never lets the accessors read past it.
    dsrc::DataSourceFrame tiny("\x01\x02", 2);
    EXPECT_EQ(tiny.getDataSourceFrameDataSize(), 0u);
    EXPECT_EQ(tiny.getRecNo(), 0x0201u);
}

}  // namespace

namespace {

std::vector<unsigned char> frameBytes(const dsrc::DataSourceFrame& f) {
    return {f.getFrameBuf(), f.getFrameBuf() + f.size()};
}

}  // namespace

TEST(DataSourceFrame, BuiltFromDataBytes) {
    const unsigned char data[] = {0xD1, 0xD2, 0xD3};
    // The data area is longer than the bytes: zero tail; data size 5 in the header.
    dsrc::DataSourceFrame padded(5, data, sizeof data);
    EXPECT_EQ(frameBytes(padded), (std::vector<unsigned char>{0,    0,    0,    0, 0, 0, 0, 0,
                                                              0,    0,    0,    0, 5, 0, 0, 0,  //
                                                              0xD1, 0xD2, 0xD3, 0, 0}));
    EXPECT_EQ(padded.getDataSourceFrameData(), padded.getFrameBuf() + 16);
    // More bytes than the data area: only the area's worth is taken.
    dsrc::DataSourceFrame cut(2, data, sizeof data);
    EXPECT_EQ(frameBytes(cut), (std::vector<unsigned char>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0,
                                                           0, 0, 0xD1, 0xD2}));
    dsrc::DataSourceFrame zeros(2, nullptr, 7);
    EXPECT_EQ(frameBytes(zeros), frameBytes(dsrc::DataSourceFrame(2)));
}

namespace {

// A slice sees part of another Data's bytes without copying them; the bytes live as long as
// any Data that sees them, and changing a length never changes another Data.
TEST(Data, SliceSharesBytesAndOutlivesItsSource) {
    core::RCPtr<core::Data> block(new core::Data("\x10\x11\x12\x13\x14\x15", 6));
    core::RCPtr<core::Data> part = block->slice(2, 3);
    EXPECT_EQ(part->getInternalData(), block->getInternalData() + 2) << "no copy";
    EXPECT_EQ(bytes(*part), (std::vector<unsigned char>{0x12, 0x13, 0x14}));
    EXPECT_TRUE(block->isShared());
    EXPECT_EQ(block->slice(5, 10)->size(), 1u) << "a slice ends with its source";
    EXPECT_EQ(block->slice(9, 1)->size(), 0u);

    // Bytes written through one are seen by the other.
    part->getInternalData()[0] = 0xA2;
    EXPECT_EQ(block->getInternalData()[2], 0xA2);

    // Growing either one first gives it bytes of its own.
    block->addData("\x16", 1);
    EXPECT_EQ(bytes(*part), (std::vector<unsigned char>{0xA2, 0x13, 0x14}));
    part->addData("\x99", 1);
    EXPECT_EQ(bytes(*part), (std::vector<unsigned char>{0xA2, 0x13, 0x14, 0x99}));
    EXPECT_EQ(bytes(*block),
              (std::vector<unsigned char>{0x10, 0x11, 0xA2, 0x13, 0x14, 0x15, 0x16}));

    // The source goes; the slice's bytes stay (ASan sees any read of freed bytes).
    core::RCPtr<core::Data> second = block->slice(1, 2);
    block.reset();
    EXPECT_FALSE(second->isShared());
    EXPECT_EQ(bytes(*second), (std::vector<unsigned char>{0x11, 0xA2}));
    second->resize(4);
    EXPECT_EQ(bytes(*second), (std::vector<unsigned char>{0x11, 0xA2, 0x00, 0x00}));

    // A cleared source leaves the shared bytes to the slice.
    core::RCPtr<core::Data> again(new core::Data("\x01\x02", 2));
    core::RCPtr<core::Data> kept = again->slice(0, 2);
    again->clear();
    again->addData("\x07", 1);
    EXPECT_EQ(bytes(*kept), (std::vector<unsigned char>{0x01, 0x02}));
    EXPECT_EQ(bytes(*again), (std::vector<unsigned char>{0x07}));
}

// A data-source frame over a data area alone, with one field: the first byte of that area.
class Field : public dsrc::DataSourceFrame {
  public:
    explicit Field(const core::RCPtr<core::Data>& area) : DataSourceFrame(area, DataAreaOnly{}) {
        lay();
    }
    Field(const core::Data& block, std::size_t at, std::size_t n)
        : DataSourceFrame(SharedBytes{block, at, n}, false) {
        lay();
    }
    Field(const Field& other) : DataSourceFrame(other) { lay(); }
    void repositionMembers() override { lay(); }
    unsigned char* m_first = nullptr;

  private:
    void lay() {
        setPosition(getDataAreaOffset());
        m_first = positionU1();
    }
};

// A data-source frame over a data area alone keeps its header in the object; the byte view
// joins the two into one buffer, and the frame's fields follow its bytes there.
TEST(DataSourceFrame, OverASharedDataAreaJoinsForTheWholeView) {
    core::RCPtr<core::Data> block(new core::Data("\xEE\xD1\xD2\xD3", 4));
    core::RCPtr<Field> f(new Field(block->slice(1, 3)));
    EXPECT_EQ(f->getDataSourceFrameData(), block->getInternalData() + 1) << "shared, not copied";
    EXPECT_EQ(f->m_first, block->getInternalData() + 1);
    EXPECT_EQ(f->size(), 19u);
    EXPECT_EQ(f->getDataSourceFrameDataSize(), 3u);
    f->setRecNo(9);
    f->setTime(0x0807060504030201ull);
    EXPECT_EQ(f->getRecNo(), 9u);
    EXPECT_EQ(block->getInternalData()[0], 0xEE) << "the header is not written into the block";
    block.reset();

    EXPECT_EQ(frameBytes(*f), (std::vector<unsigned char>{9, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 3, 0,
                                                          0, 0, 0xD1, 0xD2, 0xD3}));
    EXPECT_EQ(f->getFrame()->size(), 19u);
    EXPECT_EQ(f->m_first, f->getFrameBuf() + 16) << "fields laid again over the joined buffer";
    EXPECT_EQ(f->getDataSourceFrameData(), f->getFrameBuf() + 16);
    f->setRecNo(10);
    EXPECT_EQ(f->getFrameBuf()[0], 10);
}

// A frame made over part of a block sees it through a Data of its own (no slice object): the
// same bytes, which stay valid after the block and after the frame it was copied from are gone.
TEST(DataSourceFrame, OverPartOfABlockSharesItsBytesAndOutlivesIt) {
    core::RCPtr<core::Data> block(new core::Data("\xEE\xD1\xD2\xD3\xD4", 5));
    core::RCPtr<Field> f(new Field(*block, 1, 3));
    EXPECT_EQ(f->getDataSourceFrameData(), block->getInternalData() + 1) << "shared, not copied";
    EXPECT_TRUE(block->isShared());
    EXPECT_EQ(f->size(), 19u);
    f->setRecNo(0x0A0B0C0D);
    f->setTime(0x0807060504030201ull);
    core::RCPtr<Field> copy(new Field(*f));
    EXPECT_EQ(copy->getDataSourceFrameData(), block->getInternalData() + 1);
    block.reset();
    f.reset();  // the copy's view of the bytes is its own

    const std::vector<unsigned char> whole{0x0D, 0x0C, 0x0B, 0x0A, 1, 2, 3,    4,    5,   6,
                                           7,    8,    3,    0,    0, 0, 0xD1, 0xD2, 0xD3};
    EXPECT_EQ(*copy->m_first, 0xD1);
    EXPECT_EQ(frameBytes(*copy), whole);
    EXPECT_EQ(copy->m_first, copy->getFrameBuf() + 16) << "fields laid again over the join";

    // A copy of a joined frame, left alone with the bytes the join was made from.
    core::RCPtr<Field> second(new Field(*copy));
    copy.reset();
    EXPECT_EQ(frameBytes(*second), whole);

    // Past the end of the block: the frame ends with it.
    core::RCPtr<core::Data> small(new core::Data("\x01\x02", 2));
    EXPECT_EQ(core::RCPtr<Field>(new Field(*small, 1, 9))->getDataSourceFrameDataSize(), 1u);
    EXPECT_EQ(core::RCPtr<Field>(new Field(*small, 5, 1))->size(), 16u);
}

// With the header in the bytes, the byte view is the frame's buffer itself, which the host
// may keep after the frame: that one is a counted object of its own.
TEST(DataSourceFrame, OverPartOfABlockWithItsHeaderHandsOutAViewThatOutlivesTheFrame) {
    std::vector<unsigned char> block{0x55, 7, 0, 0, 0, 0, 0, 0,    0,   0,
                                     0,    0, 0, 2, 0, 0, 0, 0xA1, 0xA2};
    core::RCPtr<core::Data> data(new core::Data(block.data(), block.size()));
    core::RCPtr<dsrc::DataSourceFrame> f(
        new dsrc::DataSourceFrame(dsrc::DataSourceFrame::SharedBytes{*data, 1, 18}, true));
    EXPECT_EQ(f->getRecNo(), 7u);
    EXPECT_EQ(f->getFrameBuf(), data->getInternalData() + 1);
    core::RCPtr<core::Data> view = f->getFrame();
    f.reset();
    data.reset();
    EXPECT_EQ(bytes(*view), std::vector<unsigned char>(block.begin() + 1, block.end()));
}

}  // namespace
