#include "tests/support/ComPairs.h"

#include <cstdlib>
#include <sstream>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>
#endif

namespace testsupport {
namespace {

std::vector<ComPair> fromEnvironment(const char* text) {
    std::vector<ComPair> pairs;
    std::stringstream all(text);
    std::string item;
    while (std::getline(all, item, ',')) {
        auto colon = item.find(':');
        if (colon == std::string::npos)
            continue;
        pairs.push_back({"\\\\.\\" + item.substr(0, colon), "\\\\.\\" + item.substr(colon + 1)});
    }
    return pairs;
}

#if !defined(_WIN32)
// socat processes linking two pseudo-terminals each, and one open descriptor on each
// pseudo-terminal: with its slave closed, socat would read an end of file and quit, so ports
// that the test closes and opens again need someone who keeps them.
class SocatPairs {
  public:
    std::vector<ComPair> make(std::size_t count, std::string* why) {
        if (::access("/usr/bin/socat", X_OK) != 0) {
            if (why)
                *why = "socat is not installed (Debian package socat)";
            return {};
        }
        m_dir = std::filesystem::temp_directory_path() /
                ("vela-compairs-" + std::to_string(::getpid()));
        std::filesystem::create_directories(m_dir);
        std::vector<ComPair> pairs;
        for (std::size_t i = 0; i < count; ++i) {
            const std::string a = "COM" + std::to_string(41 + 2 * i);
            const std::string b = "COM" + std::to_string(42 + 2 * i);
            if (!start((m_dir / a).string(), (m_dir / b).string())) {
                if (why)
                    *why = "socat made no pseudo-terminals";
                return {};
            }
            pairs.push_back({"\\\\.\\" + a, "\\\\.\\" + b});
        }
        ::setenv("VELA_COM_DIR", m_dir.c_str(), 1);
        return pairs;
    }
    ~SocatPairs() {
        for (int fd : m_keep)
            ::close(fd);
        for (pid_t pid : m_pids) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
        if (!m_dir.empty())
            std::filesystem::remove_all(m_dir);
    }

  private:
    bool start(const std::string& a, const std::string& b) {
        pid_t pid = ::fork();
        if (pid < 0)
            return false;
        if (pid == 0) {
            // Gone with the test program, also when it ends without running its destructors.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(null, 2);
            ::execl("/usr/bin/socat", "socat", ("pty,raw,echo=0,link=" + a).c_str(),
                    ("pty,raw,echo=0,link=" + b).c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        m_pids.push_back(pid);
        for (int i = 0; i < 500; ++i) {
            if (::access(a.c_str(), F_OK) == 0 && ::access(b.c_str(), F_OK) == 0) {
                for (const auto& link : {a, b}) {
                    int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
                    if (fd < 0)
                        return false;
                    m_keep.push_back(fd);
                }
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    std::filesystem::path m_dir;
    std::vector<pid_t> m_pids;
    std::vector<int> m_keep;
};
#endif

}  // namespace

const std::vector<ComPair>& comPairs(std::size_t count, std::string* why) {
    static std::vector<ComPair> pairs;
    static std::string reason;
    if (pairs.size() >= count)
        return pairs;
    if (const char* env = std::getenv("VELA_TEST_COM_PAIRS"); env && *env) {
        pairs = fromEnvironment(env);
        if (pairs.size() < count)
            reason = "VELA_TEST_COM_PAIRS names fewer pairs than the test needs";
    } else {
#if defined(_WIN32)
        reason = "VELA_TEST_COM_PAIRS is not set (scripts/with-com-pairs sets it)";
#else
        static SocatPairs socat;
        if (pairs.empty())
            pairs = socat.make(count, &reason);
        else
            reason = "the pairs were made for fewer ports";
#endif
    }
    if (why)
        *why = reason;
    return pairs;
}

bool dtrUnusableUnderWine(const std::string& name) {
#if defined(_WIN32)
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (!ntdll || !GetProcAddress(ntdll, "wine_get_version"))
        return false;
    HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    const bool unusable = !EscapeCommFunction(h, SETDTR);
    CloseHandle(h);
    return unusable;
#else
    (void)name;
    return false;
#endif
}

}  // namespace testsupport
