// The faults that a run gives the first simulated phone: those named on the command line
// (--fault NAME), which the phone takes before its session starts or, for the error frame, at a
// time of the run; and the phone going away and coming back (--disconnect-after,
// --reconnect-after); and the simulated service's own process killed (--kill-service-after).
// Times are counted from the moment the phone's first session was up and its settings applied,
// so that a slow start does not move a fault into it.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sim {
class SimPhone;
}

namespace host {

// What the phone is told to do.
void refuseSessionStart(sim::SimPhone& phone);           // a negative answer to SetTimeStamp
void leaveSessionStartUnanswered(sim::SimPhone& phone);  // no answer to the first command
void refuseProbeSwitching(sim::SimPhone& phone);         // negative answers to SetProbeMode
void splitBlocksAtRandom(sim::SimPhone& phone);          // TVP blocks cut at random points
void sendErrorFrame(sim::SimPhone& phone);               // an error frame, DE AD BE EF

struct SimFault {
    const char* name;  // as --fault takes it
    const char* what;  // for the help text
    // What the phone is told before its session starts; null for a fault of the run's time.
    void (*beforeStart)(sim::SimPhone&);
};

// Every fault that --fault takes, in the order the help lists them.
const std::vector<SimFault>& simFaults();
const SimFault* findSimFault(const std::string& name);

// The faults of a run's time for one simulated phone: when they are due and what they do.
class FaultSchedule {
  public:
    using Clock = std::chrono::steady_clock;
    struct Plan {
        bool errorFrame = false;     // an error frame 0.5 s after the phone was ready
        double disconnectAfter = 0;  // > 0: the phone goes away this long after it was ready
        double reconnectAfter = 0;   // > 0: and comes back this long after it left
        // > 0: the simulated service's process is killed this long after the phone was ready,
        // and again this long after its session came back.
        double killServiceAfter = 0;
    };

    // Nothing is due before the phone was ready; the phone's own faults need the phone here
    // (a phone of the service's process has none).
    FaultSchedule(sim::SimPhone* phone, std::optional<Clock::time_point> readyAt, const Plan& plan);

    // The phone's session came up again: the service's process is killed again in time.
    void sessionCameBack();
    // How many times the service's process was killed.
    int serviceKills() const { return m_kills; }
    // The phone's session was taken down by a fault of this schedule (the service killed, the
    // phone gone and due back) and has not come back since.
    bool awaitingReturn() const { return m_awaitingReturn; }
    // Nothing more is done: the run is ending.
    void stop();

    // Does what is due by `now`; `note` hears what was done ("the phone went away").
    void runDue(Clock::time_point now, const std::function<void(const std::string&)>& note = {});
    // The next time something is due, if anything is.
    std::optional<Clock::time_point> nextDue() const;

  private:
    sim::SimPhone* m_phone;
    double m_reconnectAfter;
    double m_killAfter;
    int m_kills = 0;
    bool m_awaitingReturn = false;
    std::optional<Clock::time_point> m_disconnectAt, m_reconnectAt, m_errorAt, m_killAt;
};

}  // namespace host
