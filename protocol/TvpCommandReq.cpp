#include "protocol/TvpCommandReq.h"

#include <algorithm>
#include <cstring>

#include "framework/core/Bytes.h"
#include "framework/core/Trace.h"
#include "protocol/CommonControl.h"
#include "protocol/TvpTestCodeArguments.h"

namespace vela {

// ---- TvpCommandReq ----

TvpCommandReq::TvpCommandReq(TvpCommandReqId id, unsigned int commandDataLength)
    : TvpIoProtocol(COMMAND_REQ, commandDataLength + 2) {
    layMembers();
    setCommandReqId(id);
    setDirection(TO_UE);
}

TvpCommandReq::TvpCommandReq(const core::RCPtr<core::Data>& whole)
    : TvpCommandReq(whole, FixedPart{kFixedSize}) {}
TvpCommandReq::TvpCommandReq(const core::RCPtr<core::Data>& bytes, Direction direction)
    : TvpCommandReq(bytes, direction, FixedPart{kFixedSize}) {}
TvpCommandReq::TvpCommandReq(const unsigned char* bytes, unsigned int length, Direction direction)
    : TvpCommandReq(bytes, length, direction, FixedPart{kFixedSize}) {}

TvpCommandReq::TvpCommandReq(const core::RCPtr<core::Data>& whole, FixedPart fixed)
    : TvpIoProtocol(whole, FixedPart{std::max(fixed.bytes, kFixedSize)}) {
    layMembers();
}
TvpCommandReq::TvpCommandReq(const core::RCPtr<core::Data>& bytes, Direction direction,
                             FixedPart fixed)
    : TvpIoProtocol(bytes, direction, FixedPart{std::max(fixed.bytes, kFixedSize)}) {
    layMembers();
}
TvpCommandReq::TvpCommandReq(const unsigned char* bytes, unsigned int length, Direction direction,
                             FixedPart fixed)
    : TvpIoProtocol(bytes, length, direction, FixedPart{std::max(fixed.bytes, kFixedSize)}) {
    layMembers();
}

TvpCommandReq::~TvpCommandReq() = default;

void TvpCommandReq::repositionMembers() {
    TvpIoProtocol::repositionMembers();
    layMembers();
}

void TvpCommandReq::layMembers() {
    m_pCommandReqId = positionU1();
    m_pSeqNo = positionU1();
    m_pCommandReqData = positionBuf(0);
}

void TvpCommandReq::setSeqNo(unsigned char seqNo) {
    *m_pSeqNo = seqNo;
    fieldChanged();
}

// ---- TvpCommandSetProbeModeReq ----

TvpCommandSetProbeModeReq::TvpCommandSetProbeModeReq(std::uint16_t probeId, TvpProbeMode mode)
    : TvpCommandReq(SET_PROBE_MODE, kFixedSize - TvpCommandReq::kFixedSize) {
    layMembers();
    setProbeId(probeId);
    setProbeMode(mode);
}

TvpCommandSetProbeModeReq::TvpCommandSetProbeModeReq(const core::RCPtr<core::Data>& whole)
    : TvpCommandReq(whole, FixedPart{kFixedSize}) {
    layMembers();
}
TvpCommandSetProbeModeReq::TvpCommandSetProbeModeReq(const core::RCPtr<core::Data>& bytes,
                                                     Direction direction)
    : TvpCommandReq(bytes, direction, FixedPart{kFixedSize}) {
    layMembers();
}
TvpCommandSetProbeModeReq::TvpCommandSetProbeModeReq(const unsigned char* bytes,
                                                     unsigned int length, Direction direction)
    : TvpCommandReq(bytes, length, direction, FixedPart{kFixedSize}) {
    layMembers();
}

TvpCommandSetProbeModeReq::~TvpCommandSetProbeModeReq() = default;

void TvpCommandSetProbeModeReq::repositionMembers() {
    TvpCommandReq::repositionMembers();
    layMembers();
}

void TvpCommandSetProbeModeReq::layMembers() {
    m_pProbeId = positionU2();
    m_pProbeMode = positionU1();
}

std::uint16_t TvpCommandSetProbeModeReq::getProbeId() const {
    return core::readU2(m_pProbeId);
}
void TvpCommandSetProbeModeReq::setProbeId(std::uint16_t probeId) {
    core::writeU2(m_pProbeId, probeId);
}

// ---- TvpCommandSetTimeStampReq ----

TvpCommandSetTimeStampReq::TvpCommandSetTimeStampReq(TvpTimeStampFunction function)
    : TvpCommandReq(SET_TIME_STAMP, kFixedSize - TvpCommandReq::kFixedSize) {
    layMembers();
    setTimeType(function);
}

TvpCommandSetTimeStampReq::TvpCommandSetTimeStampReq(const core::RCPtr<core::Data>& whole)
    : TvpCommandReq(whole, FixedPart{kFixedSize}) {
    layMembers();
}
TvpCommandSetTimeStampReq::TvpCommandSetTimeStampReq(const core::RCPtr<core::Data>& bytes,
                                                     Direction direction)
    : TvpCommandReq(bytes, direction, FixedPart{kFixedSize}) {
    layMembers();
}
TvpCommandSetTimeStampReq::TvpCommandSetTimeStampReq(const unsigned char* bytes,
                                                     unsigned int length, Direction direction)
    : TvpCommandReq(bytes, length, direction, FixedPart{kFixedSize}) {
    layMembers();
}

TvpCommandSetTimeStampReq::~TvpCommandSetTimeStampReq() = default;

void TvpCommandSetTimeStampReq::repositionMembers() {
    TvpCommandReq::repositionMembers();
    layMembers();
}

void TvpCommandSetTimeStampReq::layMembers() {
    m_pTimeType = positionU1();
}

// ---- TvpCommandExecuteTestCodeReq ----

TvpCommandExecuteTestCodeReq::TvpCommandExecuteTestCodeReq(unsigned char callbackId,
                                                           std::uint16_t testCodeNumber,
                                                           std::uint16_t sizeOfArgs,
                                                           const unsigned char* args)
    : TvpCommandReq(EXECUTE_TEST_CODE, kFixedSize - TvpCommandReq::kFixedSize + sizeOfArgs) {
    layMembers();
    setCallbackId(callbackId);
    setTestCodeNumber(testCodeNumber);
    setArgs(args, sizeOfArgs);
}

TvpCommandExecuteTestCodeReq::TvpCommandExecuteTestCodeReq(
    const TvpTestCodeArgumentsBase& arguments)
    : TvpCommandExecuteTestCodeReq(&arguments) {}

TvpCommandExecuteTestCodeReq::TvpCommandExecuteTestCodeReq(
    const TvpTestCodeArgumentsBase* arguments)
    : TvpCommandReq(EXECUTE_TEST_CODE,
                    kFixedSize - TvpCommandReq::kFixedSize + argumentsSize(arguments)) {
    layMembers();
    writeArguments(arguments);
}

TvpCommandExecuteTestCodeReq::TvpCommandExecuteTestCodeReq(const core::RCPtr<core::Data>& whole)
    : TvpCommandReq(whole, FixedPart{kFixedSize}) {
    layMembers();
}
TvpCommandExecuteTestCodeReq::TvpCommandExecuteTestCodeReq(const core::RCPtr<core::Data>& bytes,
                                                           Direction direction)
    : TvpCommandReq(bytes, direction, FixedPart{kFixedSize}) {
    layMembers();
}
TvpCommandExecuteTestCodeReq::TvpCommandExecuteTestCodeReq(const unsigned char* bytes,
                                                           unsigned int length, Direction direction)
    : TvpCommandReq(bytes, length, direction, FixedPart{kFixedSize}) {
    layMembers();
}

TvpCommandExecuteTestCodeReq::~TvpCommandExecuteTestCodeReq() = default;

void TvpCommandExecuteTestCodeReq::repositionMembers() {
    TvpCommandReq::repositionMembers();
    layMembers();
}

void TvpCommandExecuteTestCodeReq::layMembers() {
    m_pCallbackId = positionU1();
    m_pTestCodeNumber = positionU2();
    m_pSizeOfArgs = positionU2();
    m_pArgs = positionBuf(0);
}

std::uint16_t TvpCommandExecuteTestCodeReq::argumentsSize(
    const TvpTestCodeArgumentsBase* arguments) {
    if (!arguments)
        return 0;
    const unsigned long size = arguments->encodedSize();
    return size <= 0xFFFF ? static_cast<std::uint16_t>(size) : 0;
}

void TvpCommandExecuteTestCodeReq::writeArguments(const TvpTestCodeArgumentsBase* arguments) {
    if (!arguments) {
        setCallbackId(0);
        setTestCodeNumber(0);
        setSizeOfArgs(0);
        return;
    }
    setCallbackId(arguments->getCallbackId());
    setTestCodeNumber(arguments->getTestCodeNumber());
    const std::uint16_t size = static_cast<std::uint16_t>(getArgsBlockSize());
    if (size == 0 || !arguments->toBytes(m_pArgs)) {
        // The encoding does not fit the size field (or could not be written): no block
        // rather than a cut one.
        core::ToggleTrace(20,
                          "TvpCommandExecuteTestCodeReq::TvpCommandExecuteTestCodeReq arguments "
                          "of %lu bytes do not fit - sent without arguments\n",
                          arguments->encodedSize());
        setSizeOfArgs(0);
        return;
    }
    setSizeOfArgs(size);
}

std::uint16_t TvpCommandExecuteTestCodeReq::getTestCodeNumber() const {
    return core::readU2(m_pTestCodeNumber);
}
void TvpCommandExecuteTestCodeReq::setTestCodeNumber(std::uint16_t testCodeNumber) {
    core::writeU2(m_pTestCodeNumber, testCodeNumber);
}
std::uint16_t TvpCommandExecuteTestCodeReq::getSizeOfArgs() const {
    return core::readU2(m_pSizeOfArgs);
}
void TvpCommandExecuteTestCodeReq::setSizeOfArgs(std::uint16_t sizeOfArgs) {
    core::writeU2(m_pSizeOfArgs, sizeOfArgs);
}

void TvpCommandExecuteTestCodeReq::setArgs(const unsigned char* args, std::uint16_t sizeOfArgs) {
    // Never more than the frame holds.
    const std::uint16_t n =
        static_cast<std::uint16_t>(std::min<unsigned int>(sizeOfArgs, getArgsBlockSize()));
    setSizeOfArgs(n);
    if (args && n)
        std::memcpy(m_pArgs, args, n);
    fieldChanged();
}

core::RCPtr<core::RCObject> TvpCommandExecuteTestCodeReq::getTvpTestCodeArguments() const {
    const unsigned int block = getArgsBlockSize();
    if (block != getSizeOfArgs())
        return {};
    return decodeTestCodeArguments(getCallbackId(), getTestCodeNumber(), m_pArgs, block);
}

}  // namespace vela
