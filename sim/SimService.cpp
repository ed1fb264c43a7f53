#include "sim/SimService.h"

#include <algorithm>
#include <stdexcept>

#include "sim/DataBlock.h"
#include "sim/DataProviderObject.h"
#include "sim/DebugMuxServer.h"
#include "sim/ServiceCore.h"
#include "sim/TargetObject.h"

namespace sim {

namespace {

std::string portName(int port) {
    return "COM" + std::to_string(port);
}

void requireError(HRESULT hr) {
    if (SUCCEEDED(hr))
        throw std::invalid_argument("an injected failure needs an error HRESULT");
}

void addFault(ServiceCore& core, const std::string& method, const void* scope, HRESULT hr,
              bool answerFalse, bool persistent) {
    if (!answerFalse)
        requireError(hr);
    core.faults.add(method, scope, hr, answerFalse, persistent);
}

}  // namespace

// ---- ProviderHandle -------------------------------------------------------------------

bool ProviderHandle::waitUntil(const std::function<bool()>& condition, Timeout timeout) const {
    if (!m_state)
        return false;
    return m_core->waitUntil(condition, timeout, true);
}

bool ProviderHandle::present() const {
    if (!m_state)
        return false;
    std::lock_guard<std::mutex> lock(m_core->mutex);
    return m_state->present;
}

SHORT ProviderHandle::id() const {
    return m_state ? m_state->id : 0;
}
std::string ProviderHandle::name() const {
    return m_state ? m_state->name : std::string();
}
std::string ProviderHandle::portName() const {
    return m_state ? m_state->portName : std::string();
}
int ProviderHandle::port() const {
    return m_state ? m_state->port : 0;
}

IDataProviderPtr ProviderHandle::object() const {
    if (!m_state)
        return nullptr;
    std::lock_guard<std::mutex> lock(m_core->mutex);
    return m_state->object;
}

bool ProviderHandle::inject(Bytes bytes) {
    std::vector<Bytes> blocks;
    blocks.push_back(std::move(bytes));
    return injectAll(std::move(blocks));
}

bool ProviderHandle::injectAll(std::vector<Bytes> blocks) {
    if (!m_state)
        return false;
    std::lock_guard<std::mutex> lock(m_core->mutex);
    if (!m_state->present)
        return false;
    m_state->injected += blocks.size();
    std::weak_ptr<ServiceCore> weakCore = m_core;
    std::weak_ptr<ProviderState> weakState = m_state;
    IDataProviderPtr object = m_state->object;
    const void* scope = m_state.get();
    const void* phoneScope = m_state->phoneScope;
    std::shared_ptr<SpareBytes> spares = m_state->spares;
    return m_state->queue->post([weakCore, weakState, object, scope, phoneScope, spares,
                                 blocks = std::move(blocks)]() mutable {
        for (Bytes& bytes : blocks) {
            IDataBlock* block = nullptr;
            // The block takes the bytes, and gives them to the spares when it goes; the array
            // its Data hands the sink is made from them.
            if (SUCCEEDED(DataBlock::create(weakCore, std::move(bytes), scope, phoneScope, &block,
                                            spares))) {
                static_cast<DataProviderObject*>(object.GetInterfacePtr())
                    ->events()
                    ->fire(DataProviderEvents::DataAvailable, static_cast<IDispatch*>(block));
                block->Release();
            }
        }
        auto core = weakCore.lock();
        auto state = weakState.lock();
        if (!core || !state)
            return;
        {
            std::lock_guard<std::mutex> l(core->mutex);
            state->delivered += blocks.size();
        }
        core->notify();
    });
}

Bytes ProviderHandle::spare() const {
    return m_state ? m_state->spares->take() : Bytes();
}

void ProviderHandle::takeSpares(std::vector<Bytes>& out) const {
    if (m_state)
        m_state->spares->takeAll(out);
}

bool ProviderHandle::closeStream() {
    if (!m_state)
        return false;
    {
        std::lock_guard<std::mutex> lock(m_core->mutex);
        if (!m_state->present || !m_state->connected)
            return false;
        m_state->connected = false;
        m_core->postDisconnected(m_state);
    }
    m_core->notify();
    return true;
}

bool ProviderHandle::isConnected() const {
    if (!m_state)
        return false;
    std::lock_guard<std::mutex> lock(m_core->mutex);
    return m_state->connected;
}

std::size_t ProviderHandle::connectCalls() const {
    if (!m_state)
        return 0;
    std::lock_guard<std::mutex> lock(m_core->mutex);
    return m_state->connectCalls;
}

std::size_t ProviderHandle::disconnectCalls() const {
    if (!m_state)
        return 0;
    std::lock_guard<std::mutex> lock(m_core->mutex);
    return m_state->disconnectCalls;
}

std::vector<Bytes> ProviderHandle::sentBlocks() const {
    if (!m_state)
        return {};
    std::lock_guard<std::mutex> lock(m_core->mutex);
    return m_state->sent;
}

std::vector<Bytes> ProviderHandle::takeSentBlocks() {
    if (!m_state)
        return {};
    std::vector<Bytes> taken;
    std::lock_guard<std::mutex> lock(m_core->mutex);
    taken.swap(m_state->sent);
    return taken;
}

void ProviderHandle::setSendHandler(SendHandler handler) {
    if (!m_state)
        return;
    SendHandler old;
    std::lock_guard<std::mutex> lock(m_core->mutex);
    old = std::move(m_state->onSend);
    m_state->onSend = std::move(handler);
}

std::size_t ProviderHandle::deliveredBlocks() const {
    if (!m_state)
        return 0;
    std::lock_guard<std::mutex> lock(m_core->mutex);
    return m_state->delivered;
}

std::size_t ProviderHandle::sinkCount() const {
    if (!m_state)
        return 0;
    std::lock_guard<std::mutex> lock(m_core->mutex);
    return m_state->sinks;
}

bool ProviderHandle::waitForSent(std::size_t count, Timeout timeout) const {
    return waitUntil([&] { return m_state->sent.size() >= count; }, timeout);
}

bool ProviderHandle::waitForDelivered(std::size_t count, Timeout timeout) const {
    return waitUntil([&] { return m_state->delivered >= count; }, timeout);
}

bool ProviderHandle::waitConnected(bool connected, Timeout timeout) const {
    return waitUntil([&] { return m_state->connected == connected; }, timeout);
}

bool ProviderHandle::waitForSinks(std::size_t count, Timeout timeout) const {
    return waitUntil([&] { return m_state->sinks >= count; }, timeout);
}

void ProviderHandle::failNext(const std::string& method, HRESULT hr) {
    if (m_state)
        addFault(*m_core, method, m_state.get(), hr, false, false);
}
void ProviderHandle::failAlways(const std::string& method, HRESULT hr) {
    if (m_state)
        addFault(*m_core, method, m_state.get(), hr, false, true);
}
void ProviderHandle::answerFalseNext(const std::string& method) {
    if (m_state)
        addFault(*m_core, method, m_state.get(), S_OK, true, false);
}
void ProviderHandle::answerFalseAlways(const std::string& method) {
    if (m_state)
        addFault(*m_core, method, m_state.get(), S_OK, true, true);
}

// ---- TargetHandle ---------------------------------------------------------------------

bool TargetHandle::present() const {
    if (!m_state)
        return false;
    std::lock_guard<std::mutex> lock(m_core->mutex);
    return m_state->present;
}

bool TargetHandle::reported() const {
    if (!m_state)
        return false;
    std::lock_guard<std::mutex> lock(m_core->mutex);
    return m_state->reported;
}

LONG TargetHandle::id() const {
    return m_state ? m_state->id : 0;
}
std::string TargetHandle::name() const {
    return m_state ? m_state->name : std::string();
}
int TargetHandle::port() const {
    return m_state ? m_state->port : 0;
}

ITargetPtr TargetHandle::object() const {
    if (!m_state)
        return nullptr;
    std::lock_guard<std::mutex> lock(m_core->mutex);
    return m_state->object;
}

ProviderHandle TargetHandle::provider(const std::string& name) const {
    if (!m_state)
        return {};
    std::lock_guard<std::mutex> lock(m_core->mutex);
    for (auto& p : m_state->providers)
        if (p->name == name)
            return ProviderHandle(m_core, p);
    return {};
}

std::vector<ProviderHandle> TargetHandle::providers() const {
    std::vector<ProviderHandle> result;
    if (!m_state)
        return result;
    std::lock_guard<std::mutex> lock(m_core->mutex);
    for (auto& p : m_state->providers)
        result.push_back(ProviderHandle(m_core, p));
    return result;
}

ProviderHandle TargetHandle::addProvider(const std::string& name, std::optional<SHORT> id,
                                         std::optional<std::string> port) {
    if (!m_state)
        throw std::logic_error("no phone");
    std::shared_ptr<ProviderState> provider;
    {
        std::lock_guard<std::mutex> lock(m_core->mutex);
        if (!m_state->present)
            throw std::logic_error("the phone has gone");
        SHORT newId = 1;
        for (auto& p : m_state->providers) {
            if (id && p->id == *id)
                throw std::invalid_argument("the phone has that provider id");
            newId = std::max<SHORT>(newId, static_cast<SHORT>(p->id + 1));
        }
        provider = m_core->makeProvider(m_state, id.value_or(newId), name,
                                        port.value_or(sim::portName(m_state->port)));
        m_state->providers.push_back(provider);
        m_core->postTargetEvent(m_state, TargetEvents::NewDataProvider, provider->object);
    }
    m_core->notify();
    return ProviderHandle(m_core, provider);
}

bool TargetHandle::removeProvider(const std::string& name) {
    if (!m_state)
        return false;
    std::shared_ptr<ProviderState> removed;
    {
        std::lock_guard<std::mutex> lock(m_core->mutex);
        auto& list = m_state->providers;
        auto it = std::find_if(list.begin(), list.end(), [&](auto& p) { return p->name == name; });
        if (it == list.end())
            return false;
        removed = *it;
        list.erase(it);
        m_core->retireProviderLocked(removed);
        m_core->postTargetEvent(m_state, TargetEvents::DataProviderRemoved, removed->object);
    }
    m_core->finishProvider(removed, EventQueue::Pending::Deliver);
    m_core->notify();
    return true;
}

bool TargetHandle::reportUnavailable(const std::string& name) {
    if (!m_state)
        return false;
    std::lock_guard<std::mutex> lock(m_core->mutex);
    for (auto& p : m_state->providers) {
        if (p->name == name) {
            m_core->postTargetEvent(m_state, TargetEvents::DataProviderUnavailable, p->object);
            return true;
        }
    }
    return false;
}

std::size_t TargetHandle::sinkCount() const {
    if (!m_state)
        return 0;
    std::lock_guard<std::mutex> lock(m_core->mutex);
    return m_state->sinks;
}

bool TargetHandle::waitForSinks(std::size_t count, Timeout timeout) const {
    if (!m_state)
        return false;
    return m_core->waitUntil([&] { return m_state->sinks >= count; }, timeout, true);
}

void TargetHandle::failNext(const std::string& method, HRESULT hr) {
    if (m_state)
        addFault(*m_core, method, m_state.get(), hr, false, false);
}
void TargetHandle::failAlways(const std::string& method, HRESULT hr) {
    if (m_state)
        addFault(*m_core, method, m_state.get(), hr, false, true);
}
void TargetHandle::answerFalseNext(const std::string& method) {
    if (m_state)
        addFault(*m_core, method, m_state.get(), S_OK, true, false);
}
void TargetHandle::answerFalseAlways(const std::string& method) {
    if (m_state)
        addFault(*m_core, method, m_state.get(), S_OK, true, true);
}

// ---- SimService -----------------------------------------------------------------------

SimService& SimService::instance() {
    static SimService service;
    return service;
}

SimService::SimService() : m_core(std::make_shared<ServiceCore>()) {
    setRegistered(true);
}

SimService::~SimService() {
    setRegistered(false);
    reset();
    m_core->serviceQueue.stop(EventQueue::Pending::Discard);
}

void SimService::reset(const ServiceConfig& config) {
    for (int port : config.servedPorts)
        if (port < 1 || port > 255)
            throw std::invalid_argument("COM port out of range");
    std::map<int, std::shared_ptr<PhoneState>> phones;
    std::vector<EventQueue::Task> dropped;
    {
        // The phones go and their providers' pending events (DataAvailable, Disconnected)
        // with them, at once: no block of a provider that has gone is delivered once reset
        // has taken it away (only the event under way finishes, below). The phones' own
        // events are dropped when their threads end.
        std::lock_guard<std::mutex> lock(m_core->mutex);
        phones.swap(m_core->phones);
        auto drop = [&](EventQueue* queue) {
            if (!queue)
                return;
            for (auto& task : queue->close())
                dropped.push_back(std::move(task));
        };
        for (auto& [port, phone] : phones) {
            phone->present = false;
            phone->reported = false;
            for (auto& provider : phone->providers) {
                provider->present = false;
                provider->connected = false;
                drop(provider->queue.get());
            }
        }
        m_core->served = config.servedPorts;
    }
    dropped.clear();  // the events hold objects of the service: released without the lock
    m_core->notify();
    m_core->faults.clear();
    // Events not yet fired are dropped; one under way finishes before reset goes on.
    m_core->serviceQueue.cancelPending();
    for (auto& [port, phone] : phones)
        m_core->finishPhone(phone, EventQueue::Pending::Discard);
    phones.clear();
    setRegistered(true);
    m_core->notify();
}

TargetHandle SimService::addPhone(int port, LONG id, const std::string& name) {
    if (port < 1 || port > 255)
        throw std::invalid_argument("COM port out of range");
    auto phone = std::make_shared<PhoneState>();
    phone->port = port;
    phone->id = id;
    phone->name = name;
    phone->object = TargetObject::create(m_core, phone);
    phone->queue = std::make_unique<EventQueue>("sim-target");
    phone->providers.push_back(m_core->makeProvider(phone, 1, "Tvp", portName(port)));
    phone->providers.push_back(
        m_core->makeProvider(phone, 2, "Print Server Channel", portName(port)));
    {
        std::lock_guard<std::mutex> lock(m_core->mutex);
        if (!m_core->phones.emplace(port, phone).second) {
            phone->present = false;
            for (auto& p : phone->providers)
                p->present = false;
        } else if (m_core->served.count(port)) {
            phone->reported = true;
            m_core->postServiceEvent(DebugMuxEvents::TargetConnected, phone->object);
        }
    }
    if (!phone->present) {
        m_core->finishPhone(phone, EventQueue::Pending::Discard);
        throw std::invalid_argument("the COM port has a phone already");
    }
    m_core->notify();
    return TargetHandle(m_core, phone);
}

bool SimService::removePhone(int port) {
    std::shared_ptr<PhoneState> phone;
    {
        std::lock_guard<std::mutex> lock(m_core->mutex);
        auto it = m_core->phones.find(port);
        if (it == m_core->phones.end())
            return false;
        phone = it->second;
        m_core->phones.erase(it);
        phone->present = false;
        for (auto& provider : phone->providers)
            m_core->retireProviderLocked(provider);
        if (phone->reported) {
            phone->reported = false;
            m_core->postServiceEvent(DebugMuxEvents::TargetDisconnected, phone->object);
        }
        m_core->faults.clearScope(phone.get());
    }
    m_core->finishPhone(phone, EventQueue::Pending::Deliver);
    m_core->notify();
    return true;
}

TargetHandle SimService::phone(int port) const {
    std::lock_guard<std::mutex> lock(m_core->mutex);
    auto it = m_core->phones.find(port);
    return it == m_core->phones.end() ? TargetHandle() : TargetHandle(m_core, it->second);
}

std::vector<TargetHandle> SimService::phones() const {
    std::vector<TargetHandle> result;
    std::lock_guard<std::mutex> lock(m_core->mutex);
    for (auto& [port, phone] : m_core->phones)
        result.push_back(TargetHandle(m_core, phone));
    return result;
}

void SimService::servePort(int port) {
    if (port < 1 || port > 255)
        throw std::invalid_argument("COM port out of range");
    {
        std::lock_guard<std::mutex> lock(m_core->mutex);
        m_core->servePortLocked(port);
    }
    m_core->notify();
}

bool SimService::unservePort(int port) {
    bool was;
    {
        std::lock_guard<std::mutex> lock(m_core->mutex);
        was = m_core->unservePortLocked(port);
    }
    m_core->notify();
    return was;
}

bool SimService::isServed(int port) const {
    std::lock_guard<std::mutex> lock(m_core->mutex);
    return m_core->served.count(port) != 0;
}

std::set<int> SimService::servedPorts() const {
    std::lock_guard<std::mutex> lock(m_core->mutex);
    return m_core->served;
}

void SimService::failNext(const std::string& method, HRESULT hr) {
    addFault(*m_core, method, nullptr, hr, false, false);
}
void SimService::failAlways(const std::string& method, HRESULT hr) {
    addFault(*m_core, method, nullptr, hr, false, true);
}
void SimService::answerFalseNext(const std::string& method) {
    addFault(*m_core, method, nullptr, S_OK, true, false);
}
void SimService::answerFalseAlways(const std::string& method) {
    addFault(*m_core, method, nullptr, S_OK, true, true);
}
void SimService::clearFaults() {
    m_core->faults.clear();
}

void SimService::setRegistered(bool registered) {
    if (registered) {
        std::weak_ptr<ServiceCore> core = m_core;
        platform::com::registerClass(CLSID_DebugMuxServer, CLSCTX_LOCAL_SERVER,
                                     [core](IUnknown* outer, REFIID iid, void** ppv) {
                                         return DebugMuxServer::createForClient(core, outer, iid,
                                                                                ppv);
                                     });
        platform::com::registerClass(CLSID_DataBlock, CLSCTX_LOCAL_SERVER,
                                     [core](IUnknown* outer, REFIID iid, void** ppv) {
                                         return DataBlock::createForClient(core, outer, iid, ppv);
                                     });
    } else {
        platform::com::unregisterClass(CLSID_DebugMuxServer);
        platform::com::unregisterClass(CLSID_DataBlock);
    }
}

void SimService::registerAsServerProcess() {
    setRegistered(false);
    std::weak_ptr<ServiceCore> core = m_core;
    platform::com::registerClass(
        CLSID_DebugMuxServer, CLSCTX_LOCAL_SERVER,
        [core](IUnknown* outer, REFIID iid, void** ppv) {
            return DebugMuxServer::createForClient(core, outer, iid, ppv);
        },
        platform::com::ClassUse::Single);
}

void SimService::endProcess() {
    std::vector<std::shared_ptr<ATL::CComConnectionPoint>> points;
    std::vector<IUnknownPtr> old;
    {
        std::lock_guard<std::mutex> lock(m_core->mutex);
        m_core->nextEpochLocked();
        for (auto& w : m_core->servers)
            if (auto p = w.lock())
                points.push_back(std::move(p));
        m_core->servers.clear();
        m_core->served.clear();
        for (auto& [port, phone] : m_core->phones) {
            phone->reported = false;
            phone->sinks = 0;
            if (phone->object) {
                points.push_back(
                    static_cast<TargetObject*>(phone->object.GetInterfacePtr())->events());
                old.emplace_back(phone->object);
                phone->object = TargetObject::create(m_core, phone);
            }
            for (auto& provider : phone->providers) {
                provider->connected = false;
                provider->sinks = 0;
                if (!provider->object)
                    continue;
                points.push_back(
                    static_cast<DataProviderObject*>(provider->object.GetInterfacePtr())->events());
                old.emplace_back(provider->object);
                provider->object = DataProviderObject::create(m_core, provider);
            }
        }
    }
    // The sinks are released without the lock: the process that held them has gone.
    for (auto& p : points)
        p->disconnectAll();
    points.clear();
    old.clear();
    m_core->notify();
}

bool SimService::isRegistered() const {
    return platform::com::isClassRegistered(CLSID_DebugMuxServer);
}

std::size_t SimService::serverCount() const {
    std::lock_guard<std::mutex> lock(m_core->mutex);
    return static_cast<std::size_t>(std::count_if(m_core->servers.begin(), m_core->servers.end(),
                                                  [](auto& w) { return !w.expired(); }));
}

std::size_t SimService::serverSinkCount() const {
    std::vector<std::shared_ptr<ATL::CComConnectionPoint>> points;
    {
        std::lock_guard<std::mutex> lock(m_core->mutex);
        for (auto& w : m_core->servers)
            if (auto p = w.lock())
                points.push_back(std::move(p));
    }
    std::size_t sinks = 0;
    for (auto& p : points)
        sinks += p->connectionCount();
    return sinks;
}

bool SimService::waitForServerSinks(std::size_t count, Timeout timeout) const {
    return m_core->waitUntil([&] { return serverSinkCount() >= count; }, timeout, false);
}

std::size_t SimService::clientObjectCount() const {
    return m_core->clientObjectCount();
}

bool SimService::waitForLastClientObject(std::chrono::steady_clock::time_point deadline) const {
    return m_core->waitForLastClientObject(deadline);
}

long SimService::liveObjects() {
    return liveObjectCounter().load();
}

bool SimService::waitForLiveObjects(long count, Timeout timeout) {
    std::unique_lock<std::mutex> lock(liveObjectMutex());
    return liveObjectChanged().wait_for(lock, timeout,
                                        [&] { return liveObjectCounter().load() <= count; });
}

bool SimService::waitIdle(Timeout timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // The queues are looked at one after another, and a task of one may queue an event on
    // another that was looked at already: idle is when two passes in a row find every queue
    // idle with the same tasks run, so that nothing ran between them.
    std::vector<std::pair<const EventQueue*, std::uint64_t>> last;
    bool haveLast = false;
    for (;;) {
        std::vector<std::shared_ptr<void>> keep;
        std::vector<EventQueue*> queues;
        {
            std::lock_guard<std::mutex> lock(m_core->mutex);
            queues = m_core->queuesLocked(keep);
        }
        std::vector<std::pair<const EventQueue*, std::uint64_t>> pass;
        bool wasIdle = true;
        for (EventQueue* q : queues) {
            std::uint64_t run = q->tasksRun();  // before the look: a task in between shows
            if (q->isIdle()) {
                pass.emplace_back(q, run);
                continue;
            }
            wasIdle = false;
            if (!q->waitIdle(deadline))
                return false;
        }
        if (wasIdle && haveLast && pass == last)
            return true;
        haveLast = wasIdle;
        last.swap(pass);
    }
}

bool SimService::waitFor(const std::function<bool()>& condition, Timeout timeout) const {
    return m_core->waitUntil(condition, timeout, false);
}

}  // namespace sim
