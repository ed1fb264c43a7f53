#include "session/VelaChannel.h"

#include "framework/core/Clock.h"
#include "framework/core/Trace.h"
#include "transport/DataProvider.h"

namespace vela {

using core::RCPtr;

namespace {
// The channel is behind its stream when half the provider's receive limit waits, and, while
// it awaits an answer of the phone, also when the block it reads has waited longer than
// kBehindAfter (nanoseconds) with more than kBehindBytes after it. It has caught up when at
// most a quarter of the limit waits and, while it awaits an answer, what it reads has waited
// no longer than kCaughtUpAfter or half of kBehindBytes waits. An apply of 25 commands (2000
// ms) needs each answer within 80 ms, and the answer passes through several threads that a
// busy machine schedules late: the wait in the channel's path stays a quarter of that. With
// no answer awaited, a stall is waited out as long as the limit allows.
constexpr std::int64_t kBehindAfter = 20000000;
constexpr std::int64_t kCaughtUpAfter = 5000000;
constexpr std::size_t kBehindBytes = 64u << 10;
}  // namespace

VelaChannel::VelaChannel(const std::string& name) : eqbase::ByteChannel(name), m_name(name) {}

VelaChannel::~VelaChannel() {
    delete m_pActivateTimer;
}

void VelaChannel::setDataProvider(const RCPtr<DataProvider>& provider) {
    RCPtr<core::RCObjectReq> request(new core::RCObjectReq("SetDataProvider", provider));
    request->setSyncType(core::Request::POSTED);
    doRequest(request);
}

void VelaChannel::dataProviderDisconnected(const RCPtr<DataProvider>& provider) {
    RCPtr<core::RCObjectReq> request(new core::RCObjectReq("DataProviderDisconnected", provider));
    request->setSyncType(core::Request::POSTED);
    doRequest(request);
}

std::string VelaChannel::getName() {
    RCPtr<core::Response> response;
    if (!doRequest(new core::Request("GetName"), &response))
        return {};
    auto name = core::rcCast<core::StringRsp>(response);
    return name ? std::string(name->getString()) : std::string();
}

bool VelaChannel::onBeginWorkThread() {
    if (!eqbase::ByteChannel::onBeginWorkThread())
        return false;
    attachCallback("GetName", &VelaChannel::onGetNameReq);
    attachCallback("SetDataProvider", &VelaChannel::onSetDataProviderReq);
    attachCallback("DataProviderDisconnected", &VelaChannel::onDataProviderDisconnectedReq);
    return true;
}

bool VelaChannel::onEndWorkThread() {
    detachCallback("GetName");
    detachCallback("SetDataProvider");
    detachCallback("DataProviderDisconnected");
    stopActivateTimer();
    endLeaving(false);
    unbindProvider();
    return eqbase::ByteChannel::onEndWorkThread();
}

void VelaChannel::onGetNameReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(getWorker());
    sendResponse(new core::StringRsp(request, m_name));
}

void VelaChannel::onSetDataProviderReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(getWorker());
    auto* carrier = dynamic_cast<core::RCObjectReq*>(&request);
    onSetDataProvider(carrier ? core::rcCast<DataProvider>(carrier->getObject()) : nullptr);
}

void VelaChannel::onDataProviderDisconnectedReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(getWorker());
    auto* carrier = dynamic_cast<core::RCObjectReq*>(&request);
    RCPtr<DataProvider> provider =
        carrier ? core::rcCast<DataProvider>(carrier->getObject()) : nullptr;
    // The provider posts this after it has written every block it got into the pipe. The
    // report of a provider the channel no longer reads (one that another has replaced, its
    // report overtaken by the replacement) ends nothing: the stream read now goes on.
    if (!provider)
        return;
    if (provider == m_spLeaving)
        endLeaving(true);
    else if (provider == m_spDataProvider)
        m_streamOpen = false;
    else
        return;
    onDataProviderDisconnected();
}

