// A simulated Vela phone behind the simulated debug-multiplexer service.
//
//   auto phone = sim::SimPhone::create(sim::SimService::instance(), 5, 1001);
//
// adds a phone with id 1001 on COM5 (and serves the port), then answers the component on the
// phone's "Tvp" provider and prints text lines on its "Print Server Channel" provider:
//
// - Command requests (the receive stream is cut into frames by the 17-bit length of each
//   header, so several requests in one block and one request over several blocks are both
//   fine) are answered with the acknowledgement carrying the request's sequence number:
//   SetTimeStamp (id 7) with id 8 and a result; SetProbeMode (id 1) with id 1, the probe id and
//   a result; ExecuteTestCode (id 3) with id 3, the request's callback id and test code number,
//   a result, NumberOfArgs and an argument block. A Common Control request (callback id 0xAA)
//   is answered with a Common Control message carrying the phone's capability mask (IE 0, one
//   byte; a SET with IE 0 stores a new mask); other test codes get the empty list FF FF. An
//   unknown or malformed request is answered with an error frame (data id 3) holding the
//   request's first bytes. A header whose length is below 4 cannot be cut further: the bytes
//   received so far are dropped (counted in discardedBytes).
// - Probes: SetProbeMode mode 6 switches a probe's reports on, mode 1 off (other modes are
//   acknowledged and change nothing). Probe 700 is the gate of the Phy reports: while it is on,
//   ExecuteTestCode with callback id 160 and test code 1 switches on the Phy report named by
//   its argument's value (u16), test code 0 off; Phy report v streams as probe id
//   0x8000 | v. Probe 700 sends no reports of its own; switching it off stops the Phy reports.
//   Each probe streams at its rate (frames per second, paced by the clock), while the "Tvp"
//   stream is connected. Frame layout: SimPhoneFrames.h.
// - Delivery: on each tick the frames due are packed into blocks of whole frames of at most
//   blockBytes (a frame larger than that goes alone); ticks are at least `tick` apart, or
//   further when the next frame is due later. The phone's thread sleeps between ticks and
//   blocks without a time-out when nothing is due. While 512 blocks (pieces, when split) of
//   "Tvp" wait in the service for delivery, the phone makes no more reports and counts the
//   ones it gives up as skipped; this is checked before every block, so the service's queue
//   stays bounded however far a tick's catching up reaches. Time is the framework's
//   (core::Clock): under a test's core::ManualClock the thread does not wake for reports by
//   itself; the reports due by the clock's time are made at the phone's next task (flush(), a
//   request).
// - Print server: numbered lines "VELA PS 000001: cell 1234 rssi -71\n" at printRate lines per
//   second while the stream is connected (the lines due at a tick go in one block).
//
// Faults on request: negative answers (result 1) for the next N commands, for a command kind
// (request id) or for a probe id (SetProbeMode of it, or the Phy test code of 0x8000 | v);
// dropped acknowledgements; error frames; random splitting of the blocks on "Tvp" (seeded);
// the phone going away and coming back; a provider going away and coming back. A failed
// command changes no state of the phone.
//
// Threads: the service calls the send handler on the component's thread; it only queues the
// bytes. Everything else (cutting, answering, streaming, the control calls that change the
// phone) runs on the phone's own thread, in the order of the calls. The control functions
// that return a result wait for the phone's thread; the setters only queue their change.
// Destroying the phone stops its thread, removes its send handler and (unless
// removeOnDestroy is false) removes the phone from the service.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "sim/SimService.h"

