#include "transport/DebugMux.h"

#include <mutex>

#include "framework/core/Trace.h"
#include "platform/com/ClassRegistry.h"
#include "platform/com/ComPtr.h"
#include "platform/com/DebugMuxLib.h"
#include "platform/com/EnumVariant.h"
#include "transport/ClientSupport.h"
#include "transport/EEDebugMuxSink.h"
#include "transport/StringRCObjectReq.h"
#include "transport/Target.h"
#include "transport/TargetUser.h"

namespace vela {

using core::RCPtr;

namespace {

// The targets become known by events or, when none arrives this soon after the start, by
// enumerating the service's targets.
constexpr unsigned long kStartupMs = 3000;

// How often the service is asked whether it is still there (IDispatch::GetTypeInfoCount: one
// round trip that every automation object answers and that changes nothing).
constexpr unsigned long kServiceCheckMs = 2000;

// The process's instance. Guarded by instanceMutex(): equipments may ask for it from several
// threads at once, and the destructor clears it while another thread may be asking.
DebugMux* s_pInstance = nullptr;

std::mutex& instanceMutex() {
    static std::mutex mutex;
    return mutex;
}

// "DetachEquipment" from the equipment that holds the port: names it by its address.
class DetachOwnEquipmentReq : public core::StringReq {
  public:
    DetachOwnEquipmentReq(const core::EString& portName, const core::RCObject* equipment)
        : core::StringReq("DetachEquipment", portName), m_equipment(equipment) {}
    Object* copy() const override { return new DetachOwnEquipmentReq(*this); }
    const core::RCObject* equipment() const { return m_equipment; }

