#include "host/SessionRun.h"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "framework/core/Trace.h"
#include "host/MobileMsgServer.h"
#include "host/PhoneFinder.h"
#include "host/ProbeSelection.h"
#include "host/Recorder.h"
#include "host/SimFaults.h"
#include "host/StatusJson.h"
#include "host/Summary.h"

namespace host {

namespace {

using Seconds = std::chrono::duration<double>;

SessionWaits::Clock::time_point after(SessionWaits::Clock::time_point from, double seconds) {
    return from + std::chrono::duration_cast<SessionWaits::Clock::duration>(Seconds(seconds));
}

}  // namespace

SessionRun::SessionRun(const Options& options, WakeFlag& stop, std::ostream& out,
                       std::ostream& status, bool statusIsTerminal, std::ostream* data)
    : m_options(options),
      m_stop(stop),
      m_out(out),
      m_status(status),
      m_data(data),
      m_terminal(statusIsTerminal),
      m_statusLine(status) {}

SessionRun::~SessionRun() {
    tearDown();
}

int SessionRun::run() {
    std::string error;
    if (!m_options.probes.empty() && !checkSettingNames(m_options.probes, error)) {
        m_status << m_options.program << ": " << error << '\n';
        return 2;
    }
    // A settings file that cannot be read fails the run before it starts.
    if (!m_options.settingsFile.empty() &&
        !core::XMLElement::load(m_options.settingsFile, m_settings, &error)) {
        m_status << m_options.program << ": cannot read the settings: " << error << '\n';
        return 1;
    }
    if (m_options.trace)
        core::ToggleTrace::setActive(true);
    const std::string path =
        m_options.pluginPath.empty() ? Plugin::defaultPath() : m_options.pluginPath;
    if (!m_plugin.load(path, m_module, error)) {
        m_status << m_options.program << ": " << error << '\n';
        return 1;
    }
    MobileMsgServer::registerForComponent();
    // The phones first: without one there is nothing to record, and no file is made.
    std::ostringstream quietNotes;
    if (!findPhones(m_options, m_phones, m_options.quiet ? quietNotes : m_out, error)) {
        m_status << m_options.program << ": " << error << '\n';
        tearDown();
        return 1;
    }
    if (!m_options.recordFile.empty() && !openCapture(error)) {
        m_status << m_options.program << ": cannot record: " << error << '\n';
        tearDown();
        return m_options.recordIsFifo ? 2 : 1;
    }
    if (m_options.frameLimit)
        m_frameLimit =
            std::make_unique<FrameLimit>(m_options.frameLimit, [this] { m_wake.raise(); });
    for (auto& phone : m_phones)
        if (phone->create(m_capture.isOpen() ? &m_capture : nullptr, m_wake, m_frameLimit.get()))
            phone->bringUp(*this, m_options.activateTimeout);
    const SettingsRequest settings{m_options.settingsFile.empty() ? nullptr : &m_settings,
                                   m_options.settingsFile, m_options.probes};
    bool anyUp = false;
    for (auto& phone : m_phones) {
        if (!phone->isUp())
            continue;
        anyUp = true;
        m_applyFailed |= !phone->applySettings(*this, settings);
        phone->markReady();
    }
    const auto start = Clock::now();
    if (anyUp)
        loop();
    const double elapsed = Seconds(Clock::now() - start).count();
    saveSettings();
    // A session that went away during the run and is not back is a failed run, not a
    // complete recording.
    bool endedDown = false;
    for (auto& phone : m_phones)
        endedDown |= phone->endedDown();
    // Figures are taken once the channels are down, so that they include every frame.
    for (auto& phone : m_phones)
        phone->deactivate();
    // No frame comes any more: the file is complete, or its failure known, before the summary.
    noteDrops();
    m_capture.close();
    if (m_capture.failed())
        reportCaptureFailure();
    if (m_terminal)
        m_status << '\n';
    RecordingOutcome recording;
    if (!m_options.recordFile.empty()) {
        recording.path = m_options.recordFile == "-" ? "standard output" : m_options.recordFile;
        recording.records = m_capture.getRecordCount();
        recording.offered = m_capture.getOfferedCount();
        recording.failure = m_capture.failure();
        recording.readerGone = m_capture.readerGone();
        if (m_options.rotation.active()) {
            recording.files = m_capture.files();
            recording.filesBegun = m_capture.filesBegun();
        }
    }
    if (m_frameLimit && m_frameLimit->reached())
        recording.frameLimit = m_frameLimit->limit();
    int code = m_capture.failed() || m_applyFailed || endedDown ? 1 : 0;
    for (auto& phone : m_phones)
        if (!phone->isUp())
            code = 1;
    // Under Wireshark a stop (SIGTERM, the fifo closed) is how every capture ends, also one
    // that ends before a phone came up: only what failed on its own is a failure there.
    if (m_options.quiet && (m_interrupted || m_readerGone)) {
        code = m_capture.failed() || m_saveFailed || endedDown ? 1 : 0;
        for (auto& phone : m_phones)
            if ((!phone->isUp() || phone->settingsFailed()) && !phone->wasStopped())
                code = 1;
    }
    if (!m_options.quiet || code != 0)
        writeSummary(m_out, elapsed, m_phones, recording, m_figures, m_options.program);
    tearDown();
    return code;
}

bool SessionRun::openCapture(std::string& error) {
    CaptureSettings settings;
    settings.format = m_options.captureFormat;
    settings.rotation = m_options.rotation;
    settings.section.application = m_options.program + " " + VELA_VERSION;
    settings.section.os = systemDescription();
    for (auto& phone : m_phones)
        settings.interfaces.push_back(phone->captureInterface());
    if (!m_capture.open(m_options.recordFile, settings, &error))
        return false;
    m_capture.setFailureHandler([this] { m_wake.raise(); });
    // What the first simulated phone was told to do before its session.
    if (!m_phones.empty() && m_phones[0]->simulated())
        for (const auto& name : m_options.faults)
            if (const SimFault* fault = findSimFault(name); fault && fault->beforeStart)
                m_capture.addComment(0, std::string("simulated fault: ") + fault->what);
    return true;
}

void SessionRun::writeJsonStatus(double elapsed) {
    if (!m_data || !m_options.jsonStatus || std::floor(elapsed) <= m_lastJsonStatus)
        return;
    m_lastJsonStatus = std::floor(elapsed);
    *m_data << statusJsonLines(nowMicros(), elapsed, m_phones) << std::flush;
}

SessionRun::Wake SessionRun::waitFor(const std::function<bool()>& ready, Clock::time_point until) {
    for (;;) {
        m_capture.flushIfDue();
        if (stopped())
            return Wake::Stopped;
        if (ready && ready())
            return Wake::Ready;
        const auto now = Clock::now();
        if (now >= until)
            return Wake::Timeout;
        const auto next = std::min(until, m_capture.nextFlushDue());
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
        waitForFlags(m_stop, m_wake, ms + 1);
        m_wake.clear();
    }
}

bool SessionRun::stopped() {
    if (m_capture.failed()) {
        reportCaptureFailure();
        return true;
    }
    // A reader of the capture on a pipe that went away ends the run as an interrupt would: it
    // chose to stop (Wireshark ending a live capture, a pipe into head).
    if (!m_readerGone && m_capture.isOpen() && m_capture.checkReader())
        m_readerGone = true;
    if (m_readerGone || (m_frameLimit && m_frameLimit->reached()))
        return true;
    if (!m_interrupted && m_stop.isRaised())
        m_interrupted = true;
    return m_interrupted;
}

std::string SessionRun::stopReason() const {
    if (m_interrupted)
        return "was interrupted before it came up";
    if (m_readerGone)
        return "was stopped before it came up: the reader of the capture went away";
    return "was stopped before it came up: the recording failed";
}

void SessionRun::reportCaptureFailure() {
    if (m_captureFailureReported)
        return;
    m_captureFailureReported = true;
    m_status << (m_terminal ? "\r\033[K" : "") << m_options.program << ": recording to "
             << m_options.recordFile << " failed after " << m_capture.getFailedAfterCount()
             << " frames: " << m_capture.failure() << '\n'
             << std::flush;
}

void SessionRun::loop() {
    const auto start = Clock::now();
    const bool timed = m_options.durationSeconds > 0;
    // The first simulated phone's faults, timed from the moment its session was up and its
    // settings applied; its coming back from the moment it left.
    PhoneSession* first = m_phones.empty() ? nullptr : m_phones[0].get();
    FaultSchedule::Plan plan;
    plan.errorFrame = std::find(m_options.faults.begin(), m_options.faults.end(), "error-frame") !=
                      m_options.faults.end();
    plan.disconnectAfter = m_options.disconnectAfter;
    plan.reconnectAfter = m_options.reconnectAfter;
    if (m_options.simServer)
        plan.killServiceAfter = m_options.killServiceAfter;
    FaultSchedule faults(first ? first->simulated() : nullptr,
                         first ? first->readyAt() : std::nullopt, plan);
    // The memory after two seconds of traffic: what the session keeps for good is allocated
    // by then.
    std::optional<Clock::time_point> memoryAt;
    if (m_options.reportMemory)
        memoryAt = after(first && first->readyAt() ? *first->readyAt() : start, 2.0);
    const SettingsRequest settings{m_options.settingsFile.empty() ? nullptr : &m_settings,
                                   m_options.settingsFile, m_options.probes};
    // A timed run that ends while the first phone's session is down from a fault the run made
    // itself waits for that session to come back (for at most the activation time and a
    // margin): how long a session takes to come back is not the phone's to answer for, but
    // whether it comes back is. No fault is made after the end.
    const double grace = m_options.activateTimeout + 10;
    bool ending = false;
    for (;;) {
        const auto now = Clock::now();
        const double elapsed = Seconds(now - start).count();
        if (timed && elapsed >= m_options.durationSeconds) {
            if (!faults.awaitingReturn() || elapsed >= m_options.durationSeconds + grace)
                break;
            if (!ending) {
                ending = true;
                faults.stop();
                m_out << "the run goes on until phone 1's session is back from the fault made "
                         "last (at most "
                      << grace << " s)\n";
                m_out.flush();
            }
        }
        if (m_options.untilFrames > 0 && receivedFrames() >= m_options.untilFrames)
            break;
        faults.runDue(now, [this](const std::string& what) { m_capture.addComment(0, what); });
        if (memoryAt && now >= *memoryAt) {
            m_figures.memoryBefore = sampleMemory();
            memoryAt.reset();
        }
        // A phone whose session went away and came back (a phone that restarted has forgotten
        // its probes) gets the settings again.
        for (auto& phone : m_phones) {
            if (!phone->cameBackUp())
                continue;
            m_capture.addComment(
                static_cast<std::uint8_t>(phone->number()),
                "the session came up again (session " + std::to_string(phone->sessions()) + ")");
            m_applyFailed |= !phone->applySettings(*this, settings, true);
            // The service's process is killed again once the session is back.
            if (phone.get() == first)
                faults.sessionCameBack();
        }
        noteDrops();
        if (m_terminal)
            m_statusLine.show(elapsed, m_phones);
        writeJsonStatus(elapsed);
        // Up to the next thing due: the status line, the JSON status, the end of the run or a
        // fault.
        auto wake = after(Clock::now(), 0.5);
        if (m_options.jsonStatus)
            wake = std::min(wake, after(start, m_lastJsonStatus + 1));
        if (timed && !ending)
            wake = std::min(wake, after(start, m_options.durationSeconds));
        if (ending)
            wake = std::min(wake, after(start, m_options.durationSeconds + grace));
        for (const auto& due : {faults.nextDue(), memoryAt})
            if (due)
                wake = std::min(wake, *due);
        if (waitFor({}, wake + std::chrono::milliseconds(1)) == Wake::Stopped)
            break;
    }
    if (m_options.simServer && m_options.killServiceAfter > 0)
        m_figures.serviceKills = faults.serviceKills();
    if (m_figures.memoryBefore)
        m_figures.memoryAfter = sampleMemory();
}

void SessionRun::noteDrops() {
    m_droppedNoted.resize(m_phones.size());
    for (std::size_t i = 0; i < m_phones.size(); ++i) {
        const auto tvp = m_phones[i]->tvpDropped();
        const auto print = m_phones[i]->printDropped();
        auto& noted = m_droppedNoted[i];
        const std::uint64_t blocks = tvp.blocks + print.blocks - noted.blocks;
        const std::uint64_t bytes = tvp.bytes + print.bytes - noted.bytes;
        const std::uint64_t reports = tvp.frames - noted.frames;
        if (!blocks && !reports)
            continue;
        const auto equipment = static_cast<std::uint8_t>(m_phones[i]->number());
        m_capture.addComment(equipment, "the component dropped " + std::to_string(blocks) +
                                            " blocks (" + std::to_string(bytes) + " bytes) and " +
                                            std::to_string(reports) +
                                            " reports of the phone while it was behind");
        if (reports)
            m_capture.addDropped(equipment, reports);
        noted = {tvp.blocks + print.blocks, tvp.bytes + print.bytes, tvp.frames};
    }
}

std::uint64_t SessionRun::receivedFrames() const {
    std::uint64_t frames = 0;
    for (const auto& phone : m_phones) {
        if (!phone->recorder())
            continue;
        const auto f = phone->recorder()->figures();
        frames += f.tvpFrames + f.printFrames;
    }
    return frames;
}

RunFigures::Memory SessionRun::sampleMemory() const {
    RunFigures::Memory sample;
    sample.bytes = privateMemoryBytes();
    sample.frames = receivedFrames();
    return sample;
}

void SessionRun::saveSettings() {
    if (m_options.saveSettingsFile.empty())
        return;
    for (auto& phone : m_phones) {
        if (!phone->hasTvpChannel())
            continue;
        std::string why;
        if (!phone->saveSettings(m_options.saveSettingsFile, why)) {
            m_status << m_options.program << ": cannot save the settings to "
                     << m_options.saveSettingsFile << (why.empty() ? std::string() : ": " + why)
                     << '\n';
            m_applyFailed = true;
            m_saveFailed = true;
        }
        return;  // the settings of the first phone
    }
}

void SessionRun::tearDown() {
    // The component's objects go before the library, and the simulated phones after them.
    for (auto& phone : m_phones)
        phone->release();
    for (auto& phone : m_phones)
        phone->releaseSimulated();
    m_capture.close();
    MobileMsgServer::unregister();
    m_plugin.unload();
}

}  // namespace host
