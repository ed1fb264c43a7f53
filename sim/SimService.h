// The simulated debug-multiplexer service and its control API.
//
// The service is a COM-style server registered in the platform's class registry:
// CLSID_DebugMuxServer and CLSID_DataBlock are created with CoCreateInstance (as a local
// server: contexts with CLSCTX_LOCAL_SERVER, such as CLSCTX_ALL / 0x17). Clients see it only
// through the DebugMuxLib interfaces (platform/com/DebugMuxLib.h). This API lets a test, a
// simulated phone or a host drive it:
//
//   auto& service = sim::SimService::instance();
//   service.reset({{5}});                          // serve COM5 from the start
//   sim::TargetHandle phone = service.addPhone(5, 1001, "Vela phone");  // reported at once
//   sim::ProviderHandle tvp = phone.provider("Tvp");                   // PortName "COM5"
//   tvp.setSendHandler([&](const sim::Bytes& block) { tvp.inject(answerTo(block)); });
//   tvp.waitForSinks(1);                           // the client has advised its sink
//   tvp.inject({0x01, 0x02});                      // DataAvailable on the provider's thread
//
// Phones (targets) sit on COM port numbers. The service reports a phone (lists it in
// Targets and fires TargetConnected) only while it serves the phone's port: AddPort(n) by a
// client, servePort(n) here, or the served ports of reset(). Each phone starts with the data
// providers "Tvp" (id 1) and "Print Server Channel" (id 2), port name "COMn".
//
// Threads: service-level events (TargetConnected, TargetDisconnected) come from one service
// thread, the events of a phone (NewDataProvider, DataProviderRemoved,
// DataProviderUnavailable) from the phone's thread, and DataAvailable and Disconnected from
// one thread per data provider, each in the order of its causes. No lock of the service is
// held while a sink runs; a sink may call the service and this API.
//
// Behaviour of the objects:
// - Connect opens the provider's stream; Disconnect closes it and then fires Disconnected
//   (only when it was open; the answer is VARIANT_TRUE in both cases).
// - Send takes the block (Size bytes, at most the array's length) when the stream is open and
//   answers VARIANT_TRUE; without an open stream it answers VARIANT_FALSE and takes nothing.
//   Taken blocks are kept (sentBlocks) and handed to the provider's send handler, on the
//   sender's thread, before Send returns.
// - inject delivers whether or not the stream is open.
// - Objects of a phone or provider that has gone keep their Id, Name and PortName; their
//   stream operations answer VARIANT_FALSE and DataProviders gives an empty collection.
//
// Failure injection: any method can be made to return an error HRESULT, or VARIANT_FALSE
// where it answers one (HasPort, Connect, Disconnect, Send), for its next call or for every
// call. Methods are named as in the contract ("Targets", "AddPort", "HasPort", "_NewEnum",
// "Id", "Name", "DataProviders", "PortName", "Connect", "Disconnect", "Send", "Size", "Data",
// and "PutData" for putting Data), optionally with the interface ("ITarget.Id",
// "IDataProviderStream.Connect"); the class names "DebugMuxServer" and "DataBlock" make
// CoCreateInstance of that class fail. Faults set on the service apply to every object; faults
// set on a TargetHandle apply to the phone's target and providers and the blocks they deliver;
// faults set on a ProviderHandle to that provider and its blocks. The events of a phone can be
// lost the same way: a fault on "_ITargetEvents.NewDataProvider", "_ITargetEvents.
// DataProviderRemoved" or "_ITargetEvents.DataProviderUnavailable" (any error HRESULT) makes
// the service not fire that event; what caused it happens all the same.
//
// Waiting: the wait helpers block on a condition variable until the state is reached or the
// timeout passes (false then); they never poll.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/com/DebugMuxLib.h"

namespace sim {

class ServiceCore;
struct PhoneState;
struct ProviderState;

using Bytes = std::vector<std::uint8_t>;
using SendHandler = std::function<void(const Bytes& block)>;
using Timeout = std::chrono::milliseconds;
inline constexpr Timeout kDefaultTimeout{5000};

struct ServiceConfig {
    std::set<int> servedPorts;  // COM port numbers served from the start
};

// One data provider of a phone. A default-made handle refers to nothing; a handle of a
// provider that was removed stays usable (present() false, operations refused).
class ProviderHandle {
  public:
    ProviderHandle() = default;
    explicit operator bool() const { return m_state != nullptr; }

