// Internal state of the simulated debug-multiplexer service, shared by its COM objects and by
// the control API (SimService.h). One mutex guards it all; events are fired from the delivery
// threads (EventQueue) without it.
//
// Ownership: the core owns the phones (PhoneState) and, through them, the providers
// (ProviderState); each state holds its COM object and its delivery thread while it is
// present. The COM objects know their state and the core only weakly, so a client may hold an
// object after its phone went: its fixed properties (Id, Name, PortName) still answer, its
// stream operations answer VARIANT_FALSE.
//
// Epochs: the objects belong to the epoch of the service in which they were made. When the
// service's process ends (SimService::endProcess) a new epoch begins: the objects of earlier
// ones answer every call with RPC_E_DISCONNECTED and fire no more events, as the proxies of a
// process that has gone do, while the phones stay and get new objects.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/com/Com.h"
#include "platform/com/DebugMuxLib.h"
#include "sim/EventQueue.h"
#include "sim/FaultTable.h"

namespace sim {

using Bytes = std::vector<std::uint8_t>;
using SendHandler = std::function<void(const Bytes& block)>;

class ServiceCore;

// The byte vectors of blocks a provider has delivered, kept for the provider's next blocks, so
// that a stream of blocks takes no allocation in the simulation (a block's bytes are given back
// when the block is released). A spare holds the bytes of the block it last was.
class SpareBytes {
  public:
    static constexpr std::size_t kKept = 64;
    void give(Bytes&& bytes) {
        if (bytes.capacity() == 0)
            return;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_spares.size() < kKept)
            m_spares.push_back(std::move(bytes));
    }
    // A spare, or an empty vector when there is none.
    Bytes take() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_spares.empty())
            return {};
        Bytes bytes = std::move(m_spares.back());
        m_spares.pop_back();
        return bytes;
    }
    // Every spare at once (one lock for all of them), appended to `out`.
    void takeAll(std::vector<Bytes>& out) {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (Bytes& bytes : m_spares)
            out.push_back(std::move(bytes));
        m_spares.clear();
    }

  private:
    std::mutex m_mutex;
    std::vector<Bytes> m_spares;
};

struct ProviderState {
    SHORT id = 0;
    std::string name;
    std::string portName;
    int port = 0;
    const void* phoneScope = nullptr;   // the PhoneState, as a fault scope
    IDataProviderPtr object;            // while present
    std::unique_ptr<EventQueue> queue;  // DataAvailable and Disconnected, in order
    const std::shared_ptr<SpareBytes> spares = std::make_shared<SpareBytes>();

    // Guarded by the core's mutex.
    bool present = true;
    bool connected = false;
    std::size_t connectCalls = 0;
    std::size_t disconnectCalls = 0;
    std::vector<Bytes> sent;
    SendHandler onSend;
    std::size_t injected = 0;
    std::size_t delivered = 0;
    std::size_t sinks = 0;
};

struct PhoneState {
    int port = 0;
    LONG id = 0;
    std::string name;
    ITargetPtr object;                  // while present
    std::unique_ptr<EventQueue> queue;  // NewDataProvider, DataProviderRemoved, ...

    // Guarded by the core's mutex.
    bool present = true;
    bool reported = false;  // its port is served: the service lists it and announced it
    std::vector<std::shared_ptr<ProviderState>> providers;
    std::size_t sinks = 0;
};

class ServiceCore : public std::enable_shared_from_this<ServiceCore> {
  public:
    ServiceCore();
    ~ServiceCore();

    mutable std::mutex mutex;
    std::condition_variable changed;  // any state change the waiting helpers look at
    std::uint64_t generation = 0;     // counts the changes
    std::set<int> served;
    std::map<int, std::shared_ptr<PhoneState>> phones;
    std::vector<std::weak_ptr<ATL::CComConnectionPoint>> servers;  // _IDebugMuxEvents
    FaultTable faults;
    EventQueue serviceQueue{"sim-service"};

