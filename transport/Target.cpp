#include "transport/Target.h"

#include "framework/core/Trace.h"
#include "platform/com/ComPtr.h"
#include "platform/com/DebugMuxLib.h"
#include "platform/com/EnumVariant.h"
#include "transport/ClientSupport.h"
#include "transport/DataProvider.h"
#include "transport/DebugMux.h"
#include "transport/EETargetSink.h"
#include "transport/StreamReader.h"
#include "transport/StringRCObjectReq.h"

namespace vela {

using core::RCPtr;

namespace {

// The providers become known by events or, when none arrives this soon after "Setup", by
// enumerating the target's providers.
constexpr unsigned long kStartupMs = 300;

}  // namespace

// Handlers keep the target alive while they run: they may post it to its owner.
Target::Target(IUnknown* target, DebugMux* owner)
    : ClientObject("Target", "TargetThread", Naming::Suffixed, HandlerLifetime::Kept),
      m_spTarget(target),
      m_pOwner(owner) {
    startWorker();
}

Target::~Target() = default;

bool Target::onBeginWorkThread() {
    attach("Setup", &Target::onSetupReq);
    attach("IsTarget", &Target::onIsTargetReq);
    attach("GetId", &Target::onGetIdReq);
    attach("GetName", &Target::onGetNameReq);
    attach("GetPortName", &Target::onGetPortNameReq);
    attach("AttachChannel", &Target::onAttachChannelReq);
    attach("DetachChannel", &Target::onDetachChannelReq);
    attach("GetDataProvider", &Target::onGetDataProviderReq);
    attach("NewDataProvider", &Target::onNewDataProviderReq);
    attach("DataProviderRemoved", &Target::onDataProviderRemovedReq);
    attach("DataProviderUnavailable", &Target::onDataProviderUnavailableReq);
    attach("ClearOwner", &Target::onClearOwnerReq);
    return true;
}

bool Target::onEndWorkThread() {
    if (m_spSink) {
        // Once unadvised, the sink is not called again; then it forgets its owner.
        m_spSink->unadvise(m_spTarget);
        m_spSink->setOwner(nullptr);
        m_spSink = nullptr;
    }
    stopTimer();
    if (m_spChannels) {
        m_spChannels->clear();
        m_spChannels.reset();
    }
    if (m_spDataProviders) {
        m_spDataProviders->clear();
        m_spDataProviders.reset();
    }
    m_pOwner = nullptr;
    m_spTarget = nullptr;
    detachHandlers();
    return true;
}

// ---- Operations (any thread) -----------------------------------------------------------

void Target::setup() {
    post(new core::Request(requestName("Setup")));
}

bool Target::isTarget(const core::EString& portName) {
    return askStatus(new core::StringReq(requestName("IsTarget"), portName));
}

unsigned long Target::getId() {
    return static_cast<unsigned long>(askNumber("GetId"));
}

core::EString Target::getName() {
    return askString("GetName");
}

core::EString Target::getPortName() {
    return askString("GetPortName");
}

void Target::attachChannel(const core::EString& name, const RCPtr<core::RCObject>& channel) {
    post(new StringRCObjectReq(requestName("AttachChannel"), name, channel));
}

void Target::detachChannel(const core::EString& name) {
    call(new core::StringReq(requestName("DetachChannel"), name));
}

RCPtr<DataProvider> Target::getDataProvider(const core::EString& name) {
    return askObject<DataProvider>(new core::StringReq(requestName("GetDataProvider"), name));
}

void Target::newDataProvider(const RCPtr<DataProvider>& provider) {
    post(new core::RCObjectReq(requestName("NewDataProvider"), provider));
}

void Target::dataProviderRemoved(const RCPtr<DataProvider>& provider) {
    post(new core::RCObjectReq(requestName("DataProviderRemoved"), provider));
}

void Target::dataProviderUnavailable(const RCPtr<DataProvider>& provider) {
    post(new core::RCObjectReq(requestName("DataProviderUnavailable"), provider));
}

void Target::clearOwner() {
    call(new core::Request(requestName("ClearOwner")));
}

// ---- Handlers (on the worker) ----------------------------------------------------------

void Target::onSetupReq(core::Request&) {
    CORE_ASSERT_ON_WORKER(m_spWorker);
    if (m_spDataProviders)
        return;  // set up already
    m_spDataProviders = new DataProviderMap();
    m_spChannels = new ChannelMap();
    startTimer(kStartupMs, core::CallBack(this, &Target::onTimer));
    ATL::CComObject<EETargetSink>* sink = nullptr;
    if (FAILED(EETargetSink::create(&sink)) || !sink)
        return;
    m_spSink = sink;
    m_spSink->setOwner(this);
    m_spSink->advise(m_spTarget);
}

void Target::onTimer() {
    CORE_ASSERT_ON_WORKER(m_spWorker);
    RCPtr<Target> keep = selfRef();
    stopTimer();
    client::runGuarded("Target", "onTimer", [this] { enumerateDataProviders(); });
}

void Target::enumerateDataProviders() {
    ITargetPtr target(m_spTarget);
    if (!target)
        return;
    _variant_t value = target->GetDataProviders();
    client::forEachItem<IDataProviderPtr>(
        client::fromVariant<IDataProvidersPtr>(value), [this](const IDataProviderPtr& provider) {
            onNewDataProvider(RCPtr<DataProvider>(new DataProvider(provider)));
        });
}

void Target::onNewDataProvider(const RCPtr<DataProvider>& provider) {
    if (!provider) {
        core::ToggleTrace(20, "Target::onNewDataProvider NULL\n");
        return;
    }
    if (!m_spDataProviders) {
        core::ToggleTrace(20, "Target::onNewDataProvider - m_spDataProviders == NULL\n");
        return;
    }
    stopTimer();
    // A second object for a stream already known (same id) is not set up: it would advise a
    // second sink on the stream and compete with the stored one for the channel.
    if (!m_spDataProviders->insert(provider->getId(), provider))
        return;
    provider->setup();
    if (m_pOwner)
        if (RCPtr<Target> self = selfRef())
            m_pOwner->targetUpdated(self);
    if (!m_spChannels)
        return;
    const core::EString name = provider->getName();
    for (auto& [key, object] : *m_spChannels) {
        auto* channel = dynamic_cast<StreamReader*>(object);
        if (channel && key == name) {
            channel->setDataProvider(provider);
            break;
        }
    }
}

void Target::onDataProviderRemoved(const RCPtr<DataProvider>& provider) {
    if (!provider) {
        core::ToggleTrace(20, "Target::onDataProviderRemoved NULL\n");
        return;
    }
    if (!m_spDataProviders) {
        core::ToggleTrace(20, "Target::onDataProviderRemoved m_spDataProviders == NULL\n");
        return;
    }
    const unsigned short id = provider->getId();
    RCPtr<DataProvider>* found = m_spDataProviders->find(id);
    if (!found)
        return;
    RCPtr<DataProvider> stored = *found;
    m_spDataProviders->erase(id);
    if (m_spChannels) {
        const core::EString name = stored->getName();
        for (auto& [key, object] : *m_spChannels) {
            auto* channel = dynamic_cast<StreamReader*>(object);
            if (channel && key == name) {
                channel->setDataProvider(nullptr);
                break;
            }
        }
    }
}

RCPtr<DataProvider> Target::findByName(const core::EString& name) {
    if (!m_spDataProviders)
        return {};
    for (auto& [id, provider] : *m_spDataProviders)
        if (provider->getName() == name)
            return provider;
    return {};
}

void Target::onIsTargetReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_spWorker);
    long status = -1;
    auto* asked = client::requestAs<core::StringReq>(request);
    if (asked && m_spDataProviders) {
        for (auto& [id, provider] : *m_spDataProviders) {
            if (provider->getPortName() == asked->getString()) {
                status = 1;
                break;
            }
        }
    }
    core::ServiceChannel::sendResponse(new core::Response(request, core::Status(status, 0, 0)));
}