namespace sim {

struct SimPhoneOptions {
    std::string name = "Vela phone";
    double probeRate = 100.0;               // frames per second of each probe that is on
    unsigned int frameSize = 64;            // bytes of a probe frame: 20 fixed + payload (>= 8)
    std::size_t blockBytes = 4096;          // most bytes of whole frames in one block
    std::chrono::microseconds tick{10000};  // shortest time between two probe ticks
    double printRate = 4.0;                 // print-server lines per second; 0 for none
    bool servePort = true;                  // create() serves the phone's port
    bool removeOnDestroy = true;            // the destructor removes the phone from the service
};

// What the phone has sent and received. Blocks count injected blocks (after any splitting).
struct SimPhoneCounters {
    std::uint64_t probeFrames = 0;
    std::map<std::uint16_t, std::uint64_t> probeFramesById;
    std::uint64_t printLines = 0;
    std::uint64_t commands = 0;      // command requests received
    std::uint64_t acks = 0;          // acknowledgements sent
    std::uint64_t negativeAcks = 0;  // of those, with a result other than 0
    std::uint64_t droppedAcks = 0;   // answers not sent on request
    std::uint64_t errorFrames = 0;   // on request and for unknown requests
    std::uint64_t tvpBlocks = 0;
    std::uint64_t printBlocks = 0;
    std::uint64_t ignoredFrames = 0;       // received frames that are not command requests
    std::uint64_t discardedBytes = 0;      // received bytes that could not be cut into frames
    std::uint64_t skippedFrames = 0;       // reports not made while the phone could not keep up
    std::set<std::uint16_t> activeProbes;  // probe ids streaming now
    std::uint8_t capabilityMask = 3;
    std::uint8_t timeStampFunction = 0;
    bool present = true;  // the phone is in the service
};

class SimPhone {
  public:
    using Counters = SimPhoneCounters;
    static constexpr std::uint16_t kPhyGateProbe = 700;
    static constexpr std::uint8_t kPhyCallbackId = 160;
    static constexpr std::uint16_t kPhyProbeFlag = 0x8000;

    // Adds the phone to the service (std::invalid_argument as addPhone raises it) and starts
    // its thread.
    static std::unique_ptr<SimPhone> create(SimService& service, int port, LONG id,
                                            const SimPhoneOptions& options = {});
    SimPhone(const SimPhone&) = delete;
    SimPhone& operator=(const SimPhone&) = delete;
    ~SimPhone();

    int port() const;
    LONG id() const;
    TargetHandle target() const;
    ProviderHandle tvp() const;
    ProviderHandle printServer() const;

    // Settings (take effect on the phone's thread; a rate change restarts the pacing).
    void setProbeRate(double framesPerSecond);
    void setProbeRate(std::uint16_t probeId, double framesPerSecond);
    void setFrameSize(unsigned int bytes);
    void setBlockBytes(std::size_t bytes);
    void setPrintRate(double linesPerSecond);

    // Faults.
    void failNextCommands(std::size_t count);
    void failCommand(std::uint8_t requestId, bool fail = true);
    void failProbe(std::uint16_t probeId, bool fail = true);
    void clearFailures();
    void dropNextAcks(std::size_t count = 1);
    void sendErrorFrame(const Bytes& data);
    // Every later block on "Tvp" is cut into pieces of 1 to maxPiece bytes.
    void setRandomSplit(std::uint32_t seed, std::size_t maxPiece = 64);
    void clearRandomSplit();

    // The phone leaves the service (removePhone): it forgets its probes and received bytes.
    // False when it was not there.
    bool disconnect();
    // The phone comes back with the same id on the same port, as a phone that restarted.
    // False when it is there already or the port has another phone.
    bool reconnect();
    // A provider ("Tvp" or "Print Server Channel") goes away / comes back with its id.
    bool removeProvider(const std::string& name);
    bool restoreProvider(const std::string& name);

    // Waits until the phone's thread has handled everything queued before (received bytes
    // and control calls) and made the reports and lines due by the clock's time. False when
    // the phone is stopping.
    bool flush();

    // What the phone has done so far, taken on its thread between two of its tasks: a frame
    // a client has seen is counted, even when the task that sent it had not ended yet.
    Counters counters() const;
    // Waits until the condition holds for the counters (checked at each change); false at
    // the time-out.
    bool waitFor(const std::function<bool(const Counters&)>& condition,
                 Timeout timeout = kDefaultTimeout) const;

  private:
    class Core;
    explicit SimPhone(std::shared_ptr<Core> core);
    std::shared_ptr<Core> m_core;
};

}  // namespace sim
