#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "host/HostPlatform.h"
#include "host/Session.h"

namespace host {

namespace {

int fdOf(std::intptr_t handle) {
    return static_cast<int>(handle);
}

void onSignal(int) {
    requestStop();
}

}  // namespace

WakeFlag::WakeFlag() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        m_handles[0] = fds[0];
        m_handles[1] = fds[1];
    }
}

WakeFlag::~WakeFlag() {
    for (auto fd : m_handles)
        if (fd >= 0)
            ::close(fdOf(fd));
}

void WakeFlag::raise() {
    if (m_handles[1] < 0)
        return;
    char c = 1;
    ssize_t ignored = ::write(fdOf(m_handles[1]), &c, 1);  // a full pipe is raised already
    (void)ignored;
}

bool WakeFlag::isRaised() const {
    pollfd p{fdOf(m_handles[0]), POLLIN, 0};
    return m_handles[0] >= 0 && ::poll(&p, 1, 0) > 0;
}

void WakeFlag::clear() {
    char bytes[64];
    while (m_handles[0] >= 0 && ::read(fdOf(m_handles[0]), bytes, sizeof bytes) > 0) {
    }
}

void waitForFlags(const WakeFlag& first, const WakeFlag& second, long long milliseconds) {
    pollfd fds[2] = {{fdOf(first.m_handles[0]), POLLIN, 0}, {fdOf(second.m_handles[0]), POLLIN, 0}};
    ::poll(fds, 2, static_cast<int>(std::min<long long>(std::max(milliseconds, 0LL), INT_MAX)));
}

void installStopHandlers() {
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A reader of our output that goes away must not kill the session half-way.
    signal(SIGPIPE, SIG_IGN);
    // A capture file over the process's size limit fails its write (and is reported as a failed
    // recording) instead of killing the session.
    signal(SIGXFSZ, SIG_IGN);
}

void sessionEnded() {}

bool statusIsTerminal() {
    return ::isatty(STDERR_FILENO) != 0;
}

std::string systemDescription() {
    utsname name{};
    if (::uname(&name) != 0)
        return "Linux";
    return std::string(name.sysname) + ' ' + name.release + ' ' + name.machine;
}

bool standardOutputIsTerminal() {
    return ::isatty(STDOUT_FILENO) != 0;
}

bool simulatedServiceProcessSupported() {
    return false;
}

std::FILE* standardInput() {
    return stdin;
}

std::filesystem::path buildTreePluginFolder(const std::filesystem::path& programFolder) {
    return programFolder.parent_path() / "lib";
}

SimAtPort::~SimAtPort() {
    for (auto fd : m_ends)
        if (fd >= 0)
            ::close(fdOf(fd));
}

bool SimAtPort::open(int comNumber, std::string& reason) {
    // A pseudo-terminal reached as COM<number> through the port mapping of the environment.
    int master = -1, slave = -1;
    char name[128] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        reason = "no pseudo-terminal could be opened";
        return false;
    }
    m_ends[0] = master;
    m_ends[1] = slave;
    m_path = name;
    ::setenv(("VELA_COM" + std::to_string(comNumber)).c_str(), name, 1);
    return true;
}

std::uint64_t privateMemoryBytes() {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (!status)
        return 0;
    char line[256];
    unsigned long long kib = 0;
    while (std::fgets(line, sizeof line, status))
        if (std::sscanf(line, "RssAnon: %llu kB", &kib) == 1)
            break;
    std::fclose(status);
    return static_cast<std::uint64_t>(kib) * 1024;
}

int killProcesses(const std::string&) {
    return -1;
}

}  // namespace host