  private:
    const core::RCObject* m_equipment;
};

}  // namespace

RCPtr<DebugMux> DebugMux::getInstance() {
    std::lock_guard<std::mutex> lock(instanceMutex());
    // An instance whose count has dropped to zero is being destroyed: make a new one.
    if (s_pInstance && s_pInstance->tryAddref()) {
        RCPtr<DebugMux> instance(s_pInstance);
        s_pInstance->release();  // the reference tryAddref took
        return instance;
    }
    RCPtr<DebugMux> instance(new DebugMux());
    s_pInstance = instance.get();
    return instance;
}

DebugMux::DebugMux() : ClientObject("DebugMux", "DebugMuxThread", Naming::Plain) {
    startWorker();
}

DebugMux::~DebugMux() {
    {
        std::lock_guard<std::mutex> lock(instanceMutex());
        if (s_pInstance == this)
            s_pInstance = nullptr;
    }
}

bool DebugMux::onBeginWorkThread() {
    attach("AttachEquipment", &DebugMux::onAttachEquipmentReq);
    attach("DetachEquipment", &DebugMux::onDetachEquipmentReq);
    attach("GetTarget", &DebugMux::onGetTargetReq);
    attach("TargetConnected", &DebugMux::onTargetConnectedReq);
    attach("TargetDisconnected", &DebugMux::onTargetDisconnectedReq);
    attach("TargetUpdated", &DebugMux::onTargetUpdatedReq);

    startTimer(kStartupMs, core::CallBack(this, &DebugMux::onTimer));

    m_spTargets = new TargetMap();
    m_spEquipments = new EquipmentMap();

    createService(true);
    return true;
}

HRESULT DebugMux::createService(bool reportMissing) {
    // Made through IUnknown and started, as a server expects; a service that is missing
    // leaves the pointer null.
    HRESULT hr = m_spMultiplexer.CreateInstance(CLSID_DebugMuxServer, nullptr, CLSCTX_ALL);
    if (!m_spSink) {
        ATL::CComObject<EEDebugMuxSink>* sink = nullptr;
        if (SUCCEEDED(EEDebugMuxSink::create(&sink)) && sink) {
            m_spSink = sink;
            m_spSink->setOwner(this);
        }
    }
    // A missing service is reported by the sink's failed advise when the worker starts; a
    // later attempt advises only a service that was made.
    if (m_spSink && (reportMissing || m_spMultiplexer))
        m_spSink->advise(m_spMultiplexer);
    if (m_spMultiplexer)
        startCheckTimer();
    return m_spMultiplexer ? S_OK : (FAILED(hr) ? hr : E_NOINTERFACE);
}

void DebugMux::reopenService() {
    HRESULT hr = createService(false);
    if (FAILED(hr)) {
        if (m_serviceLost)
            core::ToggleTrace(20,
                              "DebugMux::reopenService - the debug-multiplexer service cannot be "
                              "started again (%s)\n",
                              core::HResult(hr).stringValue().c_str());
        return;
    }
    if (m_serviceLost)
        core::ToggleTrace(40, "DebugMux::reopenService - the debug-multiplexer service is back\n");
    m_serviceLost = false;
    // As at the start: the phones come by events, or by the enumeration if none does; the
    // ports of the equipments are served again.
    startTimer(kStartupMs, core::CallBack(this, &DebugMux::onTimer));
    if (m_spEquipments)
        for (auto& [port, equipment] : *m_spEquipments)
            openPort(port);
}

void DebugMux::releaseService() {
    stopCheckTimer();
    if (m_spSink) {
        // Once unadvised, the sink is not called again; then it forgets its owner.
        m_spSink->unadvise(m_spMultiplexer);
        m_spSink->setOwner(nullptr);
        m_spSink = nullptr;
    }
    m_spMultiplexer = nullptr;
}

void DebugMux::startCheckTimer() {
    stopCheckTimer();
    m_pCheckTimer = new core::WaitableTimer(1, nullptr, nullptr);
    m_pCheckTimer->registerCallBack(this, &DebugMux::onCheckTimer);
    m_pCheckTimer->setTimer(kServiceCheckMs);
    m_spWorker->addSyncObject(m_pCheckTimer);
}

void DebugMux::stopCheckTimer() {
    if (!m_pCheckTimer)
        return;
    m_pCheckTimer->cancelWaitableTimer();
    m_spWorker->removeSyncObject(m_pCheckTimer);
    delete m_pCheckTimer;
    m_pCheckTimer = nullptr;
}

void DebugMux::onCheckTimer() {
    CORE_ASSERT_ON_WORKER(m_spWorker);
    stopCheckTimer();
    if (!m_spMultiplexer)
        return;
    UINT count = 0;
    HRESULT hr = m_spMultiplexer->GetTypeInfoCount(&count);
    if (client::serviceGone(hr)) {
        onServiceLost(hr);
        return;
    }
    startCheckTimer();
}

void DebugMux::onServiceLost(HRESULT hr) {
    core::ToggleTrace(20,
                      "DebugMux::onServiceLost - the debug-multiplexer service went away (%s)\n",
                      core::HResult(hr).stringValue().c_str());
    m_serviceLost = true;
    stopTimer();  // an enumeration of the service that went has nothing to find
    // The phones it reported went with it. A target's port name cannot be asked of a service
    // that has gone, so every attached equipment is told that its phone went (one that had
    // none does nothing).
    if (m_spTargets) {
        for (auto& [id, target] : *m_spTargets)
            target->clearOwner();
        m_spTargets->clear();
    }
    if (m_spEquipments)
        for (auto& [port, equipment] : *m_spEquipments)
            if (auto* user = dynamic_cast<TargetUser*>(equipment))
                user->setTarget(nullptr);
    releaseService();
    reopenService();
}

bool DebugMux::onEndWorkThread() {
    // Targets may outlive this object (equipments hold them): they stop reporting to it
    // before it goes.
    if (m_spTargets)
        for (auto& [id, target] : *m_spTargets)
            target->clearOwner();
    if (m_spEquipments) {
        m_spEquipments->clear();
        m_spEquipments.reset();
    }
    if (m_spTargets) {
        m_spTargets->clear();
        m_spTargets.reset();
    }
    releaseService();
    stopTimer();
    detachHandlers();
    return true;
}

// ---- Operations (any thread) -----------------------------------------------------------

void DebugMux::attachEquipment(const core::EString& portName,
                               const RCPtr<core::RCObject>& equipment) {
    post(new StringRCObjectReq("AttachEquipment", portName, equipment));
}

void DebugMux::detachEquipment(const core::EString& portName, const core::RCObject* equipment) {
    if (equipment)
        call(new DetachOwnEquipmentReq(portName, equipment));
    else
        call(new core::StringReq("DetachEquipment", portName));
}

RCPtr<Target> DebugMux::getTarget(const core::EString& portName) {
    return askObject<Target>(new core::StringReq("GetTarget", portName));
}

void DebugMux::targetConnected(const RCPtr<Target>& target) {
    post(new core::RCObjectReq("TargetConnected", target));
}

void DebugMux::targetDisconnected(const RCPtr<Target>& target) {
    post(new core::RCObjectReq("TargetDisconnected", target));
}

void DebugMux::targetUpdated(const RCPtr<Target>& target) {
    post(new core::RCObjectReq("TargetUpdated", target));
}

// ---- Handlers (on the worker) ----------------------------------------------------------

void DebugMux::onTimer() {
    CORE_ASSERT_ON_WORKER(m_spWorker);
    stopTimer();
    client::runGuarded("DebugMux", "onTimer", [this] { enumerateTargets(); });
}

void DebugMux::enumerateTargets() {
    IDebugMuxPtr multiplexer(m_spMultiplexer);
    if (!multiplexer)
        return;
    _variant_t value = multiplexer->GetTargets();
    client::forEachItem<ITargetPtr>(client::fromVariant<ITargetsPtr>(value),
                                    [this](const ITargetPtr& target) {
                                        onTargetConnected(RCPtr<Target>(new Target(target, this)));
                                    });
}

void DebugMux::giveTarget(const core::EString& portName, const RCPtr<Target>& target) {
    // A target whose streams are not known yet has no port name: it belongs to no equipment.
    if (!m_spEquipments || portName.empty())
        return;
    core::RCObject** entry = m_spEquipments->find(portName);
    if (!entry)
        return;
    if (auto* user = dynamic_cast<TargetUser*>(*entry))
        user->setTarget(target);
}

void DebugMux::onTargetConnected(const RCPtr<Target>& target) {
    if (!target) {
        core::ToggleTrace(20, "DebugMux::onTargetConnected NULL\n");
        return;
    }
    if (!m_spTargets) {
        core::ToggleTrace(20, "DebugMux::onTargetConnected m_spTargets == NULL\n");
        return;
    }
    stopTimer();
    // A second object for a phone already known (same id) is not set up: it would advise a
    // second sink on the phone and be handed to its equipment in place of the stored one.
    if (!m_spTargets->insert(target->getId(), target))
        return;
    target->setup();
    if (!m_spEquipments)
        return;
    giveTarget(target->getPortName(), target);
}

void DebugMux::onTargetDisconnected(const RCPtr<Target>& target) {
    if (!target) {
        core::ToggleTrace(20, "DebugMux::onTargetDisconnected NULL\n");
        return;
    }
    if (!m_spTargets)
        return;
    const unsigned long id = target->getId();
    RCPtr<Target>* found = m_spTargets->find(id);
    if (!found)
        return;
    RCPtr<Target> stored = *found;
    m_spTargets->erase(id);
    if (m_spEquipments && !m_spEquipments->empty())
        giveTarget(stored->getPortName(), nullptr);
    // Others may still hold the target, and it still hears of its phone's streams: it stops
    // reporting them to this object, which may be gone by then.
    stored->clearOwner();
}

void DebugMux::onTargetUpdated(const RCPtr<Target>& target) {
    if (!target || !m_spEquipments || !m_spTargets)
        return;
    // Only a target that is still connected is handed out: an update that was under way
    // when its phone went must not bind the equipment to the gone phone again.
    bool stored = false;
    for (auto& [id, known] : *m_spTargets) {
        if (known == target) {
            stored = true;
            break;
        }
    }
    if (stored)
        giveTarget(target->getPortName(), target);
}

void DebugMux::openPort(core::EString portName) {
    portName = portName.toUpper();
    const std::size_t at = portName.find("COM");
    if (at == std::string::npos)
        return;
    const std::string number = portName.substr(at + 3);
    // Only a plain decimal number of a port that exists (0-255) is asked for: anything else
    // would be read as some other port.
    bool valid = !number.empty() && number.size() <= 8;
    unsigned long value = 0;
    for (char c : number) {
        if (c < '0' || c > '9') {
            valid = false;
            break;
        }
        value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    if (!valid || value > 255) {
        core::ToggleTrace(20, "DebugMux::openPort - no port number in %s\n", portName.c_str());
        return;
    }
    core::EByte port(static_cast<std::uint8_t>(value));
    IDebugMuxPortsPtr ports(m_spMultiplexer);
    if (!ports)
        return;
    if (ports->HasPort(port) == VARIANT_FALSE)
        ports->AddPort(port);
}

void DebugMux::onAttachEquipmentReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_spWorker);
    auto* attached = client::requestAs<StringRCObjectReq>(request);
    if (!attached)
        return;
    RCPtr<core::RCObject> object = attached->getObject();
    auto* user = dynamic_cast<TargetUser*>(object.get());
    if (!user)
        return;
    // A service that is missing (it went away, or was not there when this object started) is
    // made now if it can be: an equipment attaches again when it activates a channel without
    // a phone.
    if (!m_spMultiplexer)
        reopenService();
    const core::EString& portName = attached->getString();
    if (portName.empty()) {
        // A port without a name matches no phone (every phone has none until its streams are
        // known).
        core::ToggleTrace(20, "DebugMux::onAttachEquipmentReq - no port name, not attached\n");
        return;
    }
    bool stored = true;
    if (m_spEquipments && !m_spEquipments->insert(portName, object.get()))
        // The port is taken: the equipment that holds it keeps its phone.
        stored = *m_spEquipments->find(portName) == object.get();
    openPort(portName);
    if (!stored || !m_spTargets)
        return;
    for (auto& [id, target] : *m_spTargets) {
        if (target->getPortName() == portName) {
            user->setTarget(target);
            break;
        }
    }
}