void VelaChannel::unbindProvider(bool readRest) {
    if (!m_spDataProvider)
        return;
    // Once the provider has let go of the channel it writes nothing more into the pipe (what
    // it still gets, it counts as dropped), so the pipe then holds all it will ever hold.
    m_spDataProvider->setVelaChannel(nullptr);
    if (m_spPipe) {
        if (readRest)
            while (RCPtr<core::RCObject> item = m_spPipe->read())
                onPipeItem(item);
        removeSyncObject(m_spPipe->getSyncObject());
        m_spPipe->getSyncObject()->unregisterCallBack();
        m_spPipe.reset();
        countProviderDrops();
        m_spBacklog.reset();
        m_markTime.reset();
        m_behind = false;
    }
    m_spDataProvider.reset();
    m_streamOpen = false;
}

void VelaChannel::endLeaving(bool readRest) {
    if (!m_spLeaving)
        return;
    m_spDataProvider = std::move(m_spLeaving);
    unbindProvider(readRest);
    if (readRest)
        onStreamEnded();
}

void VelaChannel::bindPipe() {
    if (m_spPipe || !m_spDataProvider)
        return;
    m_spPipe = m_spDataProvider->getOutPipe();
    if (!m_spPipe)
        return;
    // Blocks the provider dropped before this channel read it are not this channel's.
    m_spBacklog = m_spDataProvider->getReceiveBacklog();
    m_countedBlocks = m_spBacklog->droppedBlocks();
    m_countedBytes = m_spBacklog->droppedBytes();
    m_spPipe->getSyncObject()->registerCallBack(this, &VelaChannel::onPipe);
    addSyncObject(m_spPipe->getSyncObject());
}

void VelaChannel::connectProvider(const char* failureTrace) {
    bindPipe();
    if (!m_spDataProvider->connect()) {
        core::ToggleTrace(20, "%s", failureTrace);
        return;
    }
    m_streamOpen = true;
    onProviderConnected();
}

void VelaChannel::onSetDataProvider(const RCPtr<DataProvider>& provider) {
    // The same provider given again (the target hands it over both when it appears and when
    // the channel attaches) keeps the binding as it is: unbinding would stop the reading.
    if (provider && provider == m_spDataProvider)
        return;
    // None again (the provider's removal, then its phone's): a stream still being read after
    // its provider went goes on being read.
    if (!provider && !m_spDataProvider)
        return;
    bool activated = static_cast<bool>(getActivation());
    // A stream that went away before is over once another provider comes.
    endLeaving(true);
    if (!provider && m_spDataProvider && m_streamOpen && m_spPipe) {
        // The provider went away with its stream open: the service may still deliver blocks
        // it had received, up to its "Disconnected". The pipe stays registered until then.
        m_spLeaving = std::move(m_spDataProvider);
        m_streamOpen = false;
    } else if (m_spDataProvider) {
        // Blocks the old stream delivered before it went may still be in its pipe: they are
        // read now, so that its last frames reach the host instead of going away with the
        // pipe.
        unbindProvider(true);
        onStreamEnded();
    }
    m_spDataProvider = provider;
    if (m_spDataProvider) {
        m_spDataProvider->setVelaChannel(this);
        // A provider that comes while the host wants the channel active is connected and read
        // at once, also after an earlier provider went away.
        if (activated)
            connectProvider("VelaChannel::onSetDataProvider - Connect failed\n");
    } else if (activated && getChannelActiveState() == dsrc::CHANNEL_STATE_ACTIVE) {
        // The phone's stream went away under an active channel: the channel is coming up again
        // and fails if the stream is not back within the activation time.
        setChannelActiveState(dsrc::CHANNEL_STATE_ACTIVATING);
        startActivateTimer();
    }
}

RCPtr<core::RCObject> VelaChannel::onActivate(const RCPtr<dsrc::DataSourceSink>& sink) {
    RCPtr<core::RCObject> result = eqbase::ByteChannel::onActivate(sink);
    if (!result)
        return result;
    startActivateTimer();
    if (m_spDataProvider)
        connectProvider("VelaChannel::onActivate - Connect failed\n");
    return result;
}

