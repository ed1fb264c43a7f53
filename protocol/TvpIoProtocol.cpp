#include "protocol/TvpIoProtocol.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "framework/core/Bytes.h"

namespace vela {

namespace {

// Header bit fields, counted from the least significant bit of the little-endian word.
constexpr unsigned int kSizeShift = 0, kSizeWidth = 17;
constexpr unsigned int kSourceProcessorShift = TvpLayout::kSourceProcessorShift;
constexpr unsigned int kDestProcessorShift = TvpLayout::kDestProcessorShift;
constexpr unsigned int kSourceNodeShift = TvpLayout::kSourceNodeShift;
constexpr unsigned int kDestNodeShift = TvpLayout::kDestNodeShift;
constexpr unsigned int kDataIdShift = TvpLayout::kDataIdShift;
static_assert(((1u << kSizeWidth) - 1u) == TvpLayout::kSizeMask);
constexpr unsigned int kThreeBits = 3;

constexpr unsigned int kDsHeader = dsrc::DataSourceFrame::kHeaderSize;

// Data area to allocate for a parsed block: at least the class's fixed part.
unsigned int parsedDataArea(unsigned int length, TvpIoProtocol::Direction direction,
                            unsigned int fixed) {
    unsigned int tvp = length;
    if (direction == TvpIoProtocol::FROM_DATA_SOURCE)
        tvp = length > kDsHeader ? length - kDsHeader : 0;
    return std::max(tvp, fixed);
}

}  // namespace

TvpIoProtocol::TvpIoProtocol(TvpIoProtocolDataId dataId, unsigned int dataLength)
    : dsrc::DataSourceFrame(dataLength + kHeaderBytes) {
    layMembers();
    m_direction = FROM_DATA_SOURCE;
    setTvpIoProtocolSize(dataLength);
    setSourceProcessor(kOwnSourceProcessor);
    setDestProcessor(kOwnDestProcessor);
    setSourceNode(kOwnSourceNode);
    setDestNode(kOwnDestNode);
    setDataId(dataId);
}

TvpIoProtocol::TvpIoProtocol(const core::RCPtr<core::Data>& whole)
    : TvpIoProtocol(whole, FixedPart{kHeaderBytes}) {}

TvpIoProtocol::TvpIoProtocol(core::RCPtr<core::Data> bytes, Direction direction)
    : TvpIoProtocol(std::move(bytes), direction, FixedPart{kHeaderBytes}) {}

TvpIoProtocol::TvpIoProtocol(const unsigned char* bytes, unsigned int length, Direction direction)
    : TvpIoProtocol(bytes, length, direction, FixedPart{kHeaderBytes}) {}

TvpIoProtocol::TvpIoProtocol(const core::RCPtr<core::Data>& whole, FixedPart fixed)
    : dsrc::DataSourceFrame(whole) {
    ensureTvpBytes(std::max(fixed.bytes, kHeaderBytes));
    layMembers();
    m_direction = FROM_DATA_SOURCE;
}

TvpIoProtocol::TvpIoProtocol(core::RCPtr<core::Data> bytes, Direction direction, FixedPart fixed)
    // Received bytes are shared, not copied: the data object becomes the frame's.
    : dsrc::DataSourceFrame(std::move(bytes), direction == FROM_DATA_SOURCE) {
    ensureTvpBytes(std::max(fixed.bytes, kHeaderBytes));
    layMembers();
    m_direction = direction;
}

TvpIoProtocol::TvpIoProtocol(const SharedBytes& bytes, Direction direction, FixedPart fixed)
    : dsrc::DataSourceFrame(bytes, direction == FROM_DATA_SOURCE) {
    ensureTvpBytes(std::max(fixed.bytes, kHeaderBytes));
    layMembers();
    m_direction = direction;
}

TvpIoProtocol::TvpIoProtocol(const unsigned char* bytes, unsigned int length, Direction direction,
                             FixedPart fixed)
    : dsrc::DataSourceFrame(parsedDataArea(length, direction, std::max(fixed.bytes, kHeaderBytes)),
                            // Raw TVP bytes are copied once, straight behind the new header.
                            direction == FROM_DATA_SOURCE ? nullptr : bytes, length) {
    if (direction == FROM_DATA_SOURCE && bytes && length) {
        // FROM_DATA_SOURCE blocks carry their own data-source frame header.
        std::memcpy(buffer(), bytes, length);
    }
    layMembers();
    m_direction = direction;
}

TvpIoProtocol::~TvpIoProtocol() = default;

void TvpIoProtocol::ensureTvpBytes(unsigned int fixed) {
    if (getDataSourceFrameDataSize() >= fixed)
        return;
    core::RCPtr<core::Data> padded(new core::Data(*m_frame));
    padded->resize(getDataAreaOffset() + fixed);
    replaceBuffer(padded);
}

void TvpIoProtocol::repositionMembers() {
    layMembers();
    fieldChanged();
}

void TvpIoProtocol::layMembers() {
    setPosition(getDataAreaOffset());
    m_pTvpIoProtocol = positionBuf(0);
    m_pTvpIoProtocolHeader = positionU4();
    m_pTvpIoProtocolData = positionBuf(0);
}

std::uint32_t TvpIoProtocol::headerWord() const {
    return TvpLayout::headerWord(m_pTvpIoProtocolHeader);
}

void TvpIoProtocol::setHeaderBits(unsigned int shift, unsigned int width, std::uint32_t value) {
    const std::uint32_t mask = ((1u << width) - 1u) << shift;
    const std::uint32_t word = (headerWord() & ~mask) | ((value << shift) & mask);
    core::writeU4(m_pTvpIoProtocolHeader, word);
    fieldChanged();
}

unsigned long TvpIoProtocol::getTvpIoProtocolSize() const {
    return TvpLayout::frameSize(m_pTvpIoProtocolHeader);
}

void TvpIoProtocol::setTvpIoProtocolSize(unsigned long dataLength) {
    setHeaderBits(kSizeShift, kSizeWidth, static_cast<std::uint32_t>(dataLength + kHeaderBytes));
}

unsigned int TvpIoProtocol::boundedTvpSize() const {
    const std::size_t held = getDataSourceFrameDataSize();
    return static_cast<unsigned int>(std::min<std::size_t>(getTvpIoProtocolSize(), held));
}

unsigned int TvpIoProtocol::variablePartSize(unsigned int fixed) const {
    const unsigned int bounded = boundedTvpSize();
    return bounded > fixed ? bounded - fixed : 0;
}

unsigned int TvpIoProtocol::getTvpIoProtocolDataSize() const {
    return variablePartSize(kHeaderBytes);
}

TvpIoProtocol::TvpIoProtocolDataId TvpIoProtocol::getDataId() const {
    return static_cast<TvpIoProtocolDataId>(TvpLayout::dataId(m_pTvpIoProtocolHeader));
}

void TvpIoProtocol::setDataId(TvpIoProtocolDataId dataId) {
    setHeaderBits(kDataIdShift, kThreeBits, dataId);
}

TvpIoProtocol::TvpProcessorType TvpIoProtocol::getSourceProcessor() const {
    return static_cast<TvpProcessorType>((headerWord() >> kSourceProcessorShift) & 7u);
}

void TvpIoProtocol::setSourceProcessor(TvpProcessorType processor) {
    setHeaderBits(kSourceProcessorShift, kThreeBits, processor);
}

TvpIoProtocol::TvpProcessorType TvpIoProtocol::getDestProcessor() const {
    return static_cast<TvpProcessorType>((headerWord() >> kDestProcessorShift) & 7u);
}

void TvpIoProtocol::setDestProcessor(TvpProcessorType processor) {
    setHeaderBits(kDestProcessorShift, kThreeBits, processor);
}

TvpIoProtocol::TvpNodeId TvpIoProtocol::getSourceNode() const {
    return static_cast<TvpNodeId>((headerWord() >> kSourceNodeShift) & 7u);
}

void TvpIoProtocol::setSourceNode(TvpNodeId node) {
    setHeaderBits(kSourceNodeShift, kThreeBits, node);
}

TvpIoProtocol::TvpNodeId TvpIoProtocol::getDestNode() const {
    return static_cast<TvpNodeId>((headerWord() >> kDestNodeShift) & 7u);
}

void TvpIoProtocol::setDestNode(TvpNodeId node) {
    setHeaderBits(kDestNodeShift, kThreeBits, node);
}

void TvpIoProtocol::setDirection(Direction direction) {
    m_direction = direction;
    fieldChanged();
}

const core::RCPtr<core::Data>& TvpIoProtocol::getFrame() const {
    if (m_direction != TO_UE)
        return dsrc::DataSourceFrame::getFrame();
    if (!m_spFrameToUe)
        m_spFrameToUe = new core::Data(m_pTvpIoProtocol, boundedTvpSize());
    return m_spFrameToUe;
}

const unsigned char* TvpIoProtocol::getFrameBuf() const {
    if (m_direction != TO_UE)
        return dsrc::DataSourceFrame::getFrameBuf();
    return m_pTvpIoProtocol;
}

unsigned int TvpIoProtocol::size() const {
    if (m_direction != TO_UE)
        return dsrc::DataSourceFrame::size();
    return boundedTvpSize();
}

}  // namespace vela
