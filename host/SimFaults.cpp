#include "host/SimFaults.h"

#include "framework/core/Trace.h"
#include "host/HostPlatform.h"
#include "protocol/TvpCommandReq.h"
#include "sim/SimPhone.h"

namespace host {

namespace {

using Seconds = std::chrono::duration<double>;

FaultSchedule::Clock::time_point after(FaultSchedule::Clock::time_point from, double seconds) {
    return from + std::chrono::duration_cast<FaultSchedule::Clock::duration>(Seconds(seconds));
}

}  // namespace

void refuseSessionStart(sim::SimPhone& phone) {
    phone.failCommand(vela::TvpCommandReq::SET_TIME_STAMP);
}

void leaveSessionStartUnanswered(sim::SimPhone& phone) {
    phone.dropNextAcks(1);
}

void refuseProbeSwitching(sim::SimPhone& phone) {
    phone.failCommand(vela::TvpCommandReq::SET_PROBE_MODE);
}

void splitBlocksAtRandom(sim::SimPhone& phone) {
    phone.setRandomSplit(1, 64);
}

void sendErrorFrame(sim::SimPhone& phone) {
    phone.sendErrorFrame({0xDE, 0xAD, 0xBE, 0xEF});
}

const std::vector<SimFault>& simFaults() {
    static const std::vector<SimFault> faults = {
        {"nack-start", "the phone refuses the session start", refuseSessionStart},
        {"no-ack-start", "the phone does not answer the session start",
         leaveSessionStartUnanswered},
        {"nack-probes", "the phone refuses to switch probes", refuseProbeSwitching},
        {"error-frame",
         "the phone sends an error frame 0.5 s after its session is up and its settings applied",
         nullptr},
        {"split", "the phone's TVP blocks are cut at random points", splitBlocksAtRandom},
    };
    return faults;
}

const SimFault* findSimFault(const std::string& name) {
    for (const auto& fault : simFaults())
        if (name == fault.name)
            return &fault;
    return nullptr;
}

FaultSchedule::FaultSchedule(sim::SimPhone* phone, std::optional<Clock::time_point> readyAt,
                             const Plan& plan)
    : m_phone(phone), m_reconnectAfter(plan.reconnectAfter), m_killAfter(plan.killServiceAfter) {
    if (!readyAt)
        return;
    if (phone && plan.disconnectAfter > 0)
        m_disconnectAt = after(*readyAt, plan.disconnectAfter);
    if (phone && plan.errorFrame)
        m_errorAt = after(*readyAt, 0.5);
    if (m_killAfter > 0)
        m_killAt = after(*readyAt, m_killAfter);
}

void FaultSchedule::sessionCameBack() {
    m_awaitingReturn = false;
    if (m_killAfter > 0 && !m_killAt)
        m_killAt = after(Clock::now(), m_killAfter);
}

void FaultSchedule::stop() {
    m_disconnectAt.reset();
    m_errorAt.reset();
    m_killAt.reset();
    m_killAfter = 0;
    // A phone that went away is still brought back: its session is awaited.
}

void FaultSchedule::runDue(Clock::time_point now,
                           const std::function<void(const std::string&)>& note) {
    auto tell = [&](const std::string& what) {
        if (note)
            note(what);
    };
    if (m_disconnectAt && now >= *m_disconnectAt) {
        m_phone->disconnect();
        m_disconnectAt.reset();
        tell("the simulated phone went away");
        if (m_reconnectAfter > 0) {
            m_reconnectAt = after(Clock::now(), m_reconnectAfter);
            m_awaitingReturn = true;
        }
    }
    if (m_reconnectAt && now >= *m_reconnectAt) {
        m_phone->reconnect();
        m_reconnectAt.reset();
        tell("the simulated phone came back");
    }
    if (m_errorAt && now >= *m_errorAt) {
        sendErrorFrame(*m_phone);
        m_errorAt.reset();
        tell("the simulated phone was told to send an error frame");
    }
    if (m_killAt && now >= *m_killAt) {
        const int ended = killProcesses("vela-mux-sim.exe");
        core::ToggleTrace(40, "Run::loop killed %d vela-mux-sim processes\n", ended);
        if (ended > 0) {
            ++m_kills;
            m_awaitingReturn = true;
        }
        m_killAt.reset();
        tell("the simulated service's process was killed");
    }
}

std::optional<FaultSchedule::Clock::time_point> FaultSchedule::nextDue() const {
    std::optional<Clock::time_point> next;
    for (const auto& due : {m_disconnectAt, m_reconnectAt, m_errorAt, m_killAt})
        if (due && (!next || *due < *next))
            next = due;
    return next;
}

}  // namespace host
