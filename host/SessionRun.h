// One run of vela-host from start to end: loads the plug-in, finds the phones, opens the
// capture file, brings each phone's session up and applies its settings, then runs until the
// duration ends, Ctrl-C or a failure of the recording (the simulated faults on their times,
// the settings again for a phone whose session came back, the status line), and ends: the
// settings saved, the channels down, the capture closed, the summary, and everything released
// before the plug-in is unloaded.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "framework/core/XML.h"
#include "host/CaptureWriter.h"
#include "host/HostPlatform.h"
#include "host/Options.h"
#include "host/PhoneSession.h"
#include "host/Plugin.h"
#include "host/StatusLine.h"
#include "host/Summary.h"

namespace host {

class SessionRun : public SessionWaits {
  public:
    // `out` takes the summary and notes, `status` the status line and errors, `data` the JSON
    // lines of --jsonl.
    SessionRun(const Options& options, WakeFlag& stop, std::ostream& out, std::ostream& status,
               bool statusIsTerminal, std::ostream* data = nullptr);
    ~SessionRun() override;

    // The run; the process's exit code.
    int run();

    Wake waitFor(const std::function<bool()>& ready, Clock::time_point until) override;
    WakeFlag& wakeFlag() override { return m_wake; }
    std::string stopReason() const override;

  private:
    bool stopped();
    bool openCapture(std::string& error);
    void reportCaptureFailure();
    void writeJsonStatus(double elapsed);
    // Tells the capture what the component dropped of each phone since the last look.
    void noteDrops();
    // Frames of every phone's TVP and print-server channels so far.
    std::uint64_t receivedFrames() const;
    RunFigures::Memory sampleMemory() const;
    void loop();
    void saveSettings();
    void tearDown();

    const Options& m_options;
    WakeFlag& m_stop;
    std::ostream& m_out;
    std::ostream& m_status;
    std::ostream* m_data;
    const bool m_terminal;
    WakeFlag m_wake;  // raised when something the run's waits wait for changed
    StatusLine m_statusLine;
    core::XMLElement m_settings;  // the --settings file
    bool m_interrupted = false;
    bool m_captureFailureReported = false;
    bool m_applyFailed = false;
    bool m_saveFailed = false;  // --save-settings could not be written
    bool m_readerGone = false;  // the reader of a capture on a pipe went away
    std::unique_ptr<FrameLimit> m_frameLimit;
    double m_lastJsonStatus = 0;  // the whole second of the last --jsonl status
    RunFigures m_figures;         // --kill-service-after, --report-memory
    std::vector<eqbase::ByteChannel::Dropped> m_droppedNoted;  // per phone, told the capture
    ATL::CAtlModule m_module;
    Plugin m_plugin;
    CaptureWriter m_capture;
    std::vector<std::unique_ptr<PhoneSession>> m_phones;
};

}  // namespace host
