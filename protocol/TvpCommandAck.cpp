#include "protocol/TvpCommandAck.h"

#include <algorithm>

#include "framework/core/Bytes.h"
#include "protocol/CommonControl.h"

namespace vela {

// ---- TvpCommandAck ----

TvpCommandAck::TvpCommandAck(TvpCommandAckId id, unsigned int commandDataLength)
    : TvpIoProtocol(COMMAND_ACK, commandDataLength + 2) {
    layMembers();
    setCommandAckId(id);
    setDirection(FROM_UE);
}

TvpCommandAck::TvpCommandAck(const core::RCPtr<core::Data>& whole)
    : TvpCommandAck(whole, FixedPart{kFixedSize}) {}
TvpCommandAck::TvpCommandAck(const core::RCPtr<core::Data>& bytes, Direction direction)
    : TvpCommandAck(bytes, direction, FixedPart{kFixedSize}) {}
TvpCommandAck::TvpCommandAck(const unsigned char* bytes, unsigned int length, Direction direction)
    : TvpCommandAck(bytes, length, direction, FixedPart{kFixedSize}) {}

TvpCommandAck::TvpCommandAck(const core::RCPtr<core::Data>& whole, FixedPart fixed)
    : TvpIoProtocol(whole, FixedPart{std::max(fixed.bytes, kFixedSize)}) {
    layMembers();
}
TvpCommandAck::TvpCommandAck(const core::RCPtr<core::Data>& bytes, Direction direction,
                             FixedPart fixed)
    : TvpIoProtocol(bytes, direction, FixedPart{std::max(fixed.bytes, kFixedSize)}) {
    layMembers();
}
TvpCommandAck::TvpCommandAck(const unsigned char* bytes, unsigned int length, Direction direction,
                             FixedPart fixed)
    : TvpIoProtocol(bytes, length, direction, FixedPart{std::max(fixed.bytes, kFixedSize)}) {
    layMembers();
}

TvpCommandAck::~TvpCommandAck() = default;

void TvpCommandAck::repositionMembers() {
    TvpIoProtocol::repositionMembers();
    layMembers();
}

void TvpCommandAck::layMembers() {
    m_pCommandAckId = positionU1();
    m_pSeqNo = positionU1();
    m_pCommandAckData = positionBuf(0);
}

void TvpCommandAck::setSeqNo(unsigned char seqNo) {
    *m_pSeqNo = seqNo;
    fieldChanged();
}

// ---- TvpCommandSetProbeModeAck ----

TvpCommandSetProbeModeAck::TvpCommandSetProbeModeAck(std::uint16_t probeId, FuncRetStat result)
    : TvpCommandAck(SET_PROBE_MODE, kFixedSize - TvpCommandAck::kFixedSize) {
    layMembers();
    setProbeId(probeId);
    setResult(result);
}

TvpCommandSetProbeModeAck::TvpCommandSetProbeModeAck(const core::RCPtr<core::Data>& whole)
    : TvpCommandAck(whole, FixedPart{kFixedSize}) {
    layMembers();
}
TvpCommandSetProbeModeAck::TvpCommandSetProbeModeAck(const core::RCPtr<core::Data>& bytes,
                                                     Direction direction)
    : TvpCommandAck(bytes, direction, FixedPart{kFixedSize}) {
    layMembers();
}
TvpCommandSetProbeModeAck::TvpCommandSetProbeModeAck(const unsigned char* bytes,
                                                     unsigned int length, Direction direction)
    : TvpCommandAck(bytes, length, direction, FixedPart{kFixedSize}) {
    layMembers();
}

TvpCommandSetProbeModeAck::~TvpCommandSetProbeModeAck() = default;

void TvpCommandSetProbeModeAck::repositionMembers() {
    TvpCommandAck::repositionMembers();
    layMembers();
}

void TvpCommandSetProbeModeAck::layMembers() {
    m_pProbeId = positionU2();
    m_pResult = positionU2();
}

std::uint16_t TvpCommandSetProbeModeAck::getProbeId() const {
    return core::readU2(m_pProbeId);
}
void TvpCommandSetProbeModeAck::setProbeId(std::uint16_t probeId) {
    core::writeU2(m_pProbeId, probeId);
}
TvpIoProtocol::FuncRetStat TvpCommandSetProbeModeAck::getResult() const {
    return static_cast<FuncRetStat>(core::readU2(m_pResult));
}
void TvpCommandSetProbeModeAck::setResult(FuncRetStat result) {
    core::writeU2(m_pResult, result);
}

// ---- TvpCommandSetTimeStampAck ----

TvpCommandSetTimeStampAck::TvpCommandSetTimeStampAck(const core::RCPtr<core::Data>& bytes,
                                                     Direction direction)
    : TvpCommandAck(bytes, direction, FixedPart{kFixedSize}) {
    layMembers();
}

TvpCommandSetTimeStampAck::TvpCommandSetTimeStampAck(const unsigned char* bytes,
                                                     unsigned int length, Direction direction)
    : TvpCommandAck(bytes, length, direction, FixedPart{kFixedSize}) {
    layMembers();
}

TvpCommandSetTimeStampAck::~TvpCommandSetTimeStampAck() = default;

void TvpCommandSetTimeStampAck::repositionMembers() {
    TvpCommandAck::repositionMembers();
    layMembers();
}

void TvpCommandSetTimeStampAck::layMembers() {
    m_pResult = positionU2();
}

TvpIoProtocol::FuncRetStat TvpCommandSetTimeStampAck::getResult() const {
    return static_cast<FuncRetStat>(core::readU2(m_pResult));
}

// ---- TvpCommandExecuteTestCodeAck ----

TvpCommandExecuteTestCodeAck::TvpCommandExecuteTestCodeAck(const core::RCPtr<core::Data>& whole)
    : TvpCommandAck(whole, FixedPart{kFixedSize}) {
    layMembers();
}
TvpCommandExecuteTestCodeAck::TvpCommandExecuteTestCodeAck(const core::RCPtr<core::Data>& bytes,
                                                           Direction direction)
    : TvpCommandAck(bytes, direction, FixedPart{kFixedSize}) {
    layMembers();
}
TvpCommandExecuteTestCodeAck::TvpCommandExecuteTestCodeAck(const unsigned char* bytes,
                                                           unsigned int length, Direction direction)
    : TvpCommandAck(bytes, length, direction, FixedPart{kFixedSize}) {
    layMembers();
}

TvpCommandExecuteTestCodeAck::~TvpCommandExecuteTestCodeAck() = default;

void TvpCommandExecuteTestCodeAck::repositionMembers() {
    TvpCommandAck::repositionMembers();
    layMembers();
}

void TvpCommandExecuteTestCodeAck::layMembers() {
    m_pCallbackId = positionU1();
    m_pTestCodeNumber = positionU2();
    m_pResult = positionU2();
    m_pNumberOfArgs = positionU2();
    m_pArgs = positionBuf(0);
}

std::uint16_t TvpCommandExecuteTestCodeAck::getTestCodeNumber() const {
    return core::readU2(m_pTestCodeNumber);
}
TvpIoProtocol::FuncRetStat TvpCommandExecuteTestCodeAck::getResult() const {
    return static_cast<FuncRetStat>(core::readU2(m_pResult));
}
std::uint16_t TvpCommandExecuteTestCodeAck::getNumberOfArgs() const {
    return core::readU2(m_pNumberOfArgs);
}

core::RCPtr<core::RCObject> TvpCommandExecuteTestCodeAck::getTvpTestCodeArguments() const {
    return decodeTestCodeArguments(getCallbackId(), getTestCodeNumber(), m_pArgs, getSizeOfArgs());
}

}  // namespace vela
