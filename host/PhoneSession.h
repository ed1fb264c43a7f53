// One phone of a run, from its creation to its release: the device it is, the simulated phone
// behind it when it is one, the recorder of its frames and the component's objects made for it
// (data source, equipment, channels). It brings the phone's session up (the TVP channel active),
// applies the settings asked for, and takes everything down again before the plug-in goes.
//
// Waits go through the run (SessionWaits), which ends them when the run is stopped and keeps
// the capture file flushed meanwhile.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "framework/core/XML.h"
#include "host/CaptureFile.h"
#include "host/ComponentEquipment.h"
#include "host/HostObserver.h"
#include "host/HostPlatform.h"
#include "host/Recorder.h"

namespace sim {
class SimPhone;
}

namespace host {

class CaptureWriter;

// How a phone's session waits: until a condition holds, a time passes or the run is stopped.
class SessionWaits {
  public:
    using Clock = std::chrono::steady_clock;
    enum class Wake { Ready, Timeout, Stopped };

    virtual ~SessionWaits() = default;
    // Waits until ready() holds (never, when it is empty), `until` passes or the run is
    // stopped; re-checks ready() whenever the wake flag is raised.
    virtual Wake waitFor(const std::function<bool()>& ready, Clock::time_point until) = 0;
    // The flag that the phone's channels raise at every change.
    virtual WakeFlag& wakeFlag() = 0;
    // Why the run stopped, as the end of "the session with phone 1 (COM5) ...".
    virtual std::string stopReason() const = 0;
};

// The settings a run applies to each phone: the selections of a settings file (when one was
// given), then the catalogue names of --probes on top of them.
struct SettingsRequest {
    const core::XMLElement* file = nullptr;
    std::string fileName;
    std::vector<std::string> names;
};

class PhoneSession {
  public:
    // number: the phone's place in the run, from 0 (the equipment byte of its records).
    PhoneSession(int number, core::RCPtr<equip::DeviceInfoData> device);
    ~PhoneSession();
    PhoneSession(const PhoneSession&) = delete;
    PhoneSession& operator=(const PhoneSession&) = delete;

    // The simulated phone behind the device, which the session owns from now on, and the
    // phone's AT port (null when it has none).
    void setSimulated(std::unique_ptr<sim::SimPhone> phone, std::unique_ptr<SimAtPort> atPort);
    // The simulated phone is started by create(), once the component's objects are there: the
    // service then tells the component of the phone at once, instead of the component finding
    // it by enumerating the service's phones when its start-up time has passed.
    using SimulatedStart = std::function<std::unique_ptr<sim::SimPhone>(std::string& error)>;
    void setSimulated(SimulatedStart start, std::unique_ptr<SimAtPort> atPort);
    // The phone is a simulated one that runs elsewhere (in the simulated service's process):
    // it numbers its reports, and the recorder checks them.
    void setSimulatedElsewhere() { m_simulatedElsewhere = true; }
    // Whether the phone numbers its reports (a simulated one, wherever it runs).
    bool numbersItsReports() const {
        return m_sim != nullptr || m_simulatedStart != nullptr || m_simulatedElsewhere;
    }

    // The phone as an interface of a pcapng capture: its TVP port, its product and model
    // family, and what it reports of itself, as the component's detector sees it.
    CaptureInterface captureInterface() const;

    // Makes the recorder (writing into `capture` when there is one, taking frames within
    // `limit` when there is one) and the component's objects, and starts a simulated phone
    // that waits for them. False with failure() set.
    bool create(CaptureWriter* capture, WakeFlag& wake, FrameLimit* limit = nullptr);
    // Activates the TVP and print-server channels and waits until the session is up, refused,
    // `timeoutSeconds` passed or the run stopped. False with failure() set.
    bool bringUp(SessionWaits& waits, double timeoutSeconds);
    // Applies the settings and waits for their results; one line per setting in applied().
    // False when a setting did not apply. `again`: the session came back, and this is the
    // second (or later) time.
    bool applySettings(SessionWaits& waits, const SettingsRequest& request, bool again = false);
    // True once after the session went away and came up again (a phone that restarted has
    // forgotten its probes: the caller applies the settings again).
    bool cameBackUp();
    // At the end of the run, before the channels are deactivated: a session that was up and
    // is not up now went away and did not come back, which fails the run (its reports after
    // it went away are missing). True when so, with failure() set.
    bool endedDown();
    // Writes the TVP channel's settings as XML. False with the reason.
    bool saveSettings(const std::string& path, std::string& error);
    // Deactivates the channels: no frame comes after this.
    void deactivate();
    // Releases the component's objects: before the plug-in is unloaded.
    void release();
    // Takes the simulated phone out of the service; after release().
    void releaseSimulated();

    // The moment the first session was up and its settings applied.
    void markReady() { m_readyAt = std::chrono::steady_clock::now(); }
    std::optional<std::chrono::steady_clock::time_point> readyAt() const { return m_readyAt; }

    int number() const { return m_number; }
    const equip::DeviceInfoData& device() const { return *m_device; }
    // The port of the TVP channel ("COM5"), empty before create().
    std::string port() const;
    bool isUp() const { return m_up; }
    int sessions() const { return m_sessions; }
    const std::string& failure() const { return m_failure; }
    // Whether the run's stop cut the bring-up or an apply short (the failure says so).
    bool wasStopped() const { return m_stopped; }
    // Whether a setting failed other than by the run's stop.
    bool settingsFailed() const { return m_settingsFailed; }
    const std::vector<std::string>& applied() const { return m_applied; }
    // The recorder's figures; empty before create().
    Recorder* recorder() const { return m_recorder.get(); }
    sim::SimPhone* simulated() const { return m_sim.get(); }
    // The channels' states now (0 when there is no such channel).
    int tvpState() const;
    int printState() const;
    // What the component dropped of a channel's stream because it could not keep up with the
    // phone (zero for a channel that does not count it, or none).
    eqbase::ByteChannel::Dropped tvpDropped() const;
    eqbase::ByteChannel::Dropped printDropped() const;
    bool hasTvpChannel() const { return m_equipment.tvp != nullptr; }
    bool hasPrintServer() const { return m_equipment.print != nullptr; }

  private:
    const int m_number;
    core::RCPtr<equip::DeviceInfoData> m_device;
    std::unique_ptr<sim::SimPhone> m_sim;
    std::unique_ptr<SimAtPort> m_atPort;
    SimulatedStart m_simulatedStart;
    bool m_simulatedElsewhere = false;
    ComponentEquipment m_equipment;
    core::RCPtr<Recorder> m_recorder;
    core::RCPtr<HostObserver> m_observer;
    bool m_up = false;
    bool m_stopped = false;
    bool m_settingsFailed = false;
    int m_sessions = 0;  // how many times the session came up
    std::string m_failure;
    std::vector<std::string> m_applied;  // "name: result" lines for the summary
    std::optional<std::chrono::steady_clock::time_point> m_readyAt;
};

// The name of a channel state as the status line and the failures show it ("-" before any).
const char* channelStateText(int state);

}  // namespace host