    // The fault for a call, or none: a shorthand for faults.check.
    std::optional<FaultTable::Fault> fault(std::initializer_list<const char*> interfaces,
                                           const char* method,
                                           std::initializer_list<const void*> scopes,
                                           bool boolMethod = false) {
        return faults.check(interfaces, method, scopes, boolMethod);
    }
    // The epoch of the objects made now (see the header comment).
    std::uint64_t epoch() const { return m_epoch.load(); }
    // RPC_E_DISCONNECTED for an object of an earlier epoch, none for a live one.
    std::optional<FaultTable::Fault> goneFault(std::uint64_t objectEpoch) const {
        if (objectEpoch == m_epoch.load())
            return std::nullopt;
        return FaultTable::Fault{RPC_E_DISCONNECTED, false};
    }
    // With the mutex held: starts a new epoch.
    void nextEpochLocked() { ++m_epoch; }

    // Objects made for clients through the class factories (DebugMuxServer, DataBlock) that
    // are alive: a server process ends when the last of them has gone.
    void clientObjectMade();
    void clientObjectGone();
    std::size_t clientObjectCount() const;
    // Waits until at least one client object was made and none is alive; false at the
    // deadline.
    bool waitForLastClientObject(std::chrono::steady_clock::time_point deadline) const;

    // Counts a change and wakes the waiters. Called without the mutex.
    void notify() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++generation;
        }
        changed.notify_all();
    }
    // Waits until the condition holds, re-checking it after each change. The condition runs
    // with the mutex held when `locked`, without it otherwise.
    bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
                   bool locked);

    // With the mutex held: serve a port, and announce a phone that is there.
    void servePortLocked(int port);
    // With the mutex held: stop serving a port; its phone is no longer reported.
    bool unservePortLocked(int port);
    // The reported targets, in port order.
    std::vector<ITargetPtr> reportedTargets() const;
    // Fires TargetConnected or TargetDisconnected on the service thread to every server.
    void postServiceEvent(DISPID dispid, ITargetPtr target);
    // Fires a target event on the phone's thread.
    void postTargetEvent(const std::shared_ptr<PhoneState>& phone, DISPID dispid,
                         IDataProviderPtr provider);
    // Fires Disconnected on the provider's thread.
    void postDisconnected(const std::shared_ptr<ProviderState>& provider);

    // Makes a provider of a phone (COM object and thread); the caller inserts it.
    std::shared_ptr<ProviderState> makeProvider(const std::shared_ptr<PhoneState>& phone, SHORT id,
                                                const std::string& name,
                                                const std::string& portName);
    // With the mutex held: marks a provider gone (closing its stream, with Disconnected).
    void retireProviderLocked(const std::shared_ptr<ProviderState>& provider);
    // Without the mutex: ends a retired provider's thread (delivering what it has, or not)
    // and releases its object.
    void finishProvider(const std::shared_ptr<ProviderState>& provider,
                        EventQueue::Pending pending);
    // Without the mutex: the same for a removed phone, its providers first.
    void finishPhone(const std::shared_ptr<PhoneState>& phone, EventQueue::Pending pending);

    // Every queue of the service, for waiting until all are idle.
    std::vector<EventQueue*> queuesLocked(std::vector<std::shared_ptr<void>>& keep) const;

  private:
    std::atomic<std::uint64_t> m_epoch{1};
    mutable std::mutex m_clientMutex;
    mutable std::condition_variable m_clientChanged;
    std::size_t m_clientObjects = 0;
    bool m_hadClientObjects = false;
};

// Whether an object of that epoch belongs to a process of the service that has ended.
inline bool isGone(const std::weak_ptr<ServiceCore>& core, std::uint64_t epoch) {
    auto c = core.lock();
    return c && c->goneFault(epoch).has_value();
}

// Objects of the service that are alive now (servers, targets, providers, collections,
// blocks), for leak checks of clients.
std::atomic<long>& liveObjectCounter();
std::mutex& liveObjectMutex();
std::condition_variable& liveObjectChanged();

// Counts an object of the service in liveObjectCounter while it exists.
class CountedObject {
  public:
    CountedObject();
    CountedObject(const CountedObject&) = delete;
    CountedObject& operator=(const CountedObject&) = delete;
    ~CountedObject();
};

}  // namespace sim
