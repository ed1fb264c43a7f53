#include "framework/eqbase/Equipment.h"

#include <future>

namespace eqbase {

using core::RCPtr;

Equipment::Equipment(const std::string& name)
    : m_name(name), m_worker(new core::SyncObjectMgr("EquipmentThread", 0)) {
    m_worker->attachBegin(core::BoolCallBack(this, &Equipment::beginThread));
    m_worker->attachEnd(core::BoolCallBack(this, &Equipment::endThread));
    bindWorker(m_worker);
}

Equipment::~Equipment() = default;

bool Equipment::startWorkThread() {
    return m_worker->start(5000);
}
bool Equipment::stopWorkThread() {
    return m_worker->stop(INFINITE);
}

bool Equipment::beginThread() {
    m_service = new core::ServiceChannel(m_worker, false);
    onFinalConstruct();
    return onBeginWorkThread();
}

bool Equipment::endThread() {
    bool ok = onEndWorkThread();
    m_sink.reset();
    m_observer.reset();
    return ok;
}

bool Equipment::call(const std::function<void()>& f) {
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

bool Equipment::setEquipmentInfo(const RCPtr<equip::EquipmentInfo>& info) {
    return call([&] {
        onSetEquipmentInfo(info);
        if (info)
            onCreateChannels(info);
    });
}

void Equipment::setDataSourceSink(const RCPtr<dsrc::DataSourceSink>& sink) {
    call([&] { m_sink = sink; });
}

void Equipment::setChannelObserver(const RCPtr<ChannelObserver>& observer) {
    call([&] {
        m_observer = observer;
        // Channels made before the observer came are told of it too.
        for (auto& [guid, channel] : m_channels)
            channel->setObserver(observer);
    });
}

RCPtr<core::RCObject> Equipment::activateChannel(const GUID& channel) {
    RCPtr<core::RCObject> result;
    call([&] { result = onActivateChannel(channel); });
    return result;
}

bool Equipment::deactivateChannel(const GUID& channel) {
    return call([&] { onDeactivateChannel(channel); });
}

std::vector<std::pair<RCPtr<dsrc::DataSourceChannelInfo>, RCPtr<Channel>>>
Equipment::listChannels() {
    std::vector<std::pair<RCPtr<dsrc::DataSourceChannelInfo>, RCPtr<Channel>>> list;
    call([&] {
        if (!m_info)
            return;
        for (auto& info : m_info->getChannelInfos()) {
            auto it = m_channels.find(info->getChannelGuid());
            list.emplace_back(info, it == m_channels.end() ? nullptr : it->second);
        }
    });
    return list;
}

RCPtr<core::PropertyStore> Equipment::getPropertyStore() {
    RCPtr<core::PropertyStore> store;
    call([&] {
        store = onGetPropertyStore();
        if (!store)
            store = onCreatePropertyStore();
    });
    return store;
}

bool Equipment::setProperty(const std::string&, const std::string&) {
    return false;
}
bool Equipment::getProperty(const std::string&, std::string&) {
    return false;
}

bool Equipment::onBeginWorkThread() {
    return true;
}

bool Equipment::onEndWorkThread() {
    for (auto& [guid, channel] : m_channels) {
        int state = channel->getActiveStateSnapshot();
        if (state == dsrc::CHANNEL_STATE_ACTIVATING || state == dsrc::CHANNEL_STATE_ACTIVE)
            channel->deactivate();
        channel->stopWorkThread();
    }
    m_channels.clear();
    return true;
}

RCPtr<Channel> Equipment::createChannel(const RCPtr<dsrc::DataSourceChannelInfo>& info) {
    if (!info)
        return {};
    auto it = m_creators.find(info->getChannelType());
    if (it == m_creators.end())
        return {};
    core::Object* made = it->second();
    auto* raw = dynamic_cast<Channel*>(made);
    if (!raw) {
        delete made;
        return {};
    }
    RCPtr<Channel> channel(raw);
    if (!channel->startWorkThread()) {
        channel->stopWorkThread();
        return {};
    }
    if (m_observer)
        channel->setObserver(m_observer);
    channel->setParent(this);
    channel->setChannelInfo(info);
    m_channels[info->getChannelGuid()] = channel;
    return channel;
}

void Equipment::onSetEquipmentInfo(const RCPtr<equip::EquipmentInfo>& info) {
    m_info = info;
}

void Equipment::onCreateChannels(const RCPtr<equip::EquipmentInfo>& info) {
    for (auto& ci : info->getChannelInfos())
        if (ci->isVisible() && ci->isSelected() && !m_channels.count(ci->getChannelGuid()))
            createChannel(ci);
}

RCPtr<core::RCObject> Equipment::onActivateChannel(const GUID& channel) {
    auto c = getChannel(channel);
    return c ? c->activate(m_sink) : nullptr;
}

void Equipment::onDeactivateChannel(const GUID& channel) {
    if (auto c = getChannel(channel))
        c->deactivate();
}

bool Equipment::onValidatePropertyItem(core::PropertyItem& item, core::Status& status) {
    return item.validate(status);
}
bool Equipment::onApplyPropertyItem(core::PropertyItem& item, core::Status& status) {
    return item.apply(status);
}
void Equipment::onAppliedPropertyItem(core::PropertyItem&, const core::Status&) {}
RCPtr<core::PropertyStore> Equipment::onCreatePropertyStore() {
    return {};
}
RCPtr<core::PropertyStore> Equipment::onGetPropertyStore() {
    return {};
}
Equipment::Identity Equipment::onRemovePropertyStore() {
    return 0;
}

bool Equipment::addChannelCreator(int channelType, core::Object::Creator creator) {
    if (!creator)
        return false;
    return m_creators.emplace(channelType, creator).second;
}

bool Equipment::removeChannelCreator(int channelType) {
    return m_creators.erase(channelType) != 0;
}

bool Equipment::detachServiceRequest(const std::string& name) {
    return m_service && m_service->detach(name);
}

bool Equipment::doRequest(const RCPtr<core::Request>& request, RCPtr<core::Response>* response) {
    return m_service && m_service->doRequest(request, response);
}

RCPtr<Channel> Equipment::getChannel(const GUID& channel) const {
    auto it = m_channels.find(channel);
    return it == m_channels.end() ? nullptr : it->second;
}

CLSIDToEquipment& CLSIDToEquipment::instance() {
    static CLSIDToEquipment* map = new CLSIDToEquipment;
    return *map;
}

}  // namespace eqbase

namespace eqbase {
ATLModuleRegistratorHelper& ATLModuleRegistratorHelper::instance() {
    static ATLModuleRegistratorHelper* helper = new ATLModuleRegistratorHelper;
    return *helper;
}
}  // namespace eqbase