void VelaChannel::onDeactivate() {
    if (m_spDataProvider && !m_spDataProvider->disconnect())
        core::ToggleTrace(20, "VelaChannel::onDeactivate - Disconnect failed\n");
    // The counts of the stream so far, for the host that reads them once the channel is down.
    countProviderDrops();
    eqbase::Channel::onDeactivate();
}

void VelaChannel::onDataProviderDisconnected() {
    if (getChannelActiveState() == dsrc::CHANNEL_STATE_DEACTIVATING)
        setChannelActiveState(dsrc::CHANNEL_STATE_DEACTIVATED);
}

bool VelaChannel::send(const RCPtr<core::Data>& block) {
    if (!m_spDataProvider || !m_streamOpen)
        return false;
    // Posted: this worker is the pipe's only reader, and it would stop reading while the
    // provider's worker and the service take the block.
    return m_spDataProvider->postSend(block);
}

void VelaChannel::onPipe() {
    if (!m_spPipe)
        return;
    if (RCPtr<core::RCObject> item = m_spPipe->read())
        onPipeItem(item);
}

void VelaChannel::onPipeItem(const RCPtr<core::RCObject>& item) {
    if (RCPtr<core::Data> block = core::rcCast<core::Data>(item)) {
        updateBehind();
        markBlockArrival();
        onDataFromUE(block);
    } else if (RCPtr<ReceiveBacklog::Mark> mark = core::rcCast<ReceiveBacklog::Mark>(item)) {
        m_markTime = mark->time();
        if (mark->blocks() != 0) {
            countProviderDrops();
            onStreamGap();
        }
    }
}

void VelaChannel::updateBehind() {
    if (!m_spBacklog)
        return;
    // How much waits behind the block now read, and how long that block has waited (from
    // its mark's time, at most a mark interval early). Delay alone is not enough: a short
    // stall of a slow stream leaves little behind, which the channel soon reads.
    const std::size_t waiting = m_spBacklog->queuedBytes();
    const std::size_t limit = m_spBacklog->limit();
    const bool urgent = m_markTime && isAwaitingAnswer();
    const std::int64_t waited = urgent ? core::Clock::now() - *m_markTime : 0;
    if (!m_behind)
        m_behind =
            waiting > limit / 2 || (urgent && waited > kBehindAfter && waiting > kBehindBytes);
    else
        m_behind = waiting > limit / 4 ||
                   (urgent && waited > kCaughtUpAfter && waiting > kBehindBytes / 2);
}

void VelaChannel::countProviderDrops() {
    if (!m_spBacklog)
        return;
    const std::uint64_t blocks = m_spBacklog->droppedBlocks();
    const std::uint64_t bytes = m_spBacklog->droppedBytes();
    countDropped(blocks - m_countedBlocks, bytes - m_countedBytes, 0);
    m_countedBlocks = blocks;
    m_countedBytes = bytes;
}

void VelaChannel::startActivateTimer() {
    stopActivateTimer();
    m_pActivateTimer = new core::WaitableTimer(1, nullptr, nullptr);
    m_pActivateTimer->registerCallBack(this, &VelaChannel::onActivateTimer);
    m_pActivateTimer->setTimer(getActivateTimeout());
    addSyncObject(m_pActivateTimer);
}

void VelaChannel::stopActivateTimer() {
    if (!m_pActivateTimer)
        return;
    removeSyncObject(m_pActivateTimer);
    m_pActivateTimer->cancelWaitableTimer();
    m_pActivateTimer->unregisterCallBack();
    delete m_pActivateTimer;
    m_pActivateTimer = nullptr;
}

void VelaChannel::onActivateTimer() {
    stopActivateTimer();
    if (getChannelActiveState() != dsrc::CHANNEL_STATE_ACTIVATING)
        return;
    setChannelActiveState(dsrc::CHANNEL_STATE_FAILED);
    onActivateTimedOut();
}

}  // namespace vela
