#include "session/TVP.h"

#include "framework/core/Clock.h"
#include "framework/core/Trace.h"
#include "protocol/CommonControl.h"
#include "protocol/TvpCommandReq.h"
#include "protocol/TvpLayout.h"
#include "protocol/TvpTestCodeArgument.h"

namespace vela {

using core::RCPtr;

namespace {
// Test-code arguments of the "Phy" item.
constexpr unsigned char kPhyCallbackId = 160;

// No frame is shorter than its header.
constexpr std::size_t kHeader = TvpLayout::kHeaderSize;
}  // namespace

TVP::TVP() : VelaChannel("Tvp"), m_queue(this) {}

TVP::~TVP() = default;

bool TVP::onBeginWorkThread() {
    if (!VelaChannel::onBeginWorkThread())
        return false;
    m_pFactory = new TvpIoProtocolFactory(TvpIoProtocol::FROM_UE);
    return true;
}

bool TVP::onEndWorkThread() {
    noteShedding(false, true);
    m_spPropertyStore.reset();
    m_spBuffer.reset();
    m_queue.clear();
    m_pFactory.reset();
    return VelaChannel::onEndWorkThread();
}

void TVP::onSetDataProvider(const RCPtr<DataProvider>& provider) {
    bool changed = provider != getDataProvider();
    VelaChannel::onSetDataProvider(provider);
    if (!changed)
        return;
    // Commands queued for, or sent to, the stream that went away can never be answered by
    // the new one; left in the queue they would hold back the new start-up command for good.
    // Their applies end by their time-outs.
    m_queue.clear();
    queueStartUp();
}

void TVP::onStreamEnded() {
    noteShedding(false, true);
    // Bytes of the old stream do not continue in the new one: a frame begun there is lost.
    if (m_spBuffer && !m_spBuffer->empty()) {
        m_counters.bytesCutShort += m_spBuffer->size();
        core::ToggleTrace(20,
                          "TVP::onSetDataProvider dropped %zu bytes of a frame the old stream "
                          "cut short\n",
                          m_spBuffer->size());
    }
    m_spBuffer.reset();
}

void TVP::onStreamGap() {
    ++m_counters.gaps;
    // The rest of a frame begun before the gap was in the dropped blocks: the bytes after the
    // gap would be taken for it. The next block is cut afresh.
    if (m_spBuffer && !m_spBuffer->empty()) {
        m_counters.bytesCutShort += m_spBuffer->size();
        core::ToggleTrace(20,
                          "TVP::onDataFromUE dropped %zu bytes of a frame whose rest the provider "
                          "dropped\n",
                          m_spBuffer->size());
        m_spBuffer->clear();
    }
}

void TVP::noteShedding(bool behind, bool flush) {
    // One pair of lines per stretch, or, while stretches follow each other quickly, a pair a
    // second with the reports of them all.
    constexpr std::int64_t kTraceInterval = 1000000000;  // ns
    const std::int64_t now = core::Clock::now();
    const bool due = !m_shedTraced || now - m_lastShedTrace >= kTraceInterval;
    if (behind != m_shedding) {
        m_shedding = behind;
        if (behind && due) {
            core::ToggleTrace(20,
                              "TVP::onDataFromUE the channel is behind its stream: reports are "
                              "dropped until it catches up\n");
            m_shedTraced = true;
            m_lastShedTrace = now;
            m_shedLineOpen = true;
            return;
        }
    }
    if (m_shedding || m_shedInStretch == 0 || !(m_shedLineOpen || due || flush))
        return;
    core::ToggleTrace(20,
                      "TVP::onDataFromUE the channel caught up: %llu reports dropped (%llu in "
                      "all)\n",
                      static_cast<unsigned long long>(m_shedInStretch),
                      static_cast<unsigned long long>(m_counters.reportsShed));
    m_shedTraced = true;
    m_lastShedTrace = now;
    m_shedLineOpen = false;
    m_shedInStretch = 0;
}

RCPtr<core::RCObject> TVP::onActivate(const RCPtr<dsrc::DataSourceSink>& sink) {
    RCPtr<core::RCObject> result = VelaChannel::onActivate(sink);
    if (result && getDataProvider()) {
        // The stream has just been opened: a provider bound before the activation could not
        // take the start-up request, and a channel activated again after a deactivation has
        // to bring the session up again. A start-up request still queued from before would
        // hold the new one back as its duplicate, and its answer may never come: a fresh one
        // replaces it.
        if (abandonStartUp())
            core::ToggleTrace(40, "TVP::onActivate unanswered start-up replaced by a new one\n");
        queueStartUp();
    }
    return result;
}

void TVP::onActivateTimedOut() {
    if (abandonStartUp())
        core::ToggleTrace(20,
                          "TVP::onActivateTimedOut start-up not answered - it left the queue\n");
}

bool TVP::abandonStartUp() {
    return m_queue.abandon(kStartUpReqId) != 0;
}

void TVP::queueStartUp() {
    RCPtr<TvpIoProtocol> request(
        new TvpCommandSetTimeStampReq(TvpCommandSetTimeStampReq::TIME_STAMP_SESSION));
    addCommand(kStartUpReqId, kStartUpSeqId, request, &TVP::onTimeStampTypeAck);
}

void TVP::addCommand(std::uint32_t reqId, std::uint32_t seqId, const RCPtr<TvpIoProtocol>& request,
                     bool (TVP::*callback)(Command&, TvpCommandAck&)) {
    // A command whose send failed (no open stream, or the provider refused it) waits at the
    // front and would hold back every later one for good: a new command tries it again first.
    // Nothing happens when the front command is already on its way.
    m_queue.transmit();
    m_queue.add(new Command(reqId, seqId, request, CommandCallBack(this, callback)));
}

bool TVP::sendCommand(const RCPtr<TvpIoProtocol>& frame) {
    if (!frame || frame->getDataId() != TvpIoProtocol::COMMAND_REQ)
        return false;
    auto* request = dynamic_cast<TvpCommandReq*>(frame.get());
    if (!request)
        return false;
    request->setSeqNo(m_seqNo);
    if (!send(request->getFrame()))
        return false;
    ++m_seqNo;  // 8 bits: 255 is followed by 0
    return true;
}

void TVP::onDataFromUE(const RCPtr<core::Data>& block) {
    if (!block)
        return;
    noteShedding(isBehind());
    // Frames are cut straight from the block: each frame object shares the block's bytes. Only
    // a frame that began in an earlier block is put together in the reassembly buffer, from
    // the bytes it still needs; the frames after it are again cut from the block.
    std::size_t from = 0;
    if (m_spBuffer && !m_spBuffer->empty()) {
        from = completePending(*block);
        if (m_spBuffer && !m_spBuffer->empty()) {
            if (!pendingHeadInvalid())
                return;  // the pending frame took the whole block and needs more
            // The pending bytes do not begin a frame: the rest of the block joins them and
            // the cutter skips past the bad length byte by byte, as in one piece.
            RCPtr<core::Data> joined = std::move(m_spBuffer);
            joined->addData(block->getInternalData() + from, block->size() - from);
            keepTail(joined, cut(joined, 0));
            return;
        }
    }
    keepTail(block, cut(block, from));
}

std::size_t TVP::completePending(const core::Data& block) {
    const unsigned char* bytes = block.getInternalData();
    const std::size_t n = block.size();
    std::size_t pos = 0;
    for (;;) {
        const std::size_t have = m_spBuffer->size();
        std::size_t need = kHeader - std::min(have, kHeader);
        if (have >= kHeader) {
            if (pendingHeadInvalid())
                return pos;
            const std::size_t length = TvpLayout::frameSize(m_spBuffer->getInternalData());
            need = length > have ? length - have : 0;
        }
        const std::size_t take = std::min(need, n - pos);
        m_spBuffer->addData(bytes + pos, take);
        pos += take;
        if (take < need)
            return pos;  // the block is used up and the frame needs more
        if (have < kHeader)
            continue;  // the length has just become readable: a frame of only its header
                       // is complete now, even with the block used up
        // Complete: the frame takes the buffer's bytes, and the buffer is used again when no
        // frame kept them.
        RCPtr<core::Data> whole = std::move(m_spBuffer);
        processFrame(whole, 0, whole->size());
        if (whole->isUniquelyHeld() && !whole->isShared()) {
            whole->clear();
            m_spBuffer = std::move(whole);
        }
        return pos;
    }
}

bool TVP::pendingHeadInvalid() const {
    return m_spBuffer && m_spBuffer->size() >= kHeader &&
           TvpLayout::frameSize(m_spBuffer->getInternalData()) < kHeader;
}

void TVP::keepTail(const RCPtr<core::Data>& bytes, std::size_t used) {
    const std::size_t rest = bytes->size() - used;
    if (rest == 0)
        return;
    const unsigned char* tail = bytes->getInternalData() + used;
    if (!m_spBuffer) {
        std::size_t pending = rest >= kHeader ? TvpLayout::frameSize(tail) : kHeader;
        m_spBuffer = new core::Data(std::max(pending, rest));
    }
    m_spBuffer->addData(tail, rest);
}

std::size_t TVP::cut(const RCPtr<core::Data>& bytes, std::size_t from) {
    const unsigned char* data = bytes->getInternalData();
    const std::size_t length = bytes->size();
    std::size_t pos = from;
    std::size_t skipped = 0;
    std::uint64_t shed = 0;
    while (length - pos >= kHeader) {
        std::size_t frameLength = TvpLayout::frameSize(data + pos);
        if (frameLength < kHeader) {
            // No frame is shorter than its header: this is not the start of a frame. Skip a
            // byte and look again, so that one bad length neither stalls nor loops the stream.
            ++pos;
            ++skipped;
            continue;
        }
        if (length - pos < frameLength)
            break;
        if (m_shedding && TvpLayout::dataId(data + pos) == TvpLayout::kDataIdProbeInject)
            ++shed;
        else
            processFrame(bytes, pos, frameLength);
        pos += frameLength;
    }
    if (shed) {
        m_counters.reportsShed += shed;
        m_shedInStretch += shed;
        countDropped(0, 0, shed);
    }
    if (skipped) {
        m_counters.bytesSkipped += skipped;
        core::ToggleTrace(20, "TVP::onDataFromUE skipped %zu bytes of an invalid frame length\n",
                          skipped);
    }
    return pos;
}

void TVP::processFrame(const RCPtr<core::Data>& bytes, std::size_t offset, std::size_t length) {
    RCPtr<dsrc::DataSourceFrame> frame =
        m_pFactory->create(bytes, offset, static_cast<unsigned int>(length));
    if (!frame) {
        if (m_counters.framesDropped++ % 1000 == 0)
            core::ToggleTrace(20,
                              "TVP::onDataFromUE frame of %zu bytes not understood, dropped "
                              "(%llu dropped)\n",
                              length, static_cast<unsigned long long>(m_counters.framesDropped));
        return;
    }
    auto* tvp = static_cast<TvpIoProtocol*>(frame.get());
    if (tvp->getDataId() == TvpIoProtocol::COMMAND_ACK) {
        ++m_counters.acknowledgements;
        auto* ack = static_cast<TvpCommandAck*>(frame.get());
        // An apply that an answer fails ends inside acknowledge, which then drops the queue.
        m_inAcknowledge = true;
        const bool acknowledged = m_queue.acknowledge(*ack);
        m_inAcknowledge = false;
        if (!acknowledged)
            core::ToggleTrace(20,
                              "TVP::onDataFromUE TvpIoProtocol::COMMAND_ACK CommandQueue NOT "
                              "acknowledge - Error\n");
        return;
    }
    if (sendDataSourceFrame(frame)) {
        ++m_counters.framesDelivered;
    } else if (m_counters.framesRefused++ % 1000 == 0) {
        core::ToggleTrace(20, "TVP::onDataFromUE data source did not take frame (%llu not taken)\n",
                          static_cast<unsigned long long>(m_counters.framesRefused));
    }
}

bool TVP::onTimeStampTypeAck(Command&, TvpCommandAck& ack) {
    if (ack.getCommandAckId() != TvpCommandAck::SET_TIME_STAMP)
        return false;
    auto* timeStamp = dynamic_cast<TvpCommandSetTimeStampAck*>(&ack);
    if (!timeStamp)
        return false;
    if (timeStamp->getResult() == TvpIoProtocol::OK) {
        setChannelActiveState(dsrc::CHANNEL_STATE_ACTIVE);
        return true;
    }
    core::ToggleTrace(20, "TVP::onTimeStampTypeAck getResult() == TvpIoProtocol::FAILED\n");
    setChannelActiveState(dsrc::CHANNEL_STATE_FAILED);
    return false;
}

void TVP::onAppliedPropertyItem(core::PropertyItem& item, const core::Status& status) {
    CORE_ASSERT_ON_WORKER(getWorker());
    VelaChannel::onAppliedPropertyItem(item, status);
    // While the worker ends, the framework fails every pending apply; the queue is cleared
    // next, and nothing more is to be sent to the phone.
    if (isEndingWorkThread())
        return;
    if (!status.succeeded() && !m_inAcknowledge && m_queue.abandon(item.getIdentity()))
        core::ToggleTrace(20,
                          "TVP::onAppliedPropertyItem %llu failed - its commands left the queue\n",
                          static_cast<unsigned long long>(item.getIdentity()));
}

bool TVP::onProbeModeAck(Command& command, TvpCommandAck& ack) {
    if (ack.getCommandAckId() != TvpCommandAck::SET_PROBE_MODE) {
        core::ToggleTrace(20, "TVP::onProbeModeAck Wrong Command id (%d)\n", ack.getCommandAckId());
        return false;
    }
    auto* probe = dynamic_cast<TvpCommandSetProbeModeAck*>(&ack);
    if (!probe)
        return false;
    if (probe->getResult() != TvpIoProtocol::OK) {
        core::ToggleTrace(20,
                          "TVP::onProbeModeAck getResult() == TvpIoProtocol::ERR for Probe:%d\n",
                          probe->getProbeId());
        applyProperty(command.getReqId(), core::Status(-1, 0, 0));
        return false;
    }
    if (command.isLastOfGroup()) {
        core::ToggleTrace(40, "TVP::onProbeModeAck All getResult() == OK\n");
        applyProperty(command.getReqId(), core::Status(1, 0, 0));
    }
    return true;
}

bool TVP::onExecuteTestCodeAck(Command& command, TvpCommandAck& ack) {
    if (ack.getCommandAckId() != TvpCommandAck::EXECUTE_TEST_CODE) {
        core::ToggleTrace(20, "TVP::onExecuteTestCodeAck Wrong Command id (%d)\n",
                          ack.getCommandAckId());
        return false;
    }
    auto* testCode = dynamic_cast<TvpCommandExecuteTestCodeAck*>(&ack);
    if (!testCode)
        return false;
    if (testCode->getResult() != TvpIoProtocol::OK) {
        core::ToggleTrace(20, "TVP::onExecuteTestCodeAck getResult() == TvpIoProtocol::ERR\n");
        applyProperty(command.getReqId(), core::Status(-1, 0, 0));
        return false;
    }
    if (command.isLastOfGroup()) {
        core::ToggleTrace(40, "TVP::onExecuteTestCodeAck All getResult() == OK\n");
        applyProperty(command.getReqId(), core::Status(1, 0, 0));
    }
    return true;
}

bool TVP::onApplyProbeMode(core::PropertyItem& item, core::Status&) {
    std::uint32_t seqId = 0;
    for (auto* value = item.getFirst(); value; value = item.getNext()) {
        auto mode = value->isSelected() ? TvpCommandSetProbeModeReq::PROBE_MODE_ON
                                        : TvpCommandSetProbeModeReq::PROBE_MODE_OFF;
        RCPtr<TvpIoProtocol> request(new TvpCommandSetProbeModeReq(value->getUShort(), mode));
        addCommand(static_cast<std::uint32_t>(item.getIdentity()), seqId++, request,
                   &TVP::onProbeModeAck);
    }
    return true;
}

bool TVP::onApplyPhyProbe(core::PropertyItem& item, core::Status&) {
    auto reqId = static_cast<std::uint32_t>(item.getIdentity());
    RCPtr<TvpIoProtocol> request(new TvpCommandSetProbeModeReq(
        catalogue::kPhyProbe, TvpCommandSetProbeModeReq::PROBE_MODE_ON));
    addCommand(reqId, 0, request, &TVP::onProbeModeAck);
    std::uint32_t seqId = 1;
    for (auto* value = item.getFirst(); value; value = item.getNext()) {
        RCPtr<TvpTestCodeArguments> arguments(
            new TvpTestCodeArguments(kPhyCallbackId, value->isSelected() ? 1 : 0));
        arguments->addArgument(new TvpTestCodeArgument(value->getUShort()));
        executeTestCode(reqId, seqId++, *arguments);
    }
    return true;
}

namespace {
// The capability mask: the OR of the selected values.
unsigned capabilityMask(core::PropertyItem& item) {
    unsigned mask = 0;
    for (auto* value = item.getFirst(); value; value = item.getNext())
        if (value->isSelected())
            mask |= value->getByte();
    return mask;
}
}  // namespace

bool TVP::onValidateCapability(core::PropertyItem& item, core::Status&) {
    if (!dynamic_cast<core::BytePropertyItem*>(&item))
        return false;
    unsigned mask = capabilityMask(item);
    return mask >= 1 && mask <= 3;
}

bool TVP::onApplyCapability(core::PropertyItem& item, core::Status&) {
    if (!dynamic_cast<core::BytePropertyItem*>(&item))
        return true;
    RCPtr<CommonControl> message(new CommonControl());
    message->setOperationType(CommonControl::SET);
    message->setFunctionId(CommonControl::CAS_SYSTEM_CAPABILITY_CONTROL);
    message->addIE(new CommonControlIE(0, static_cast<unsigned char>(capabilityMask(item))));
    executeTestCode(static_cast<std::uint32_t>(item.getIdentity()), 0, *message);
    return true;
}

void TVP::executeTestCode(std::uint32_t reqId, std::uint32_t seqId,
                          const TvpTestCodeArgumentsBase& arguments) {
    RCPtr<TvpIoProtocol> request(new TvpCommandExecuteTestCodeReq(arguments));
    addCommand(reqId, seqId, request, &TVP::onExecuteTestCodeAck);
}

RCPtr<core::PropertyStore> TVP::onCreatePropertyStore() {
    if (!m_spPropertyStore) {
        m_spPropertyStore = new core::PropertyStore(reinterpret_cast<Identity>(this), "", "");
        m_spPropertyStore->insert(catalogue::buildCommonControl(this));
        m_spPropertyStore->insert(catalogue::buildProbes(this));
    }
    return m_spPropertyStore;
}

RCPtr<core::PropertyStore> TVP::onGetPropertyStore() {
    return m_spPropertyStore;
}

TVP::Identity TVP::onRemovePropertyStore() {
    return m_spPropertyStore ? m_spPropertyStore->getIdentity() : 0;
}

}  // namespace vela