void DebugMux::onDetachEquipmentReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_spWorker);
    auto* detached = client::requestAs<core::StringReq>(request);
    if (detached && m_spEquipments) {
        // An equipment that names itself lets the port go only when it is the one holding it.
        auto* own = dynamic_cast<DetachOwnEquipmentReq*>(detached);
        core::RCObject** entry = m_spEquipments->find(detached->getString());
        if (entry && (!own || *entry == own->equipment()))
            m_spEquipments->erase(detached->getString());
    }
    core::ServiceChannel::sendResponse(new core::Response(request));
}

void DebugMux::onGetTargetReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_spWorker);
    auto* asked = client::requestAs<core::StringReq>(request);
    RCPtr<Target> result;
    if (asked && m_spTargets) {
        for (auto& [id, target] : *m_spTargets) {
            if (target->isTarget(asked->getString())) {
                result = target;
                break;
            }
        }
    }
    core::ServiceChannel::sendResponse(new core::RCObjectRsp(request, result));
}

void DebugMux::onTargetConnectedReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_spWorker);
    onTargetConnected(client::objectOf<Target>(request));
}

void DebugMux::onTargetDisconnectedReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_spWorker);
    onTargetDisconnected(client::objectOf<Target>(request));
}

void DebugMux::onTargetUpdatedReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_spWorker);
    onTargetUpdated(client::objectOf<Target>(request));
}

}  // namespace vela