void Target::onGetIdReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_spWorker);
    ITargetPtr target(m_spTarget);
    auto id = static_cast<std::uint32_t>(target ? target->GetId() : 0);
    core::ServiceChannel::sendResponse(new core::NumberRsp(request, new core::EULong(id)));
}

void Target::onGetNameReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_spWorker);
    ITargetPtr target(m_spTarget);
    core::EString name =
        target ? core::EString(static_cast<const OLECHAR*>(target->GetName())) : core::EString();
    core::ServiceChannel::sendResponse(new core::StringRsp(request, name));
}

void Target::onGetPortNameReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_spWorker);
    core::EString portName;
    if (m_spDataProviders) {
        for (auto& [id, provider] : *m_spDataProviders) {
            portName = provider->getPortName();
            if (!portName.empty())
                break;
        }
    }
    core::ServiceChannel::sendResponse(new core::StringRsp(request, portName));
}

void Target::onAttachChannelReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_spWorker);
    auto* attached = dynamic_cast<StringRCObjectReq*>(&request);
    if (!attached)
        return;
    RCPtr<core::RCObject> object = attached->getObject();
    auto* channel = dynamic_cast<StreamReader*>(object.get());
    if (!channel)
        return;
    const core::EString& name = attached->getString();
    if (m_spChannels && !m_spChannels->insert(name, object.get())) {
        // The name is taken: the channel that holds it keeps it and its provider. The same
        // channel attached again is given its provider again (it keeps an equal binding).
        if (*m_spChannels->find(name) != object.get())
            return;
    }
    if (RCPtr<DataProvider> provider = findByName(name))
        channel->setDataProvider(provider);
}

void Target::onDetachChannelReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_spWorker);
    auto* detached = client::requestAs<core::StringReq>(request);
    if (detached && m_spChannels)
        m_spChannels->erase(detached->getString());
    core::ServiceChannel::sendResponse(new core::Response(request));
}

void Target::onGetDataProviderReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_spWorker);
    auto* asked = client::requestAs<core::StringReq>(request);
    RCPtr<DataProvider> provider = asked ? findByName(asked->getString()) : nullptr;
    core::ServiceChannel::sendResponse(new core::RCObjectRsp(request, provider));
}

void Target::onNewDataProviderReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_spWorker);
    onNewDataProvider(client::objectOf<DataProvider>(request));
}

void Target::onDataProviderRemovedReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_spWorker);
    onDataProviderRemoved(client::objectOf<DataProvider>(request));
}

void Target::onDataProviderUnavailableReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_spWorker);
    // The stream stays known and bound; only its identity is read.
    if (RCPtr<DataProvider> provider = client::objectOf<DataProvider>(request)) {
        provider->getId();
        provider->getName();
    }
}

void Target::onClearOwnerReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_spWorker);
    m_pOwner = nullptr;
    core::ServiceChannel::sendResponse(new core::Response(request));
}

}  // namespace vela
