#include "framework/eqbase/Channel.h"

#include <algorithm>
#include <future>

#include "framework/core/Clock.h"

#include "framework/core/Trace.h"

namespace eqbase {

using core::RCPtr;

Channel::Channel(const std::string& name)
    : m_channelName(name), m_worker(new core::SyncObjectMgr("ChannelThread", 0)) {
    m_worker->attachBegin(core::BoolCallBack(this, &Channel::beginThread));
    m_worker->attachEnd(core::BoolCallBack(this, &Channel::endThread));
    bindWorker(m_worker);
}

Channel::~Channel() = default;

bool Channel::startWorkThread() {
    return m_worker->start(2000);
}

bool Channel::stopWorkThread() {
    return m_worker->stop(INFINITE);
}

bool Channel::beginThread() {
    m_ending = false;
    m_service = new core::ServiceChannel(m_worker, false);
    onFinalConstruct();
    return onBeginWorkThread();
}

bool Channel::endThread() {
    // Applies still pending end with the thread.
    m_ending = true;
    while (!m_pending.empty()) {
        core::Status failed(-1);
        failed.setAdditionalInfo(-1, "channel ended");
        finishApply(m_pending.begin()->first, failed);
    }
    bool ok = onEndWorkThread();
    setActivation(nullptr);
    m_observer.reset();
    return ok;
}

bool Channel::call(const std::function<void()>& f) {
    if (m_worker->isCurrentThread()) {
        f();
        return true;
    }
    std::promise<void> done;
    auto finished = done.get_future();
    if (!m_worker->post([&] {
            f();
            done.set_value();
        }))
        return false;
    finished.wait();
    return true;
}

void Channel::setActivation(const RCPtr<core::RCObject>& activation) {
    if (m_activation != activation) {
        // Ended from inside a call into its sink: kept until that call returns (Delivery).
        if (m_deliveries > 0) {
            if (m_activation)
                m_endedDuringDelivery.push_back(std::move(m_activation));
            if (m_route)
                m_endedDuringDelivery.push_back(std::move(m_route));
        }
        m_route.reset();
    }
    m_activation = activation;
    m_activationSink = dynamic_cast<dsrc::DataSourceSink*>(activation.get());
    m_activationSource = dynamic_cast<dsrc::DataSource*>(activation.get());
}

bool Channel::deliverToActivation(const RCPtr<dsrc::DataSourceFrame>& frame) {
    // A sink that deactivates the channel from inside the call stays alive until it returns.
    Delivery delivery(*this);
    const dsrc::DataSourceChannelInfo* info = m_info.get();
    if (!m_activationSource)
        return m_activationSink->onDataSourceFrame(info, frame);
    if (!m_route || !m_route->isCurrent(info)) {
        // A delivery further out may still be inside the old route.
        if (m_route && m_deliveries > 1)
            m_endedDuringDelivery.push_back(std::move(m_route));
        m_route = m_activationSource->route(info);
    }
    return m_route->deliver(frame);
}

void Channel::releaseEndedDuringDelivery() {
    // Released after the list is emptied: a final release may call into the channel again.
    std::vector<RCPtr<core::RCObject>> ended;
    ended.swap(m_endedDuringDelivery);
}

bool Channel::setParent(Equipment* parent) {
    return call([&] {
        m_parent = parent;
        onSetParent(parent);
    });
}

bool Channel::setChannelInfo(const RCPtr<dsrc::DataSourceChannelInfo>& info) {
    return call([&] { onSetChannelInfo(info); });
}

RCPtr<core::RCObject> Channel::activate(const RCPtr<dsrc::DataSourceSink>& sink) {
    RCPtr<core::RCObject> result;
    call([&] {
        setChannelActiveState(dsrc::CHANNEL_STATE_ACTIVATING);
        result = onActivate(sink);
        setActivation(result);
        if (!result)
            setChannelActiveState(dsrc::CHANNEL_STATE_INACTIVE);
    });
    return result;
}

bool Channel::deactivate() {
    return call([&] {
        onDeactivate();
        setActivation(nullptr);
    });
}

RCPtr<core::PropertyStore> Channel::getPropertyStore() {
    RCPtr<core::PropertyStore> store;
    call([&] {
        store = onGetPropertyStore();
        if (!store)
            store = onCreatePropertyStore();
    });
    return store;
}

bool Channel::validatePropertyItem(Identity identity, core::Status& status) {
    bool ok = false;
    call([&] {
        auto store = onGetPropertyStore();
        auto item = store ? core::rcCast<core::PropertyItem>(store->get(identity)) : nullptr;
        if (!item) {
            status.setAdditionalInfo(-1, "no such setting");
            return;
        }
        ok = onValidatePropertyItem(*item, status);
        if (!ok && status.succeeded())
            status.setCode(-1);
    });
    return ok;
}

bool Channel::applyPropertyItem(Identity identity) {
    return m_worker->post([this, identity] {
        auto store = onGetPropertyStore();
        auto item = store ? core::rcCast<core::PropertyItem>(store->get(identity)) : nullptr;
        core::Status status(1);
        if (!item) {
            status.setAdditionalInfo(-1, "no such setting");
        } else if (m_pending.count(identity)) {
            status.setAdditionalInfo(-1, "an apply of this setting is under way");
        } else if (!onValidatePropertyItem(*item, status)) {
            if (status.succeeded())
                status.setAdditionalInfo(-1, "not valid");
        } else if (!item->hasApply()) {
            onAppliedPropertyItem(*item, status);  // nothing to send: the selection is taken
        } else {
            PendingApply pending;
            pending.item = item;
            pending.timer = std::make_unique<core::WaitableTimer>(1);
            pending.timer->registerCallBack(core::CallBack(this, [this, identity] {
                core::Status timedOut(-1);
                timedOut.setAdditionalInfo(-1, "apply timed out");
                core::ToggleTrace(20, "Channel::applyPropertyItem %s: apply of %llu timed out\n",
                                  m_channelName.c_str(), static_cast<unsigned long long>(identity));
                finishApply(identity, timedOut);
            }));
            m_worker->addSyncObject(pending.timer.get());
            pending.timer->setTimer(item->getApplyTimeout());
            m_pending.emplace(identity, std::move(pending));
            if (!onApplyPropertyItem(*item, status)) {
                if (status.succeeded())
                    status.setCode(-1);
                finishApply(identity, status);
            }
            return;
        }
        if (m_observer)
            m_observer->onApplyResult(*this, identity, status);
    });
}

void Channel::applyProperty(Identity identity, const core::Status& status) {
    CORE_ASSERT_ON_WORKER(m_worker);
    finishApply(identity, status);
}

void Channel::finishApply(Identity identity, const core::Status& status) {
    auto it = m_pending.find(identity);
    if (it == m_pending.end())
        return;  // already ended (timed out, or reported twice)
    PendingApply pending = std::move(it->second);
    m_pending.erase(it);
    m_worker->removeSyncObject(pending.timer.get());
    onAppliedPropertyItem(*pending.item, status);
    if (m_observer)
        m_observer->onApplyResult(*this, identity, status);
}

void Channel::setObserver(const RCPtr<ChannelObserver>& observer) {
    call([&] { m_observer = observer; });
}

void Channel::setChannelActiveState(int state) {
    CORE_ASSERT_ON_WORKER(m_worker);
    if (m_info)
        m_info->setChannelActiveState(state);
    bool changed = m_state != state;
    m_state = state;
    m_stateSnapshot = state;
    if (changed && m_observer)
        m_observer->onChannelActiveState(*this, state);
}

bool Channel::isRequestSupported(const std::string& name) const {
    return m_service && m_service->isAttached(name);
}
bool Channel::onBeginWorkThread() {
    return true;
}
bool Channel::onEndWorkThread() {
    return true;
}
void Channel::onSetParent(Equipment*) {}
void Channel::onSetChannelInfo(const RCPtr<dsrc::DataSourceChannelInfo>& info) {
    m_info = info;
}

RCPtr<core::RCObject> Channel::onActivate(const RCPtr<dsrc::DataSourceSink>&) {
    setChannelActiveState(dsrc::CHANNEL_STATE_ACTIVE);
    return RCPtr<core::RCObject>(this);
}

void Channel::onDeactivate() {
    if (m_state != dsrc::CHANNEL_STATE_INACTIVE && m_state != dsrc::CHANNEL_STATE_DEACTIVATED)
        setChannelActiveState(dsrc::CHANNEL_STATE_DEACTIVATING);
}

RCPtr<core::PropertyStore> Channel::onCreatePropertyStore() {
    return {};
}
RCPtr<core::PropertyStore> Channel::onGetPropertyStore() {
    return {};
}
Channel::Identity Channel::onRemovePropertyStore() {
    return 0;
}

bool Channel::onValidatePropertyItem(core::PropertyItem& item, core::Status& status) {
    return item.validate(status);
}

bool Channel::onApplyPropertyItem(core::PropertyItem& item, core::Status& status) {
    return item.apply(status);
}

void Channel::onAppliedPropertyItem(core::PropertyItem& item, const core::Status& status) {
    core::Status s(status);
    item.applied(s);
}

bool Channel::detachCallback(const std::string& name) {
    return m_service && m_service->detach(name);
}

bool Channel::doRequest(const RCPtr<core::Request>& request, RCPtr<core::Response>* response) {
    return m_service && m_service->doRequest(request, response);
}

bool Channel::sendResponse(const RCPtr<core::Response>& response) {
    return core::ServiceChannel::sendResponse(response);
}

bool Channel::addSyncObject(core::SyncObject* object) {
    return m_worker->addSyncObject(object);
}
bool Channel::removeSyncObject(core::SyncObject* object) {
    return m_worker->removeSyncObject(object);
}

bool ByteChannel::sendDataSourceFrame(const RCPtr<dsrc::DataSourceFrame>& frame) {
    if (!getActivationSink() || !frame)
        return false;
    if (m_blockMicros && frame->getTime() == 0)
        frame->setTime(m_blockMicros);
    return deliverToActivation(frame);
}

void ByteChannel::markBlockArrival() {
    m_blockMicros = std::max(m_blockMicros, static_cast<std::uint64_t>(core::Clock::wallMicros()));
}

ByteChannel::Dropped ByteChannel::getDropped() const {
    Dropped dropped;
    dropped.blocks = m_droppedBlocks.load(std::memory_order_relaxed);
    dropped.bytes = m_droppedBytes.load(std::memory_order_relaxed);
    dropped.frames = m_droppedFrames.load(std::memory_order_relaxed);
    return dropped;
}

void ByteChannel::countDropped(std::uint64_t blocks, std::uint64_t bytes, std::uint64_t frames) {
    m_droppedBlocks.fetch_add(blocks, std::memory_order_relaxed);
    m_droppedBytes.fetch_add(bytes, std::memory_order_relaxed);
    m_droppedFrames.fetch_add(frames, std::memory_order_relaxed);
}

RCPtr<core::RCObject> ByteChannel::onActivate(const RCPtr<dsrc::DataSourceSink>& sink) {
    return RCPtr<core::RCObject>(sink.get());
}

bool ByteChannel::onEndWorkThread() {
    return Channel::onEndWorkThread();
}

}  // namespace eqbase