    bool present() const;
    SHORT id() const;
    std::string name() const;
    std::string portName() const;
    int port() const;
    // The service's object for this provider (the one Targets and events hand out); null
    // once it has gone.
    IDataProviderPtr object() const;

    // A received block: DataAvailable with a new DataBlock holding the bytes, on the
    // provider's thread, after the blocks injected before. False when the provider has gone.
    bool inject(Bytes bytes);
    // Several blocks, one DataAvailable each in their order, handed to the provider's thread
    // at once (it wakes once for them all).
    bool injectAll(std::vector<Bytes> blocks);
    // The bytes of a block the provider delivered and let go (empty when there is none): a
    // stream that makes its next block in them takes no allocation.
    Bytes spare() const;
    // Every such spare at once, appended to `out`: a producer of many blocks takes the lock
    // the provider's thread gives them back under once, not once per block.
    void takeSpares(std::vector<Bytes>& out) const;
    // The phone closes the stream: if it was open, it is closed and Disconnected fires.
    bool closeStream();

    bool isConnected() const;
    std::size_t connectCalls() const;
    std::size_t disconnectCalls() const;
    // Blocks the service has taken from Send, in order.
    std::vector<Bytes> sentBlocks() const;
    std::vector<Bytes> takeSentBlocks();
    // Called with each block Send takes (on the sender's thread). Empty to remove. The
    // handler is dropped when the provider goes (it may hold this handle).
    void setSendHandler(SendHandler handler);
    // Injected blocks whose DataAvailable has been fired to every sink.
    std::size_t deliveredBlocks() const;
    // Sinks advised on the provider's connection point.
    std::size_t sinkCount() const;

    bool waitForSent(std::size_t count, Timeout timeout = kDefaultTimeout) const;
    bool waitForDelivered(std::size_t count, Timeout timeout = kDefaultTimeout) const;
    bool waitConnected(bool connected, Timeout timeout = kDefaultTimeout) const;
    bool waitForSinks(std::size_t count, Timeout timeout = kDefaultTimeout) const;

    // Faults limited to this provider (see the header comment). hr must be an error.
    void failNext(const std::string& method, HRESULT hr = E_FAIL);
    void failAlways(const std::string& method, HRESULT hr = E_FAIL);
    void answerFalseNext(const std::string& method);
    void answerFalseAlways(const std::string& method);

  private:
    friend class TargetHandle;
    friend class SimService;
    ProviderHandle(std::shared_ptr<ServiceCore> core, std::shared_ptr<ProviderState> state)
        : m_core(std::move(core)), m_state(std::move(state)) {}
    bool waitUntil(const std::function<bool()>& condition, Timeout timeout) const;

    std::shared_ptr<ServiceCore> m_core;
    std::shared_ptr<ProviderState> m_state;
};

// One phone (target) on a COM port.
class TargetHandle {
  public:
    TargetHandle() = default;
    explicit operator bool() const { return m_state != nullptr; }

    bool present() const;
    // Listed in Targets and announced: its port is served.
    bool reported() const;
    LONG id() const;
    std::string name() const;
    int port() const;
    ITargetPtr object() const;

    ProviderHandle provider(const std::string& name) const;
    std::vector<ProviderHandle> providers() const;
    // A new provider (NewDataProvider fires). id: the next free one when not given; portName:
    // "COMn" of the phone's port when not given. Raises std::invalid_argument for an id the
    // phone has already, std::logic_error when the phone has gone.
    ProviderHandle addProvider(const std::string& name, std::optional<SHORT> id = std::nullopt,
                               std::optional<std::string> portName = std::nullopt);
    // Removes the provider of that name (the first, if several): its stream closes (with
    // Disconnected), DataProviderRemoved fires, and its thread delivers what it has before it
    // ends. False when there is none.
    bool removeProvider(const std::string& name);
    // Fires DataProviderUnavailable for the provider; nothing else changes.
    bool reportUnavailable(const std::string& name);

    // Sinks advised on the target's connection point.
    std::size_t sinkCount() const;
    bool waitForSinks(std::size_t count, Timeout timeout = kDefaultTimeout) const;

    // Faults limited to this phone's objects (see the header comment). hr must be an error.
    void failNext(const std::string& method, HRESULT hr = E_FAIL);
    void failAlways(const std::string& method, HRESULT hr = E_FAIL);
    void answerFalseNext(const std::string& method);
    void answerFalseAlways(const std::string& method);

