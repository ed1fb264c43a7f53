#include "protocol/TvpProbeInject.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "framework/core/Bytes.h"

namespace vela {

// ---- TvpProbeInject ----

TvpProbeInject::TvpProbeInject(TvpProbeInjectDataId id, unsigned int restLength)
    : TvpIoProtocol(PROBE_INJECT, restLength + 1) {
    layMembers();
    setProbeInjectId(id);
}

TvpProbeInject::TvpProbeInject(const core::RCPtr<core::Data>& whole)
    : TvpProbeInject(whole, FixedPart{kFixedSize}) {}
TvpProbeInject::TvpProbeInject(core::RCPtr<core::Data> bytes, Direction direction)
    : TvpProbeInject(std::move(bytes), direction, FixedPart{kFixedSize}) {}
TvpProbeInject::TvpProbeInject(const unsigned char* bytes, unsigned int length, Direction direction)
    : TvpProbeInject(bytes, length, direction, FixedPart{kFixedSize}) {}

TvpProbeInject::TvpProbeInject(const core::RCPtr<core::Data>& whole, FixedPart fixed)
    : TvpIoProtocol(whole, FixedPart{std::max(fixed.bytes, kFixedSize)}) {
    layMembers();
}
TvpProbeInject::TvpProbeInject(core::RCPtr<core::Data> bytes, Direction direction, FixedPart fixed)
    : TvpIoProtocol(std::move(bytes), direction, FixedPart{std::max(fixed.bytes, kFixedSize)}) {
    layMembers();
}
TvpProbeInject::TvpProbeInject(const SharedBytes& bytes, Direction direction, FixedPart fixed)
    : TvpIoProtocol(bytes, direction, FixedPart{std::max(fixed.bytes, kFixedSize)}) {
    layMembers();
}
TvpProbeInject::TvpProbeInject(const unsigned char* bytes, unsigned int length, Direction direction,
                               FixedPart fixed)
    : TvpIoProtocol(bytes, length, direction, FixedPart{std::max(fixed.bytes, kFixedSize)}) {
    layMembers();
}

TvpProbeInject::~TvpProbeInject() = default;

void TvpProbeInject::repositionMembers() {
    TvpIoProtocol::repositionMembers();
    layMembers();
}

void TvpProbeInject::layMembers() {
    m_pProbeInjectId = positionU1();
    m_pProbeInjectDataBuf = positionBuf(0);
}

// ---- TvpProbe ----

TvpProbe::TvpProbe(std::uint32_t timeStamp, std::uint16_t seqNo, std::uint16_t probeId,
                   std::uint32_t dataByteSize, TvpProbeDataIdType probeDataIdType,
                   std::uint16_t numberOfDataElem, const unsigned char* data)
    : TvpProbeInject(PROBE, kFixedSize - TvpProbeInject::kFixedSize + numberOfDataElem) {
    layMembers();
    setTimeStamp(timeStamp);
    setSeqNo(seqNo);
    setProbeId(probeId);
    setDataByteSize(dataByteSize);
    setProbeDataIdType(probeDataIdType);
    setNumberOfDataElem(numberOfDataElem);
    setProbeData(data, numberOfDataElem);
}

TvpProbe::TvpProbe(const core::RCPtr<core::Data>& whole)
    : TvpProbeInject(whole, FixedPart{kFixedSize}) {
    layMembers();
}
TvpProbe::TvpProbe(core::RCPtr<core::Data> bytes, Direction direction)
    : TvpProbeInject(std::move(bytes), direction, FixedPart{kFixedSize}) {
    layMembers();
}
TvpProbe::TvpProbe(const SharedBytes& bytes, Direction direction)
    : TvpProbeInject(bytes, direction, FixedPart{kFixedSize}) {
    layMembers();
}
TvpProbe::TvpProbe(const unsigned char* bytes, unsigned int length, Direction direction)
    : TvpProbeInject(bytes, length, direction, FixedPart{kFixedSize}) {
    layMembers();
}

TvpProbe::~TvpProbe() = default;

void TvpProbe::repositionMembers() {
    TvpProbeInject::repositionMembers();
    layMembers();
}

void TvpProbe::layMembers() {
    m_pTimeStamp = positionU4();
    m_pSeqNo = positionU2();
    m_pProbeId = positionU2();
    m_pDataByteSize = positionU4();
    m_pProbeDataIdType = positionU1();
    m_pNumberOfDataElem = positionU2();
    m_pProbeData = positionBuf(0);
}

std::uint32_t TvpProbe::getTimeStamp() const {
    return core::readU4(m_pTimeStamp);
}
void TvpProbe::setTimeStamp(std::uint32_t timeStamp) {
    core::writeU4(m_pTimeStamp, timeStamp);
}
std::uint16_t TvpProbe::getSeqNo() const {
    return core::readU2(m_pSeqNo);
}
void TvpProbe::setSeqNo(std::uint16_t seqNo) {
    core::writeU2(m_pSeqNo, seqNo);
    fieldChanged();
}
std::uint16_t TvpProbe::getProbeId() const {
    return core::readU2(m_pProbeId);
}
void TvpProbe::setProbeId(std::uint16_t probeId) {
    core::writeU2(m_pProbeId, probeId);
}
std::uint32_t TvpProbe::getDataByteSize() const {
    return core::readU4(m_pDataByteSize);
}
void TvpProbe::setDataByteSize(std::uint32_t n) {
    core::writeU4(m_pDataByteSize, n);
}
std::uint16_t TvpProbe::getNumberOfDataElem() const {
    return core::readU2(m_pNumberOfDataElem);
}
void TvpProbe::setNumberOfDataElem(std::uint16_t n) {
    core::writeU2(m_pNumberOfDataElem, n);
}
void TvpProbe::setProbeData(const unsigned char* data, unsigned int length) {
    const unsigned int n = std::min(length, getProbeDataSize());
    if (data && n)
        std::memcpy(m_pProbeData, data, n);
}

// ---- TvpInject ----

TvpInject::TvpInject(std::uint16_t probeId, std::uint32_t dataByteSize,
                     TvpProbeDataIdType probeDataIdType, std::uint16_t numberOfDataElem,
                     const unsigned char* data)
    : TvpProbeInject(INJECT, kFixedSize - TvpProbeInject::kFixedSize + numberOfDataElem) {
    layMembers();
    setProbeId(probeId);
    setDataByteSize(dataByteSize);
    setProbeDataIdType(probeDataIdType);
    setNumberOfDataElem(numberOfDataElem);
    setInjectData(data, numberOfDataElem);
}

TvpInject::TvpInject(const core::RCPtr<core::Data>& whole)
    : TvpProbeInject(whole, FixedPart{kFixedSize}) {
    layMembers();
}
TvpInject::TvpInject(core::RCPtr<core::Data> bytes, Direction direction)
    : TvpProbeInject(std::move(bytes), direction, FixedPart{kFixedSize}) {
    layMembers();
}
TvpInject::TvpInject(const SharedBytes& bytes, Direction direction)
    : TvpProbeInject(bytes, direction, FixedPart{kFixedSize}) {
    layMembers();
}
TvpInject::TvpInject(const unsigned char* bytes, unsigned int length, Direction direction)
    : TvpProbeInject(bytes, length, direction, FixedPart{kFixedSize}) {
    layMembers();
}

TvpInject::~TvpInject() = default;

void TvpInject::repositionMembers() {
    TvpProbeInject::repositionMembers();
    layMembers();
}

void TvpInject::layMembers() {
    m_pProbeId = positionU2();
    m_pDataByteSize = positionU4();
    m_pProbeDataIdType = positionU1();
    m_pNumberOfDataElem = positionU2();
    m_pInjectData = positionBuf(0);
}

std::uint16_t TvpInject::getProbeId() const {
    return core::readU2(m_pProbeId);
}
void TvpInject::setProbeId(std::uint16_t probeId) {
    core::writeU2(m_pProbeId, probeId);
}
std::uint32_t TvpInject::getDataByteSize() const {
    return core::readU4(m_pDataByteSize);
}
void TvpInject::setDataByteSize(std::uint32_t n) {
    core::writeU4(m_pDataByteSize, n);
}
std::uint16_t TvpInject::getNumberOfDataElem() const {
    return core::readU2(m_pNumberOfDataElem);
}
void TvpInject::setNumberOfDataElem(std::uint16_t n) {
    core::writeU2(m_pNumberOfDataElem, n);
}
void TvpInject::setInjectData(const unsigned char* data, unsigned int length) {
    const unsigned int n = std::min(length, getInjectDataSize());
    if (data && n)
        std::memcpy(m_pInjectData, data, n);
}

}  // namespace vela
