// vela-mux-sim: the simulated debug-multiplexer service as a COM local server in a process of
// its own, with simulated phones (sim/server/ServerOptions.h has the command line).
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/ClassRegistry.h"
#include "sim/SimPhone.h"
#include "sim/SimService.h"
#include "sim/server/Registration.h"
#include "sim/server/ServerOptions.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A server that no client used within this time after its start ends (started by hand, or by
// a client that went away before it created anything).
constexpr auto kFirstClientWait = 60s;

// The full path of a module (null: the program).
std::wstring modulePath(HMODULE module) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

// The simulated service's library, loaded with the program.
std::wstring serviceLibraryPath() {
    HMODULE module = GetModuleHandleW(L"libvela_sim.dll");
    return module ? modulePath(module) : std::wstring();
}

// The first phone's timed faults (--fault error-frame, --disconnect-after, --reconnect-after),
// counted from the moment its probes came on, on a thread of their own.
class FaultSchedule {
  public:
    FaultSchedule(const muxsim::ServerOptions& options, sim::SimPhone& phone)
        : m_phone(phone),
          m_errorFrame(std::find(options.faults.begin(), options.faults.end(), "error-frame") !=
                       options.faults.end()),
          m_disconnectAfter(options.disconnectAfter),
          m_reconnectAfter(options.reconnectAfter) {
        if (m_errorFrame || m_disconnectAfter > 0)
            m_thread = std::thread([this] { run(); });
    }
    ~FaultSchedule() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_changed.notify_all();
        if (m_thread.joinable())
            m_thread.join();
    }

  private:
    // Sleeps until the time; false when stopped first.
    bool sleepUntil(Clock::time_point until) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return !m_changed.wait_until(lock, until, [&] { return m_stop; });
    }
    bool stopped() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_stop;
    }
    static Clock::time_point after(Clock::time_point from, double seconds) {
        return from +
               std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    }
    void run() {
        // The phone's counters change with every report it makes: the wait is looked at again
        // each half second at most, to see whether the server is ending.
        while (!m_phone.waitFor(
            [](const sim::SimPhoneCounters& c) { return !c.activeProbes.empty(); }, 500ms))
            if (stopped())
                return;
        const auto ready = Clock::now();
        if (m_errorFrame) {
            if (!sleepUntil(after(ready, 0.5)))
                return;
            m_phone.sendErrorFrame({0xDE, 0xAD, 0xBE, 0xEF});
        }
        if (m_disconnectAfter <= 0 || !sleepUntil(after(ready, m_disconnectAfter)))
            return;
        m_phone.disconnect();
        if (m_reconnectAfter > 0 && sleepUntil(after(Clock::now(), m_reconnectAfter)))
            m_phone.reconnect();
    }

    sim::SimPhone& m_phone;
    const bool m_errorFrame;
    const double m_disconnectAfter;
    const double m_reconnectAfter;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_stop = false;
    std::thread m_thread;
};

int serve(const muxsim::ServerOptions& options) {
    sim::SimService& service = sim::SimService::instance();
    // DebugMuxServer for one client: see the README (Building for Windows) for why.
    service.registerAsServerProcess();
    std::vector<std::unique_ptr<sim::SimPhone>> phones;
    for (int i = 0; i < options.phones; ++i) {
        sim::SimPhoneOptions phoneOptions;
        phoneOptions.name = "Vela phone (simulated) " + std::to_string(i + 1);
        phoneOptions.probeRate = options.probeRate;
        phoneOptions.printRate = options.printRate;
        phoneOptions.frameSize = options.frameSize;
        phoneOptions.blockBytes = options.blockBytes;
        // A port is served when a client asks for it, as the service does for real phones.
        phoneOptions.servePort = false;
        try {
            phones.push_back(sim::SimPhone::create(service, 5 + 2 * i, 1001 + i, phoneOptions));
        } catch (const std::exception& e) {
            std::cerr << "vela-mux-sim: cannot start a simulated phone: " << e.what() << '\n';
            return 1;
        }
    }
    sim::SimPhone& first = *phones.front();
    for (const auto& fault : options.faults) {
        if (fault == "nack-start")
            first.failCommand(7);
        if (fault == "no-ack-start")
            first.dropNextAcks(1);
        if (fault == "nack-probes")
            first.failCommand(1);
        if (fault == "split")
            first.setRandomSplit(1, 64);
    }
    {
        FaultSchedule schedule(options, first);
        // Serves until the last object a client made has been released; ends at once when no
        // client came at all.
        while (!service.waitForLastClientObject(Clock::now() + kFirstClientWait))
            if (service.clientObjectCount() == 0)
                break;
        service.setRegistered(false);
    }
    phones.clear();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    muxsim::ServerOptions options;
    std::string error;
    if (!muxsim::parseServerOptions(args, options, error)) {
        std::cerr << "vela-mux-sim: " << error << "\n\n" << muxsim::serverUsage();
        return 2;
    }
    if (options.action == muxsim::ServerOptions::Action::Help) {
        std::cout << muxsim::serverUsage();
        return 0;
    }
    const HRESULT apartment = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(apartment)) {
        std::cerr << "vela-mux-sim: cannot enter the multithreaded apartment\n";
        return 1;
    }
    int code = 0;
    switch (options.action) {
        case muxsim::ServerOptions::Action::Register:
            if (!muxsim::registerServer(modulePath(nullptr), serviceLibraryPath(),
                                        options.phoneArguments, error)) {
                std::cerr << "vela-mux-sim: cannot register: " << error << '\n';
                code = 1;
            }
            break;
        case muxsim::ServerOptions::Action::Unregister:
            if (!muxsim::unregisterServer(error)) {
                std::cerr << "vela-mux-sim: cannot unregister: " << error << '\n';
                code = 1;
            }
            break;
        default:
            code = serve(options);
            break;
    }
    CoUninitialize();
    return code;
}
