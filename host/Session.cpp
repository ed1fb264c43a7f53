#include "host/Session.h"

#include <atomic>

#include "host/HostPlatform.h"
#include "host/SessionRun.h"

namespace host {

namespace {

// The stop flag: a signal handler or another thread may raise it, the run's waits watch it.
// It stays raised, so that every later wait of the run ends at once. It is made by the first
// session while another thread may already ask for a stop, and never freed: a signal may
// come at any time.
std::atomic<WakeFlag*> g_stop{nullptr};

WakeFlag& stopFlag() {
    if (!g_stop.load()) {
        auto* flag = new WakeFlag;
        WakeFlag* expected = nullptr;
        if (!g_stop.compare_exchange_strong(expected, flag))
            delete flag;
    }
    return *g_stop.load();
}

}  // namespace

void requestStop() {
    if (WakeFlag* flag = g_stop.load())
        flag->raise();
}

int runSession(const Options& options, std::ostream& out, std::ostream& status,
               bool statusIsTerminal, std::ostream* data) {
    WakeFlag& stop = stopFlag();
    stop.clear();
    SessionRun run(options, stop, out, status, statusIsTerminal, data);
    return run.run();
}

}  // namespace host
