// What the host does differently on Linux and on Windows: the flags that end its waits, the
// handlers of Ctrl-C and of the end of the console, whether its status goes to a terminal,
// the simulated phone's AT port and where a build tree keeps the plug-in. One backend file per
// side: HostPlatform_posix.cpp and HostPlatform_windows.cpp.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

namespace host {

// A flag that any thread may raise and that waitForFlags watches: a pipe on Linux (raised
// from a signal handler too), an event object on Windows. Raised, it stays raised until it
// is cleared.
class WakeFlag {
  public:
    WakeFlag();
    ~WakeFlag();
    WakeFlag(const WakeFlag&) = delete;
    WakeFlag& operator=(const WakeFlag&) = delete;

    // Safe from a signal handler on Linux.
    void raise();
    bool isRaised() const;
    void clear();

  private:
    friend void waitForFlags(const WakeFlag&, const WakeFlag&, long long);
    std::intptr_t m_handles[2] = {-1, -1};
};

// Waits until one of the flags is raised or `milliseconds` pass.
void waitForFlags(const WakeFlag& first, const WakeFlag& second, long long milliseconds);

// Makes Ctrl-C (and on Linux SIGTERM, on Windows Ctrl-Break and closing the console) call
// host::requestStop, and keeps the process alive when a reader of its output goes away or a
// file grows past its limit: such failures are reported instead.
void installStopHandlers();
// Tells the stop handlers that the session has ended (on Windows, the handler of a closing
// console waits for that, so that the recording is complete before the process goes).
void sessionEnded();
bool statusIsTerminal();

// The system, for the capture's section header: "Linux 6.1.0-18-amd64 x86_64", "Windows 10.0.19045
// x64".
std::string systemDescription();

// Whether standard output is a terminal (a capture is not written to one).
bool standardOutputIsTerminal();

// Whether the simulated service can run in a process of its own (a COM local server, as the
// phone platform's service does): on Windows.
bool simulatedServiceProcessSupported();

// The process's standard input, in binary mode (a capture read from a pipe).
std::FILE* standardInput();

// Where a build tree keeps the plug-in, given the folder of the program: lib/ beside bin/ on
// Linux; on Windows the program's own folder, where the system looks for the DLLs it needs too.
std::filesystem::path buildTreePluginFolder(const std::filesystem::path& programFolder);

// The simulated phone's AT port: a port that the component reaches as COM<number>, with the
// phone at its other end, or the reason why there is none.
class SimAtPort {
  public:
    SimAtPort() = default;
    ~SimAtPort();
    SimAtPort(const SimAtPort&) = delete;
    SimAtPort& operator=(const SimAtPort&) = delete;

    bool open(int comNumber, std::string& reason);
    // The port's device path, for the device description.
    const std::string& path() const { return m_path; }

  private:
    std::intptr_t m_ends[2] = {-1, -1};
    std::string m_path;
};

// The process's private memory in bytes: on Windows PrivateUsage of GetProcessMemoryInfo, or
// PagefileUsage where that stays 0 (as under Wine); on Linux the anonymous resident memory
// (RssAnon). 0 when it cannot be read.
std::uint64_t privateMemoryBytes();

// Ends every process whose program file has that name (as "vela-mux-sim.exe"), as a kill does:
// the process runs nothing more of its own. How many were ended; -1 where processes are not
// ended this way (Linux).
int killProcesses(const std::string& programName);

}  // namespace host