  private:
    friend class SimService;
    TargetHandle(std::shared_ptr<ServiceCore> core, std::shared_ptr<PhoneState> state)
        : m_core(std::move(core)), m_state(std::move(state)) {}

    std::shared_ptr<ServiceCore> m_core;
    std::shared_ptr<PhoneState> m_state;
};

class SimService {
  public:
    // The one service of the process; registers its classes on first use.
    static SimService& instance();
    SimService(const SimService&) = delete;
    SimService& operator=(const SimService&) = delete;

    // Back to the start: every phone removed (pending events dropped; an event under way
    // finishes first), faults cleared, the given ports served, classes registered. Objects
    // that clients still hold stay valid.
    void reset(const ServiceConfig& config = {});

    // A phone on COM port `port` (1-255) with its two default providers. Reported at once
    // (TargetConnected) when the port is served. Raises std::invalid_argument for a port out
    // of range or one that has a phone already.
    TargetHandle addPhone(int port, LONG id, const std::string& name);
    // The phone goes: its streams close (Disconnected), TargetDisconnected fires if it was
    // reported, and its threads deliver what they have before they end. False when the port
    // has no phone.
    bool removePhone(int port);
    TargetHandle phone(int port) const;
    std::vector<TargetHandle> phones() const;

    // Serves a port (as AddPort does); a phone there is reported.
    void servePort(int port);
    // Stops serving a port; a phone there is no longer reported (TargetDisconnected). False
    // when the port was not served.
    bool unservePort(int port);
    bool isServed(int port) const;
    std::set<int> servedPorts() const;

    // Faults on every object (see the header comment). hr must be an error.
    void failNext(const std::string& method, HRESULT hr = E_FAIL);
    void failAlways(const std::string& method, HRESULT hr = E_FAIL);
    void answerFalseNext(const std::string& method);
    void answerFalseAlways(const std::string& method);
    void clearFaults();

    // The service's process ends, as when it crashes or is killed, and the next one starts
    // with the next object a client creates: every object handed out so far answers each call
    // (its connection points too) with RPC_E_DISCONNECTED, as a proxy of a process that has
    // gone does, fires no more events and lets go of the sinks advised on it; blocks injected
    // and not yet delivered are lost. The phones stay, with new target and provider objects:
    // no stream is open and no port is served until a client opens or adds it. With
    // setRegistered(false) first, no new process can start until it is registered again.
    void endProcess();

    // Registered: CoCreateInstance finds the classes. false simulates a service that is not
    // installed (REGDB_E_CLASSNOTREG).
    void setRegistered(bool registered);
    // Registers the classes as the service's own process (vela-mux-sim) offers them:
    // CLSID_DebugMuxServer for one client (CoCreateInstance after the first starts a new
    // process), CLSID_DataBlock not at all (its clients make their blocks in their own
    // process, from this library: dllGetClassObject).
    void registerAsServerProcess();
    bool isRegistered() const;

    // DebugMuxServer objects alive, and the sinks advised on them together.
    std::size_t serverCount() const;
    std::size_t serverSinkCount() const;
    bool waitForServerSinks(std::size_t count, Timeout timeout = kDefaultTimeout) const;

    // Objects clients made through the classes (DebugMuxServer and DataBlock objects) that
    // are alive now, and a wait until at least one was made and none is alive any more (the
    // moment a server process ends); false at the deadline.
    std::size_t clientObjectCount() const;
    bool waitForLastClientObject(std::chrono::steady_clock::time_point deadline) const;

    // Objects of the service alive now (servers, targets, providers, collections, blocks),
    // and a wait until there are at most `count`: for checks that clients released theirs.
    static long liveObjects();
    static bool waitForLiveObjects(long count, Timeout timeout = kDefaultTimeout);

    // Waits until every event caused so far has been delivered (all threads idle).
    bool waitIdle(Timeout timeout = kDefaultTimeout) const;
    // Waits until the condition holds; it is checked at each change of the service's state
    // (events delivered, calls of clients, sinks advised), with no lock of the service held.
    bool waitFor(const std::function<bool()>& condition, Timeout timeout = kDefaultTimeout) const;

  private:
    SimService();
    ~SimService();

    std::shared_ptr<ServiceCore> m_core;
};

}  // namespace sim
