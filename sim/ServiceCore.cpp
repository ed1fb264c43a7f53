#include "sim/ServiceCore.h"

#include "sim/DataBlock.h"
#include "sim/DataProviderObject.h"
#include "sim/TargetObject.h"

#include "framework/core/Trace.h"

namespace sim {

// Never destroyed: objects that clients release during the process's exit still count.
std::atomic<long>& liveObjectCounter() {
    static auto* counter = new std::atomic<long>(0);
    return *counter;
}

std::mutex& liveObjectMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}

std::condition_variable& liveObjectChanged() {
    static auto* changed = new std::condition_variable;
    return *changed;
}

CountedObject::CountedObject() {
    ++liveObjectCounter();
}

CountedObject::~CountedObject() {
    {
        std::lock_guard<std::mutex> lock(liveObjectMutex());
        --liveObjectCounter();
    }
    liveObjectChanged().notify_all();
}

ServiceCore::ServiceCore() = default;

bool ServiceCore::waitUntil(const std::function<bool()>& condition,
                            std::chrono::milliseconds timeout, bool locked) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        std::uint64_t seen = generation;
        bool done;
        if (locked) {
            done = condition();
        } else {
            lock.unlock();
            done = condition();
            lock.lock();
        }
        if (done)
            return true;
        if (!changed.wait_until(lock, deadline, [&] { return generation != seen; }))
            return false;
    }
}

void ServiceCore::clientObjectMade() {
    {
        std::lock_guard<std::mutex> lock(m_clientMutex);
        ++m_clientObjects;
        m_hadClientObjects = true;
    }
    m_clientChanged.notify_all();
}

void ServiceCore::clientObjectGone() {
    {
        std::lock_guard<std::mutex> lock(m_clientMutex);
        if (m_clientObjects > 0)
            --m_clientObjects;
    }
    m_clientChanged.notify_all();
}

std::size_t ServiceCore::clientObjectCount() const {
    std::lock_guard<std::mutex> lock(m_clientMutex);
    return m_clientObjects;
}

bool ServiceCore::waitForLastClientObject(std::chrono::steady_clock::time_point deadline) const {
    std::unique_lock<std::mutex> lock(m_clientMutex);
    return m_clientChanged.wait_until(lock, deadline,
                                      [&] { return m_hadClientObjects && m_clientObjects == 0; });
}

ServiceCore::~ServiceCore() {
    serviceQueue.stop(EventQueue::Pending::Discard);
}

void ServiceCore::servePortLocked(int port) {
    if (!served.insert(port).second)
        return;
    auto it = phones.find(port);
    if (it == phones.end() || it->second->reported)
        return;
    it->second->reported = true;
    postServiceEvent(DebugMuxEvents::TargetConnected, it->second->object);
}

bool ServiceCore::unservePortLocked(int port) {
    if (served.erase(port) == 0)
        return false;
    auto it = phones.find(port);
    if (it != phones.end() && it->second->reported) {
        it->second->reported = false;
        postServiceEvent(DebugMuxEvents::TargetDisconnected, it->second->object);
    }
    return true;
}

std::vector<ITargetPtr> ServiceCore::reportedTargets() const {
    std::vector<ITargetPtr> targets;
    std::lock_guard<std::mutex> lock(mutex);
    for (auto& [port, phone] : phones)
        if (phone->reported)
            targets.push_back(phone->object);
    return targets;
}

void ServiceCore::postServiceEvent(DISPID dispid, ITargetPtr target) {
    std::weak_ptr<ServiceCore> weak = weak_from_this();
    const std::uint64_t epoch = m_epoch.load();
    serviceQueue.post([weak, dispid, target, epoch] {
        auto core = weak.lock();
        if (!core)
            return;
        std::vector<std::shared_ptr<ATL::CComConnectionPoint>> points;
        {
            std::lock_guard<std::mutex> lock(core->mutex);
            // An event of a process that has ended reaches nobody of the one that followed.
            if (core->goneFault(epoch))
                return;
            for (auto& w : core->servers)
                if (auto p = w.lock())
                    points.push_back(std::move(p));
        }
        core.reset();  // no lock and no reference of the service while the sinks run
        for (auto& p : points)
            p->fire(dispid, static_cast<IDispatch*>(target.GetInterfacePtr()));
    });
}

