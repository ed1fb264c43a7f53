#include "equipment/VelaEquipment.h"

#include "decoding/PrintServerChannel.h"
#include "equipment/VelaGuids.h"
#include "framework/combase/ComponentATL.h"
#include "session/TVP.h"
#include "transport/ATChannel.h"
#include "transport/DataProvider.h"
#include "transport/DebugMux.h"
#include "transport/Target.h"

namespace vela {

using core::RCPtr;

VelaEquipment::VelaEquipment() : eqbase::Equipment("VelaEquipment") {}

VelaEquipment::~VelaEquipment() = default;

void VelaEquipment::setTarget(const RCPtr<Target>& target) {
    RCPtr<core::RCObjectReq> request(new core::RCObjectReq("SetTarget", target));
    request->setSyncType(core::Request::POSTED);
    doRequest(request);
}

bool VelaEquipment::onBeginWorkThread() {
    if (!eqbase::Equipment::onBeginWorkThread())
        return false;
    bool registered =
        addChannelCreator(dsrc::CHANNEL_TYPE_TVP, &TVP::createObject) &&
        addChannelCreator(dsrc::CHANNEL_TYPE_PRINT_SERVER, &PrintServerChannel::createObject) &&
        addChannelCreator(dsrc::CHANNEL_TYPE_AT, &ATChannel::createObject);
    attachServiceRequest("SetTarget", &VelaEquipment::onSetTargetReq);
    return registered;
}

bool VelaEquipment::onEndWorkThread() {
    detachServiceRequest("SetTarget");
    removeChannelCreator(dsrc::CHANNEL_TYPE_PRINT_SERVER);
    removeChannelCreator(dsrc::CHANNEL_TYPE_TVP);
    removeChannelCreator(dsrc::CHANNEL_TYPE_AT);
    // The target knows the channels only by plain pointers: they leave it before they go.
    detachChannels();
    m_spTarget.reset();
    // The multiplexer knows this equipment by a plain pointer too.
    detachFromMultiplexer();
    bool ok = eqbase::Equipment::onEndWorkThread();
    m_spDebugMux.reset();
    m_spPropertyStore.reset();
    return ok;
}

RCPtr<eqbase::Channel> VelaEquipment::createChannel(
    const RCPtr<dsrc::DataSourceChannelInfo>& info) {
    return eqbase::Equipment::createChannel(info);
}

void VelaEquipment::detachFromMultiplexer() {
    if (m_spDebugMux && !m_attachedPort.empty())
        m_spDebugMux->detachEquipment(m_attachedPort, this);
    m_attachedPort.clear();
}

void VelaEquipment::onSetEquipmentInfo(const RCPtr<equip::EquipmentInfo>& info) {
    eqbase::Equipment::onSetEquipmentInfo(info);
    if (!info)
        return;
    auto channel =
        core::rcCast<equip::EquipmentChannelInfo>(info->getChannelInfo(dsrc::CHANNEL_TYPE_TVP));
    const std::string port = channel ? channel->getPortName() : std::string();
    if (!m_attachedPort.empty() && port != m_attachedPort) {
        // The phone is on another port now: the multiplexer forgets the old one first, and
        // the channels let go of the phone found there.
        detachFromMultiplexer();
        setStoredTarget(nullptr);
    }
    m_spDebugMux = DebugMux::getInstance();
    // A port without a name would match no phone: the equipment is not attached then (and so
    // has nothing to detach when it ends).
    if (!port.empty() && m_spDebugMux) {
        m_spDebugMux->attachEquipment(port, this);
        m_attachedPort = port;
    }
}

void VelaEquipment::onCreateChannels(const RCPtr<equip::EquipmentInfo>& info) {
    eqbase::Equipment::onCreateChannels(info);
    // The AT channel's info is neither visible nor selected as the detector makes it, so the
    // framework leaves it out and it is made here; a host that made it visible and selected
    // has had its channel made by the framework already, and one port takes one channel.
    RCPtr<dsrc::DataSourceChannelInfo> at = info->getChannelInfo(dsrc::CHANNEL_TYPE_AT);
    if (at && getChannel(at->getChannelGuid()))
        return;
    createChannel(at);
}

void VelaEquipment::attachChannels() {
    if (!m_spTarget)
        return;
    for (auto& [guid, channel] : getChannels()) {
        auto* vela = dynamic_cast<VelaChannel*>(channel.get());
        if (vela)
            m_spTarget->attachChannel(vela->getName(), vela);
    }
}

void VelaEquipment::detachChannels(bool phoneGone) {
    if (!m_spTarget)
        return;
    for (auto& [guid, channel] : getChannels()) {
        auto* vela = dynamic_cast<VelaChannel*>(channel.get());
        if (!vela)
            continue;
        m_spTarget->detachChannel(vela->getName());
        // The channel's provider belongs to the phone that went: the channel lets it go, so
        // that an active session shows it is coming up again and the next phone starts anew.
        if (phoneGone)
            vela->setDataProvider(nullptr);
    }
}

void VelaEquipment::onSetTargetReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(getWorker());
    auto* carrier = dynamic_cast<core::RCObjectReq*>(&request);
    RCPtr<Target> target = carrier ? core::rcCast<Target>(carrier->getObject()) : nullptr;
    if (!target && !m_spTarget)
        return;
    setStoredTarget(target);
}

