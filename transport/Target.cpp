#include "transport/Target.h"

#include <iterator>

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

// Handlers in the order they are attached; detached in the reverse order.
const char* const kRequests[] = {"Setup",
                                 "IsTarget",
                                 "GetId",
                                 "GetName",
                                 "GetPortName",
                                 "AttachChannel",
                                 "DetachChannel",
                                 "GetDataProvider",
                                 "NewDataProvider",
                                 "DataProviderRemoved",
                                 "DataProviderUnavailable",
                                 "ClearOwner"};

// The providers become known by events or, when none arrives this soon after "Setup", by
// enumerating the target's providers.
constexpr unsigned long kStartupMs = 300;

RCPtr<DataProvider> providerOf(core::Request& request) {
    auto* carrier = dynamic_cast<core::RCObjectReq*>(&request);
    return carrier ? core::rcCast<DataProvider>(carrier->getObject()) : nullptr;
}

}  // namespace

Target::Target(IUnknown* target, DebugMux* owner)
    : m_spWorker(new core::SyncObjectMgr("TargetThread", 0)),
      m_pOwner(owner),
      m_suffix(client::identitySuffix(this)) {
    if (target)
        platform::com::queryInterface(target, IID_IDispatch, &m_pTarget);
    m_spWorker->attachBegin(core::BoolCallBack(this, &Target::onBeginWorkThread));
    m_spWorker->attachEnd(core::BoolCallBack(this, &Target::onEndWorkThread));
    // The final release stops the worker, while the whole object exists.
    bindWorker(m_spWorker);
    m_spWorker->start(2000);
}

Target::~Target() {
    // Set only when the worker never ran its end callback (it did not start).
    if (m_pTarget)
        m_pTarget->Release();
}

RCPtr<Target> Target::selfRef() {
    if (!tryAddref())
        return {};
    RCPtr<Target> self(this);
    release();  // the reference tryAddref took; self holds its own
    return self;
}

void Target::attach(const char* name, void (Target::*handler)(core::Request&)) {
    m_spService->attach(requestName(name),
                        client::guard("Target", name, [this, handler](core::Request& r) {
                            // Kept alive while the handler runs: it may post itself.
                            RCPtr<Target> keep = selfRef();
                            (this->*handler)(r);
                        }));
}

bool Target::onBeginWorkThread() {
    m_spService = new core::ServiceChannel(m_spWorker, false);
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
    if (m_pSink) {
        // Once unadvised, the sink is not called again; then it forgets its owner.
        m_pSink->unadvise(m_pTarget);
        m_pSink->setOwner(nullptr);
        m_pSink->Release();
        m_pSink = nullptr;
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
    if (m_pTarget) {
        m_pTarget->Release();
        m_pTarget = nullptr;
    }
    for (auto it = std::rbegin(kRequests); it != std::rend(kRequests); ++it)
        m_spService->detach(requestName(*it));
    return true;
}

bool Target::call(const RCPtr<core::Request>& request, RCPtr<core::Response>* response) {
    return m_spService && m_spService->doRequest(request, response);
}

void Target::post(const RCPtr<core::Request>& request) {
    request->setSyncType(core::Request::POSTED);
    call(request);
}

// ---- Operations (any thread) -----------------------------------------------------------

void Target::setup() {
    post(new core::Request(requestName("Setup")));
}

bool Target::isTarget(const core::EString& portName) {
    RCPtr<core::Response> response;
    if (!call(new core::StringReq(requestName("IsTarget"), portName), &response))
        return false;
    return response && response->getStatus().succeeded();
}

unsigned long Target::getId() {
    RCPtr<core::Response> response;
    if (!call(new core::Request(requestName("GetId")), &response))
        return 0;
    auto answer = core::rcCast<core::NumberRsp>(response);
    if (!answer || !answer->getNumber())
        return 0;
    return static_cast<unsigned long>(answer->getNumber()->toULongLong());
}

core::EString Target::getName() {
    RCPtr<core::Response> response;
    if (!call(new core::Request(requestName("GetName")), &response))
        return {};
    auto answer = core::rcCast<core::StringRsp>(response);
    return answer ? answer->getString() : core::EString();
}

core::EString Target::getPortName() {
    RCPtr<core::Response> response;
    if (!call(new core::Request(requestName("GetPortName")), &response))
        return {};
    auto answer = core::rcCast<core::StringRsp>(response);
    return answer ? answer->getString() : core::EString();
}

void Target::attachChannel(const core::EString& name, const RCPtr<core::RCObject>& channel) {
    post(new StringRCObjectReq(requestName("AttachChannel"), name, channel));
}

void Target::detachChannel(const core::EString& name) {
    call(new core::StringReq(requestName("DetachChannel"), name));
}

RCPtr<DataProvider> Target::getDataProvider(const core::EString& name) {
    RCPtr<core::Response> response;
    if (!call(new core::StringReq(requestName("GetDataProvider"), name), &response))
        return {};
    auto answer = core::rcCast<core::RCObjectRsp>(response);
    return answer ? core::rcCast<DataProvider>(answer->getObject()) : nullptr;
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
    m_pTimer = new core::WaitableTimer(1, nullptr, nullptr);
    m_pTimer->registerCallBack(this, &Target::onTimer);
    m_pTimer->setTimer(kStartupMs);
    m_spWorker->addSyncObject(m_pTimer);
    ATL::CComObject<EETargetSink>* sink = nullptr;
    if (FAILED(EETargetSink::create(&sink)) || !sink)
        return;
    sink->AddRef();
    m_pSink = sink;
    m_pSink->setOwner(this);
    m_pSink->advise(m_pTarget);
}

void Target::stopTimer() {
    if (!m_pTimer)
        return;
    m_pTimer->cancelWaitableTimer();
    m_spWorker->removeSyncObject(m_pTimer);
    delete m_pTimer;
    m_pTimer = nullptr;
}

void Target::onTimer() {
    CORE_ASSERT_ON_WORKER(m_spWorker);
    RCPtr<Target> keep = selfRef();
    stopTimer();
    client::runGuarded("Target", "onTimer", [this] { enumerateDataProviders(); });
}

void Target::enumerateDataProviders() {
    ITargetPtr target(m_pTarget);
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
    auto* asked = dynamic_cast<core::StringReq*>(&request);
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
    ITargetPtr target(m_pTarget);
    auto id = static_cast<std::uint32_t>(target ? target->GetId() : 0);
    core::ServiceChannel::sendResponse(new core::NumberRsp(request, new core::EULong(id)));
}

void Target::onGetNameReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_spWorker);
    ITargetPtr target(m_pTarget);
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
    auto* detached = dynamic_cast<core::StringReq*>(&request);
    if (detached && m_spChannels)
        m_spChannels->erase(detached->getString());
    core::ServiceChannel::sendResponse(new core::Response(request));
}

void Target::onGetDataProviderReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_spWorker);
    auto* asked = dynamic_cast<core::StringReq*>(&request);
    RCPtr<DataProvider> provider = asked ? findByName(asked->getString()) : nullptr;
    core::ServiceChannel::sendResponse(new core::RCObjectRsp(request, provider));
}

void Target::onNewDataProviderReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_spWorker);
    onNewDataProvider(providerOf(request));
}

void Target::onDataProviderRemovedReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_spWorker);
    onDataProviderRemoved(providerOf(request));
}

void Target::onDataProviderUnavailableReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_spWorker);
    // The stream stays known and bound; only its identity is read.
    if (RCPtr<DataProvider> provider = providerOf(request)) {
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