void ServiceCore::postTargetEvent(const std::shared_ptr<PhoneState>& phone, DISPID dispid,
                                  IDataProviderPtr provider) {
    ITargetPtr target = phone->object;
    if (!target || !phone->queue)
        return;
    const char* name = dispid == TargetEvents::NewDataProvider       ? "NewDataProvider"
                       : dispid == TargetEvents::DataProviderRemoved ? "DataProviderRemoved"
                                                                     : "DataProviderUnavailable";
    // A fault set on the event's name drops it: the change happens, nobody hears of it.
    if (faults.check({"_ITargetEvents"}, name, {phone.get()}, false)) {
        core::ToggleTrace(40, "ServiceCore::postTargetEvent %s of COM%d dropped\n", name,
                          phone->port);
        return;
    }
    phone->queue->post([target, dispid, provider] {
        auto* object = static_cast<TargetObject*>(target.GetInterfacePtr());
        object->events()->fire(dispid, static_cast<IDispatch*>(provider.GetInterfacePtr()));
    });
}

void ServiceCore::postDisconnected(const std::shared_ptr<ProviderState>& provider) {
    IDataProviderPtr object = provider->object;
    if (!object || !provider->queue)
        return;
    provider->queue->post([object] {
        static_cast<DataProviderObject*>(object.GetInterfacePtr())
            ->events()
            ->fire(DataProviderEvents::Disconnected);
    });
}

std::shared_ptr<ProviderState> ServiceCore::makeProvider(const std::shared_ptr<PhoneState>& phone,
                                                         SHORT id, const std::string& name,
                                                         const std::string& portName) {
    auto provider = std::make_shared<ProviderState>();
    provider->id = id;
    provider->name = name;
    provider->portName = portName;
    provider->port = phone->port;
    provider->phoneScope = phone.get();
    provider->object = DataProviderObject::create(weak_from_this(), provider);
    provider->queue = std::make_unique<EventQueue>("sim-provider");
    return provider;
}

void ServiceCore::retireProviderLocked(const std::shared_ptr<ProviderState>& provider) {
    if (!provider->present)
        return;
    provider->present = false;
    if (provider->connected) {
        provider->connected = false;
        postDisconnected(provider);
    }
    faults.clearScope(provider.get());
}

void ServiceCore::finishProvider(const std::shared_ptr<ProviderState>& provider,
                                 EventQueue::Pending pending) {
    if (provider->queue)
        provider->queue->stop(pending);
    IDataProviderPtr object;
    SendHandler handler;  // may hold a handle of the provider itself
    {
        std::lock_guard<std::mutex> lock(mutex);
        object = std::move(provider->object);
        handler = std::move(provider->onSend);
        provider->onSend = nullptr;
    }
    // Released without the lock: the object's connection point releases its sinks.
}

void ServiceCore::finishPhone(const std::shared_ptr<PhoneState>& phone,
                              EventQueue::Pending pending) {
    std::vector<std::shared_ptr<ProviderState>> providers;
    {
        std::lock_guard<std::mutex> lock(mutex);
        providers = phone->providers;
    }
    for (auto& provider : providers)
        finishProvider(provider, pending);
    if (phone->queue)
        phone->queue->stop(pending);
    ITargetPtr object;
    {
        std::lock_guard<std::mutex> lock(mutex);
        object = std::move(phone->object);
    }
}

std::vector<EventQueue*> ServiceCore::queuesLocked(std::vector<std::shared_ptr<void>>& keep) const {
    std::vector<EventQueue*> queues{const_cast<EventQueue*>(&serviceQueue)};
    for (auto& [port, phone] : phones) {
        keep.push_back(phone);
        queues.push_back(phone->queue.get());
        for (auto& provider : phone->providers) {
            keep.push_back(provider);
            queues.push_back(provider->queue.get());
        }
    }
    return queues;
}

}  // namespace sim