void VelaEquipment::setStoredTarget(const RCPtr<Target>& target) {
    // A new phone object replaces the old one: the channels leave the old target first, so
    // that it never holds a pointer to a channel that went away.
    if (m_spTarget && m_spTarget != target)
        detachChannels(true);
    m_spTarget = target;
    attachChannels();
}

RCPtr<core::RCObject> VelaEquipment::onActivateChannel(const GUID& guid) {
    RCPtr<core::RCObject> result = eqbase::Equipment::onActivateChannel(guid);
    if (!result)
        return result;
    auto* vela = dynamic_cast<VelaChannel*>(getChannel(guid).get());
    if (vela) {
        std::string name = vela->getName();
        if (m_spTarget) {
            m_spTarget->attachChannel(name, vela);
        } else if (m_spDebugMux) {
            // No phone: the multiplexer service may have gone. Attached again, the multiplexer
            // makes a new one if it can, and hands over the phone when the service reports it.
            if (!m_attachedPort.empty())
                m_spDebugMux->attachEquipment(m_attachedPort, this);
        }
    }
    return result;
}

void VelaEquipment::onDeactivateChannel(const GUID& guid) {
    auto* vela = dynamic_cast<VelaChannel*>(getChannel(guid).get());
    if (vela) {
        std::string name = vela->getName();
        if (m_spTarget)
            m_spTarget->detachChannel(name);
    }
    eqbase::Equipment::onDeactivateChannel(guid);
}

RCPtr<core::PropertyStore> VelaEquipment::onCreatePropertyStore() {
    if (!m_spPropertyStore) {
        m_spPropertyStore = new core::PropertyStore(reinterpret_cast<Identity>(this), "", "");
        RCPtr<core::PropertyCategory> ue(
            new core::PropertyCategory(1, "UE", "General UE Description"));
        RCPtr<core::StringPropertyItem> imei(
            new core::StringPropertyItem(2, "IMEI", "Identification"));
        imei->addString("123456789", "", false);
        imei->setReadOnly(true);
        ue->insert(imei);
        m_spPropertyStore->insert(ue);
    }
    return m_spPropertyStore;
}

RCPtr<core::PropertyStore> VelaEquipment::onGetPropertyStore() {
    return m_spPropertyStore;
}

VelaEquipment::Identity VelaEquipment::onRemovePropertyStore() {
    if (!m_spPropertyStore)
        return 0;
    Identity identity = m_spPropertyStore->getIdentity();
    m_spPropertyStore.reset();
    return identity;
}

RCPtr<eqbase::Equipment> EEVelaEquipment::createEquipment() {
    return new VelaEquipment();
}

GUID EEVelaEquipment::getEquipmentGuid() const {
    return CLSID_VelaComponent;
}

bool EEVelaEquipmentCreatorClass::create(IUnknown** out) {
    return combase::createComObject<EEVelaEquipment, IEEEquipment>(out);
}

}  // namespace vela
