// POSIX backend of the Win32 comm API (see commapi.h for the behaviour it gives).
//
// Each open port is a HandleObject with the device's file descriptor, an input queue, the
// pending reads, writes and line-event wait, and an I/O thread that sleeps in poll(2) on the
// device and a wake-up eventfd. Ports whose device has modem lines get a second thread, blocked
// in TIOCMIWAIT while the event mask asks for modem-line events; closing wakes it with a signal
// (kWakeSignal, handled by an empty handler installed when the first such thread starts).
//
// Locks: a port's mutex guards its state; the process-wide overlapped lock guards the
// Internal fields of every OVERLAPPED and the event masks written for WaitCommEvent, so that
// GetOverlappedResult needs no port. Completion sets hEvent while the port's mutex is held, so
// a completion can never set the event of a later operation on the same OVERLAPPED.
#include "platform/serial/commapi.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/win32/Handles.h"

namespace {

// The kernel's termios with explicit speeds (TCGETS2/TCSETS2), so that any rate can be set.
struct KTermios2 {
    tcflag_t c_iflag;
    tcflag_t c_oflag;
    tcflag_t c_cflag;
    tcflag_t c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed;
    speed_t c_ospeed;
};
const unsigned long kGetTermios2 = _IOR('T', 0x2A, KTermios2);
const unsigned long kSetTermios2 = _IOW('T', 0x2B, KTermios2);
constexpr tcflag_t kBother = 0010000;
constexpr tcflag_t kCbaud = 0010017;
constexpr tcflag_t kCibaud = 002003600000;
constexpr int kCcStart = 8;  // VSTART in the kernel's c_cc
constexpr int kCcStop = 9;   // VSTOP
constexpr int kCcTime = 5;   // VTIME
constexpr int kCcMin = 6;    // VMIN

// The kernel's counters of a serial line (TIOCGICOUNT).
struct LineCounters {
    int cts, dsr, rng, dcd;
    int rx, tx;
    int frame, overrun, parity, brk;
    int buf_overrun;
    int reserved[9];
};

// Termios bits that a DCB describes. Everything else belongs to the raw switch made at opening
// and is put back when the port closes.
constexpr tcflag_t kDcbCflag =
    kCbaud | kCibaud | CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS;
constexpr tcflag_t kDcbIflag = IXON | IXOFF | INPCK;

constexpr ULONG_PTR kPending = 0x103;  // the Internal value of a running operation
constexpr DWORD kDefaultQueue = 4096;
constexpr DWORD kModemEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
constexpr DWORD kLineErrorEvents = CE_FRAME | CE_OVERRUN | CE_RXPARITY | CE_IOE;

struct SpeedCode {
    DWORD rate;
    tcflag_t code;
};
constexpr SpeedCode kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

DWORD rateOf(const KTermios2& t) {
    tcflag_t code = t.c_cflag & kCbaud;
    if (code == kBother)
        return t.c_ospeed;
    for (const auto& s : kSpeeds)
        if (s.code == code)
            return s.rate;
    return 0;
}

void setRate(KTermios2& t, DWORD rate) {
    t.c_cflag &= ~(kCbaud | kCibaud);  // input speed follows the output speed
    t.c_cflag |= kBother;
    for (const auto& s : kSpeeds) {
        if (s.rate == rate) {
            t.c_cflag &= ~kCbaud;
            t.c_cflag |= s.code;
            break;
        }
    }
    t.c_ispeed = rate;
    t.c_ospeed = rate;
}

std::int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Failures of modem-line ioctls that mean "this device has no such lines".
bool noModemLines(int err) {
    return err == ENOTTY || err == EINVAL;
}

struct OverlappedState {
    std::mutex mutex;
    std::condition_variable done;
};
OverlappedState& overlapped() {
    static OverlappedState* s = new OverlappedState;  // outlives every static destructor
    return *s;
}

// Caller holds the port's mutex (if any).
void startOverlapped(OVERLAPPED* ov) {
    {
        std::lock_guard<std::mutex> lock(overlapped().mutex);
        ov->Internal = kPending;
        ov->InternalHigh = 0;
    }
    if (ov->hEvent)
        ResetEvent(ov->hEvent);
}

// Caller holds the port's mutex (if any). maskOut, when given, receives the event mask of a
// WaitCommEvent.
void finishOverlapped(OVERLAPPED* ov, DWORD error, DWORD bytes, DWORD* maskOut = nullptr,
                      DWORD mask = 0) {
    {
        std::lock_guard<std::mutex> lock(overlapped().mutex);
        if (maskOut)
            *maskOut = mask;
        ov->Internal = error;
        ov->InternalHigh = bytes;
    }
    overlapped().done.notify_all();
    if (ov->hEvent)
        SetEvent(ov->hEvent);
}

class CommPort;

// The open ports by device (real path), for raiseCommEvent.
class OpenPorts {
  public:
    static std::string key(const std::string& path) {
        char buf[PATH_MAX];
        return ::realpath(path.c_str(), buf) ? std::string(buf) : path;
    }
    void add(const std::string& key, const std::shared_ptr<CommPort>& port) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ports[key] = port;
    }
    void remove(const std::string& key) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ports.erase(key);
    }
    std::shared_ptr<CommPort> find(const std::string& path) {
        std::string k = key(path);
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_ports.find(k);
        return it == m_ports.end() ? nullptr : it->second.lock();
    }

  private:
    std::mutex m_mutex;
    std::map<std::string, std::weak_ptr<CommPort>> m_ports;
};
OpenPorts& openPorts() {
    static OpenPorts* p = new OpenPorts;  // outlives every static destructor
    return *p;
}

// The signal that interrupts TIOCMIWAIT when a port closes.
int wakeSignal() {
    return SIGRTMIN + 3;
}
void onWakeSignal(int) {}
bool wakeSignalUsable() {
    static const bool usable = [] {
        struct sigaction current {};
        if (sigaction(wakeSignal(), nullptr, &current) != 0)
            return false;
        if (current.sa_handler == SIG_DFL) {
            struct sigaction sa {};
            sa.sa_handler = &onWakeSignal;
            sigemptyset(&sa.sa_mask);
            sa.sa_flags = 0;  // no SA_RESTART: the ioctl returns EINTR
            return sigaction(wakeSignal(), &sa, nullptr) == 0;
        }
        // Someone else handles it: still interrupts, unless it is ignored.
        return current.sa_handler != SIG_IGN;
    }();
    return usable;
}

class CommPort : public platform::HandleObject {
  public:
    CommPort(int fd, int wakeFd, std::string key)
        : m_fd(fd), m_wakeFd(wakeFd), m_key(std::move(key)) {}
    ~CommPort() override { shutdown(); }

    // Reads the device's state, switches it to raw operation and starts the I/O thread.
    DWORD setUp();
    BOOL close() override {
        shutdown();
        return TRUE;
    }

    // 1 done at once, 0 pending, -1 failed (error set).
    int startRead(unsigned char* buffer, DWORD count, DWORD* got, OVERLAPPED* ov);
    int startWrite(const unsigned char* buffer, DWORD count, DWORD* done, OVERLAPPED* ov);
    int startWait(DWORD* maskOut, OVERLAPPED* ov);

    BOOL getState(DCB* dcb);
    BOOL setState(const DCB* dcb);
    BOOL getTimeouts(COMMTIMEOUTS* t);
    BOOL setTimeouts(const COMMTIMEOUTS* t);
    BOOL setup(DWORD in, DWORD out);
    BOOL setMask(DWORD mask);
    BOOL getMask(DWORD* mask);
    BOOL clearError(DWORD* errors, COMSTAT* stat);
    BOOL purge(DWORD flags);
    BOOL escape(DWORD function);
    BOOL modemStatus(DWORD* status);
    BOOL properties(COMMPROP* prop);
    BOOL inject(DWORD events, DWORD errors);

  private:
    struct ReadOp {
        OVERLAPPED* ov;
        unsigned char* buffer;
        DWORD want;
        DWORD got;
        std::int64_t deadline;  // total time-out, 0 for none
        DWORD interval;         // interval time-out, 0 for none
        std::int64_t lastByte;  // when the last byte came, 0 before the first
        bool oneByte;           // completes with the first byte
    };
    struct WriteOp {
        OVERLAPPED* ov;
        const unsigned char* buffer;
        DWORD want;
        DWORD done;
        std::int64_t deadline;
    };

    bool openLocked() const { return !m_closed; }
    void wake();
    void ioLoop();
    void modemLoop();
    void shutdown();
    void stopModemThread(std::unique_lock<std::mutex>& lock);
    void maybeStartModemThread();

    // All below: caller holds m_mutex.
    void pullInput();
    void pushOutput();
    void append(const unsigned char* bytes, std::size_t n);
    void serveReads(std::int64_t now);
    void expireOps(std::int64_t now);
    std::int64_t nextDeadline() const;
    void completeRead(ReadOp& op, DWORD error);
    void raiseEvents(DWORD events);
    void addErrors(DWORD errors);
    void markGone();
    void checkCounters(bool modem);
    void outputDrained();
    bool modemIoctl(unsigned long request, int bits);
    DWORD takeFromQueue(unsigned char* out, DWORD n);

    const int m_fd;
    const int m_wakeFd;
    const std::string m_key;  // in openPorts()
    std::mutex m_mutex;
    std::condition_variable m_modemDone;
    bool m_closed = false;
    bool m_gone = false;
    bool m_shutDown = false;

    KTermios2 m_original{};
    KTermios2 m_current{};
    // DCB fields that termios does not hold.
    DWORD m_dtrControl = DTR_CONTROL_ENABLE;
    DWORD m_rtsControl = RTS_CONTROL_ENABLE;
    bool m_dsrSensitivity = false;
    bool m_txContinueOnXoff = false;
    bool m_errorCharOn = false;
    bool m_null = false;
    bool m_abortOnError = false;
    WORD m_xonLim = 0;
    WORD m_xoffLim = 0;
    char m_errorChar = 0;
    char m_eofChar = 0;
    char m_evtChar = 0;

    COMMTIMEOUTS m_timeouts{};
    DWORD m_mask = 0;
    DWORD m_history = 0;
    DWORD m_errors = 0;
    std::deque<unsigned char> m_queue;
    DWORD m_capacity = kDefaultQueue;
    DWORD m_outSize = kDefaultQueue;
    std::deque<ReadOp> m_reads;
    std::deque<WriteOp> m_writes;
    OVERLAPPED* m_waitOv = nullptr;
    DWORD* m_waitMask = nullptr;
    std::int64_t m_txCheckAt = 0;

    bool m_hasModemLines = false;
    bool m_countersOk = false;
    bool m_modemWaitUnsupported = false;
    bool m_modemRunning = false;
    int m_modemBits = 0;
    LineCounters m_errorCounters{};  // as last looked at for line errors
    LineCounters m_modemCounters{};  // as last looked at for modem-line changes
    bool m_ready = false;            // the device's termios was read and changed
    std::thread m_io;
    std::thread m_modem;
};

DWORD CommPort::setUp() {
    if (ioctl(m_fd, kGetTermios2, &m_original) != 0)
        return platform::win32ErrorFromErrno(errno);
    m_current = m_original;
    m_current.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXANY |
                           IMAXBEL | IUCLC | IUTF8);
    m_current.c_oflag &= ~OPOST;
    m_current.c_lflag &=
        ~(ECHO | ECHONL | ECHOE | ECHOK | ECHOCTL | ECHOKE | ICANON | ISIG | IEXTEN | TOSTOP);
    m_current.c_cflag |= CREAD | CLOCAL;  // a COM port does not hang up on carrier loss
    m_current.c_cc[kCcMin] = 1;           // with O_NONBLOCK: EAGAIN when empty, 0 only at hang-up
    m_current.c_cc[kCcTime] = 0;
    if (ioctl(m_fd, kSetTermios2, &m_current) != 0)
        return platform::win32ErrorFromErrno(errno);
    ioctl(m_fd, kGetTermios2, &m_current);
    m_rtsControl = (m_current.c_cflag & CRTSCTS) ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;

    int bits = 0;
    m_hasModemLines = ioctl(m_fd, TIOCMGET, &bits) == 0;
    m_modemBits = bits;
    m_countersOk = ioctl(m_fd, TIOCGICOUNT, &m_errorCounters) == 0;
    m_modemCounters = m_errorCounters;
    m_ready = true;

    m_io = std::thread([this] {
        pthread_setname_np(pthread_self(), "serial-io");
        ioLoop();
    });
    return ERROR_SUCCESS;
}

void CommPort::wake() {
    std::uint64_t one = 1;
    ssize_t r = ::write(m_wakeFd, &one, sizeof one);
    (void)r;  // a full counter already wakes the thread
}

void CommPort::shutdown() {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_shutDown)
        return;
    m_shutDown = true;
    if (m_ready)
        openPorts().remove(m_key);
    m_closed = true;
    for (auto& op : m_reads)
        finishOverlapped(op.ov, ERROR_OPERATION_ABORTED, op.got);
    m_reads.clear();
    for (auto& op : m_writes)
        finishOverlapped(op.ov, ERROR_OPERATION_ABORTED, op.done);
    m_writes.clear();
    if (m_waitOv) {
        finishOverlapped(m_waitOv, ERROR_OPERATION_ABORTED, 0, m_waitMask, 0);
        m_waitOv = nullptr;
    }
    stopModemThread(lock);
    lock.unlock();
    wake();
    if (m_io.joinable())
        m_io.join();
    if (!m_ready) {
        ::close(m_fd);
        ::close(m_wakeFd);
        return;
    }

    // Put back what the raw switch changed; the DCB's part stays as last set.
    KTermios2 restore = m_original;
    restore.c_cflag = (m_original.c_cflag & ~kDcbCflag) | (m_current.c_cflag & kDcbCflag);
    restore.c_iflag = (m_original.c_iflag & ~kDcbIflag) | (m_current.c_iflag & kDcbIflag);
    restore.c_cc[kCcStart] = m_current.c_cc[kCcStart];
    restore.c_cc[kCcStop] = m_current.c_cc[kCcStop];
    restore.c_ispeed = m_current.c_ispeed;
    restore.c_ospeed = m_current.c_ospeed;
    ioctl(m_fd, kSetTermios2, &restore);
    ioctl(m_fd, TIOCNXCL);
    ::close(m_fd);
    ::close(m_wakeFd);
}

void CommPort::stopModemThread(std::unique_lock<std::mutex>& lock) {
    if (!m_modem.joinable())
        return;
    // TIOCMIWAIT only returns on a line change or a signal. A signal sent just before the
    // thread enters the ioctl is missed, so it is sent again until the thread has left.
    for (int i = 0; m_modemRunning && i < 100; ++i) {
        pthread_kill(m_modem.native_handle(), wakeSignal());
        m_modemDone.wait_for(lock, std::chrono::milliseconds(20));
    }
    if (m_modemRunning) {
        m_modem.detach();  // it leaves on the next line change; it touches nothing after that
    } else {
        lock.unlock();
        m_modem.join();
        lock.lock();
    }
}

void CommPort::maybeStartModemThread() {
    if (!(m_mask & kModemEvents) || !m_hasModemLines || m_modemWaitUnsupported || m_modemRunning ||
        m_closed || m_gone || m_modem.joinable() || !wakeSignalUsable())
        return;
    m_modemRunning = true;
    // The thread keeps the port alive: it may outlive the handle if it cannot be woken.
    auto self = std::static_pointer_cast<CommPort>(shared_from_this());
    m_modem = std::thread([self] {
        pthread_setname_np(pthread_self(), "serial-modem");
        self->modemLoop();
    });
}

void CommPort::modemLoop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_closed && !m_gone && (m_mask & kModemEvents)) {
        lock.unlock();
        int r = ioctl(m_fd, TIOCMIWAIT, TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG);
        int err = errno;
        lock.lock();
        if (m_closed)
            break;
        if (r != 0) {
            if (err == EINTR)
                continue;
            if (noModemLines(err)) {
                m_modemWaitUnsupported = true;
            } else {
                markGone();
            }
            break;
        }
        checkCounters(true);
    }
    m_modemRunning = false;
    m_modemDone.notify_all();
    if (!m_closed) {
        // Left on its own (mask changed, unsupported, device gone): nobody joins it.
        m_modem.detach();
    }
}

void CommPort::ioLoop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_closed) {
        pollfd fds[2];
        fds[0] = {m_wakeFd, POLLIN, 0};
        nfds_t n = 1;
        if (!m_gone) {
            short events = 0;
            if (m_queue.size() < m_capacity)
                events |= POLLIN;
            if (!m_writes.empty())
                events |= POLLOUT;
            fds[1] = {m_fd, events, 0};
            n = 2;
        }
        std::int64_t deadline = nextDeadline();
        int timeout = -1;
        if (deadline != 0) {
            std::int64_t left = deadline - nowMs();
            timeout = static_cast<int>(std::clamp<std::int64_t>(left, 0, 60000));
        }
        lock.unlock();
        int r = ::poll(fds, n, timeout);
        lock.lock();
        if (m_closed)
            break;
        if (r < 0)
            continue;
        if (fds[0].revents & POLLIN) {
            std::uint64_t count;
            ssize_t got = ::read(m_wakeFd, &count, sizeof count);
            (void)got;
        }
        if (n == 2 && !m_gone) {
            short re = fds[1].revents;
            if (re & (POLLIN | POLLHUP | POLLERR))
                pullInput();
            if ((re & POLLOUT) && !m_gone)
                pushOutput();
            // A hung-up device keeps reporting POLLHUP: stop watching it.
            if ((re & (POLLHUP | POLLERR | POLLNVAL)) && !m_gone)
                markGone();
        }
        // A pending read may wait for bytes that sit in a full queue.
        serveReads(nowMs());
        expireOps(nowMs());
    }
}

std::int64_t CommPort::nextDeadline() const {
    std::int64_t next = 0;
    auto take = [&next](std::int64_t t) {
        if (t != 0 && (next == 0 || t < next))
            next = t;
    };
    for (const auto& op : m_reads) {
        take(op.deadline);
        if (op.interval != 0 && op.lastByte != 0)
            take(op.lastByte + op.interval);
    }
    for (const auto& op : m_writes)
        take(op.deadline);
    take(m_txCheckAt);
    return next;
}

void CommPort::expireOps(std::int64_t now) {
    while (!m_reads.empty()) {
        ReadOp& op = m_reads.front();
        bool total = op.deadline != 0 && now >= op.deadline;
        bool interval = op.interval != 0 && op.lastByte != 0 && now >= op.lastByte + op.interval;
        if (!total && !interval)
            break;
        completeRead(op, ERROR_SUCCESS);
        m_reads.pop_front();
        serveReads(now);
    }
    for (auto it = m_writes.begin(); it != m_writes.end();) {
        if (it->deadline != 0 && now >= it->deadline) {
            finishOverlapped(it->ov, ERROR_SUCCESS, it->done);  // a time-out is not an error
            it = m_writes.erase(it);
        } else {
            ++it;
        }
    }
    if (m_txCheckAt != 0 && now >= m_txCheckAt) {
        m_txCheckAt = 0;
        outputDrained();
    }
}

void CommPort::pullInput() {
    unsigned char buf[4096];
    bool any = false;
    while (!m_gone && m_queue.size() < m_capacity) {
        std::size_t room = std::min<std::size_t>(sizeof buf, m_capacity - m_queue.size());
        ssize_t n = ::read(m_fd, buf, room);
        if (n > 0) {
            append(buf, static_cast<std::size_t>(n));
            any = true;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        markGone();  // 0: hung up; EIO: the other side of a pseudo-terminal closed
        break;
    }
    if (any && m_countersOk)
        checkCounters(false);
    serveReads(nowMs());
}

void CommPort::append(const unsigned char* bytes, std::size_t n) {
    const std::size_t before = m_queue.size();
    DWORD events = 0;
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char b = bytes[i];
        if (m_null && b == 0)
            continue;
        if (b == static_cast<unsigned char>(m_evtChar))
            events |= EV_RXFLAG;
        m_queue.push_back(b);
    }
    const std::size_t after = m_queue.size();
    if (after > before)
        events |= EV_RXCHAR;
    // Passing 80 % of the queue size.
    auto above = [this](std::size_t count) {
        return static_cast<std::uint64_t>(count) * 5 > static_cast<std::uint64_t>(m_capacity) * 4;
    };
    if (!above(before) && above(after))
        events |= EV_RX80FULL;
    raiseEvents(events);
}

DWORD CommPort::takeFromQueue(unsigned char* out, DWORD n) {
    DWORD take = static_cast<DWORD>(std::min<std::size_t>(n, m_queue.size()));
    std::copy_n(m_queue.begin(), take, out);
    m_queue.erase(m_queue.begin(), m_queue.begin() + take);
    return take;
}

void CommPort::serveReads(std::int64_t now) {
    bool took = false;
    while (!m_reads.empty()) {
        ReadOp& op = m_reads.front();
        DWORD got = takeFromQueue(op.buffer + op.got, op.want - op.got);
        if (got) {
            op.got += got;
            op.lastByte = now;
            took = true;
        }
        if (op.got == op.want || (op.oneByte && op.got > 0)) {
            completeRead(op, ERROR_SUCCESS);
        } else if (m_gone) {
            completeRead(op, op.got ? ERROR_SUCCESS : ERROR_DEVICE_NOT_CONNECTED);
        } else {
            break;
        }
        m_reads.pop_front();
    }
    if (took)
        wake();  // room in the queue again
}

void CommPort::completeRead(ReadOp& op, DWORD error) {
    finishOverlapped(op.ov, error, op.got);
}

void CommPort::pushOutput() {
    while (!m_writes.empty()) {
        WriteOp& op = m_writes.front();
        ssize_t n = ::write(m_fd, op.buffer + op.done, op.want - op.done);
        if (n >= 0) {
            op.done += static_cast<DWORD>(n);
            if (op.done < op.want)
                continue;
            finishOverlapped(op.ov, ERROR_SUCCESS, op.done);
            m_writes.pop_front();
            if (m_writes.empty())
                outputDrained();
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            break;
        if (errno == EIO || errno == ENXIO || errno == ENODEV) {
            markGone();
        } else {
            finishOverlapped(op.ov, platform::win32ErrorFromErrno(errno), op.done);
            m_writes.pop_front();
        }
        break;
    }
}

void CommPort::outputDrained() {
    if (!(m_mask & EV_TXEMPTY))
        return;
    int left = 0;
    if (ioctl(m_fd, TIOCOUTQ, &left) == 0 && left > 0) {
        m_txCheckAt = nowMs() + 10;  // looked at again only while bytes are leaving
        wake();
        return;
    }
    raiseEvents(EV_TXEMPTY);
}

void CommPort::raiseEvents(DWORD events) {
    events &= m_mask;
    if (!events)
        return;
    if (m_waitOv) {
        finishOverlapped(m_waitOv, ERROR_SUCCESS, 0, m_waitMask, events);
        m_waitOv = nullptr;
        m_waitMask = nullptr;
    } else {
        m_history |= events;
    }
}

void CommPort::addErrors(DWORD errors) {
    if (!errors)
        return;
    m_errors |= errors;
    DWORD events = 0;
    if (errors & kLineErrorEvents)
        events |= EV_ERR;
    if (errors & CE_BREAK)
        events |= EV_BREAK;
    raiseEvents(events);
}

void CommPort::markGone() {
    if (m_gone)
        return;
    m_gone = true;
    addErrors(CE_IOE);
    if (m_waitOv) {  // EV_ERR is not asked for: the wait fails instead
        finishOverlapped(m_waitOv, ERROR_DEVICE_NOT_CONNECTED, 0, m_waitMask, 0);
        m_waitOv = nullptr;
        m_waitMask = nullptr;
    }
    serveReads(nowMs());
    for (auto& op : m_writes)
        finishOverlapped(op.ov, ERROR_DEVICE_NOT_CONNECTED, op.done);
    m_writes.clear();
    m_txCheckAt = 0;
}

void CommPort::checkCounters(bool modem) {
    DWORD events = 0;
    DWORD errors = 0;
    LineCounters now{};
    if (m_countersOk && ioctl(m_fd, TIOCGICOUNT, &now) == 0) {
        const LineCounters& e = m_errorCounters;
        if (now.frame != e.frame)
            errors |= CE_FRAME;
        if (now.overrun != e.overrun)
            errors |= CE_OVERRUN;
        if (now.parity != e.parity)
            errors |= CE_RXPARITY;
        if (now.brk != e.brk)
            errors |= CE_BREAK;
        if (now.buf_overrun != e.buf_overrun)
            errors |= CE_RXOVER;
        m_errorCounters = now;
        if (modem) {
            // The counters also catch pulses too short to be seen in the line states.
            const LineCounters& m = m_modemCounters;
            if (now.cts != m.cts)
                events |= EV_CTS;
            if (now.dsr != m.dsr)
                events |= EV_DSR;
            if (now.dcd != m.dcd)
                events |= EV_RLSD;
            if (now.rng != m.rng)
                events |= EV_RING;
            m_modemCounters = now;
        }
    }
    if (modem) {
        int bits = 0;
        if (ioctl(m_fd, TIOCMGET, &bits) == 0) {
            int changed = bits ^ m_modemBits;
            if (changed & TIOCM_CTS)
                events |= EV_CTS;
            if (changed & TIOCM_DSR)
                events |= EV_DSR;
            if (changed & TIOCM_CD)
                events |= EV_RLSD;
            if (changed & bits & TIOCM_RNG)
                events |= EV_RING;
            m_modemBits = bits;
        }
    }
    addErrors(errors);
    raiseEvents(events);
}

bool CommPort::modemIoctl(unsigned long request, int bits) {
    if (ioctl(m_fd, request, &bits) == 0)
        return true;
    if (noModemLines(errno))
        return true;  // no modem lines: nothing to set
    SetLastError(platform::win32ErrorFromErrno(errno));
    return false;
}

int CommPort::startRead(unsigned char* buffer, DWORD count, DWORD* got, OVERLAPPED* ov) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!openLocked()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    if (m_abortOnError && m_errors) {
        SetLastError(ERROR_OPERATION_ABORTED);
        return -1;
    }
    startOverlapped(ov);
    const COMMTIMEOUTS& t = m_timeouts;
    const std::int64_t now = nowMs();
    ReadOp op{ov, buffer, count, 0, 0, 0, 0, false};
    bool atOnce = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
                  t.ReadTotalTimeoutConstant == 0;
    if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
        t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MAXDWORD) {
        op.oneByte = true;
        op.deadline = now + t.ReadTotalTimeoutConstant;
    } else if (!atOnce) {
        std::uint64_t total = static_cast<std::uint64_t>(t.ReadTotalTimeoutMultiplier) * count +
                              t.ReadTotalTimeoutConstant;
        if (total)
            op.deadline = now + static_cast<std::int64_t>(total);
        if (t.ReadIntervalTimeout != MAXDWORD)
            op.interval = t.ReadIntervalTimeout;
    }
    if (m_reads.empty()) {
        // What the queue and the device hold already, refilling the queue as it empties.
        for (;;) {
            if (!m_gone)
                pullInput();
            DWORD took = takeFromQueue(buffer + op.got, count - op.got);
            op.got += took;
            if (took == 0 || op.got == count)
                break;
        }
        if (op.got) {
            op.lastByte = now;
            if (!m_gone)
                pullInput();  // refill the room just made
            wake();  // the I/O thread may have stopped taking bytes while the queue was full
        }
        if (op.got == count || atOnce || (op.oneByte && op.got) || m_gone) {
            if (m_gone && op.got == 0 && count != 0) {
                finishOverlapped(ov, ERROR_DEVICE_NOT_CONNECTED, 0);
                SetLastError(ERROR_DEVICE_NOT_CONNECTED);
                return -1;
            }
            finishOverlapped(ov, ERROR_SUCCESS, op.got);
            if (got)
                *got = op.got;
            return 1;
        }
    } else if (m_gone) {
        finishOverlapped(ov, ERROR_DEVICE_NOT_CONNECTED, 0);
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return -1;
    }
    m_reads.push_back(op);
    wake();
    return 0;
}

int CommPort::startWrite(const unsigned char* buffer, DWORD count, DWORD* done, OVERLAPPED* ov) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!openLocked()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    if (m_gone) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return -1;
    }
    if (m_abortOnError && m_errors) {
        SetLastError(ERROR_OPERATION_ABORTED);
        return -1;
    }
    startOverlapped(ov);
    WriteOp op{ov, buffer, count, 0, 0};
    std::uint64_t total =
        static_cast<std::uint64_t>(m_timeouts.WriteTotalTimeoutMultiplier) * count +
        m_timeouts.WriteTotalTimeoutConstant;
    if (total)
        op.deadline = nowMs() + static_cast<std::int64_t>(total);
    if (m_writes.empty()) {
        while (op.done < count) {
            ssize_t n = ::write(m_fd, buffer + op.done, count - op.done);
            if (n >= 0) {
                op.done += static_cast<DWORD>(n);
                continue;
            }
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            DWORD error = platform::win32ErrorFromErrno(errno);
            if (errno == EIO || errno == ENXIO || errno == ENODEV) {
                markGone();
                error = ERROR_DEVICE_NOT_CONNECTED;
            }
            finishOverlapped(ov, error, op.done);
            SetLastError(error);
            return -1;
        }
        if (op.done == count) {
            finishOverlapped(ov, ERROR_SUCCESS, count);
            if (done)
                *done = count;
            outputDrained();
            return 1;
        }
    }
    m_writes.push_back(op);
    wake();
    return 0;
}

int CommPort::startWait(DWORD* maskOut, OVERLAPPED* ov) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!openLocked()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    if (m_waitOv || m_mask == 0) {  // one wait at a time, and something to wait for
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    startOverlapped(ov);
    if (m_history & m_mask) {
        finishOverlapped(ov, ERROR_SUCCESS, 0, maskOut, m_history & m_mask);
        m_history = 0;
        return 1;
    }
    if (m_gone) {
        finishOverlapped(ov, ERROR_DEVICE_NOT_CONNECTED, 0);
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return -1;
    }
    m_waitOv = ov;
    m_waitMask = maskOut;
    return 0;
}

BOOL CommPort::getState(DCB* dcb) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!openLocked()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    KTermios2 t{};
    if (ioctl(m_fd, kGetTermios2, &t) != 0) {
        SetLastError(platform::win32ErrorFromErrno(errno));
        return FALSE;
    }
    std::memset(dcb, 0, sizeof *dcb);
    dcb->DCBlength = sizeof(DCB);
    dcb->BaudRate = rateOf(t);
    dcb->fBinary = 1;
    dcb->fParity = (t.c_iflag & INPCK) ? 1 : 0;
    dcb->fOutxCtsFlow = (t.c_cflag & CRTSCTS) ? 1 : 0;
    dcb->fOutxDsrFlow = 0;
    dcb->fDtrControl = m_dtrControl;
    dcb->fDsrSensitivity = m_dsrSensitivity;
    dcb->fTXContinueOnXoff = m_txContinueOnXoff;
    dcb->fOutX = (t.c_iflag & IXON) ? 1 : 0;
    dcb->fInX = (t.c_iflag & IXOFF) ? 1 : 0;
    dcb->fErrorChar = m_errorCharOn;
    dcb->fNull = m_null;
    dcb->fRtsControl = m_rtsControl;
    dcb->fAbortOnError = m_abortOnError;
    dcb->XonLim = m_xonLim;
    dcb->XoffLim = m_xoffLim;
    switch (t.c_cflag & CSIZE) {
        case CS5:
            dcb->ByteSize = 5;
            break;
        case CS6:
            dcb->ByteSize = 6;
            break;
        case CS7:
            dcb->ByteSize = 7;
            break;
        default:
            dcb->ByteSize = 8;
            break;
    }
    if (!(t.c_cflag & PARENB)) {
        dcb->Parity = NOPARITY;
    } else if (t.c_cflag & CMSPAR) {
        dcb->Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    } else {
        dcb->Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    }
    if (t.c_cflag & CSTOPB) {
        dcb->StopBits = dcb->ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
    } else {
        dcb->StopBits = ONESTOPBIT;
    }
    dcb->XonChar = static_cast<char>(t.c_cc[kCcStart]);
    dcb->XoffChar = static_cast<char>(t.c_cc[kCcStop]);
    dcb->ErrorChar = m_errorChar;
    dcb->EofChar = m_eofChar;
    dcb->EvtChar = m_evtChar;
    return TRUE;
}

BOOL CommPort::setState(const DCB* dcb) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!openLocked()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const bool fiveBits = dcb->ByteSize == 5;
    if (dcb->BaudRate == 0 || dcb->ByteSize < 5 || dcb->ByteSize > 8 || dcb->Parity > SPACEPARITY ||
        dcb->StopBits > TWOSTOPBITS || (dcb->StopBits == ONE5STOPBITS && !fiveBits) ||
        (dcb->StopBits == TWOSTOPBITS && fiveBits)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (dcb->fOutxDsrFlow || dcb->fDtrControl == DTR_CONTROL_HANDSHAKE) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    KTermios2 t = m_current;
    setRate(t, dcb->BaudRate);
    t.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= sizes[dcb->ByteSize - 5];
    if (dcb->StopBits != ONESTOPBIT)
        t.c_cflag |= CSTOPB;
    switch (dcb->Parity) {
        case ODDPARITY:
            t.c_cflag |= PARENB | PARODD;
            break;
        case EVENPARITY:
            t.c_cflag |= PARENB;
            break;
        case MARKPARITY:
            t.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case SPACEPARITY:
            t.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    if (dcb->fOutxCtsFlow || dcb->fRtsControl == RTS_CONTROL_HANDSHAKE)
        t.c_cflag |= CRTSCTS;
    t.c_iflag &= ~kDcbIflag;
    if (dcb->fParity)
        t.c_iflag |= INPCK;
    if (dcb->fOutX)
        t.c_iflag |= IXON;
    if (dcb->fInX)
        t.c_iflag |= IXOFF;
    t.c_cc[kCcStart] = static_cast<cc_t>(dcb->XonChar);
    t.c_cc[kCcStop] = static_cast<cc_t>(dcb->XoffChar);

    if (ioctl(m_fd, kSetTermios2, &t) != 0) {
        SetLastError(platform::win32ErrorFromErrno(errno));
        return FALSE;
    }
    // The driver may round the rate or drop bits it cannot do: check what it took.
    KTermios2 got{};
    bool ok = ioctl(m_fd, kGetTermios2, &got) == 0;
    if (ok) {
        double rate = rateOf(got);
        double want = dcb->BaudRate;
        ok = rate >= want * 0.98 && rate <= want * 1.02 &&
             (got.c_cflag & (CSIZE | CSTOPB | PARENB | PARODD | CMSPAR)) ==
                 (t.c_cflag & (CSIZE | CSTOPB | PARENB | PARODD | CMSPAR));
    }
    if (!ok) {
        ioctl(m_fd, kSetTermios2, &m_current);
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    m_current = got;

    if (dcb->fDtrControl != m_dtrControl) {
        modemIoctl(dcb->fDtrControl == DTR_CONTROL_ENABLE ? TIOCMBIS : TIOCMBIC, TIOCM_DTR);
    }
    if (dcb->fRtsControl != m_rtsControl && dcb->fRtsControl != RTS_CONTROL_HANDSHAKE) {
        modemIoctl(dcb->fRtsControl == RTS_CONTROL_DISABLE ? TIOCMBIC : TIOCMBIS, TIOCM_RTS);
    }
    m_dtrControl = dcb->fDtrControl;
    m_rtsControl = dcb->fRtsControl;
    m_dsrSensitivity = dcb->fDsrSensitivity;
    m_txContinueOnXoff = dcb->fTXContinueOnXoff;
    m_errorCharOn = dcb->fErrorChar;
    m_null = dcb->fNull;
    m_abortOnError = dcb->fAbortOnError;
    m_xonLim = dcb->XonLim;
    m_xoffLim = dcb->XoffLim;
    m_errorChar = dcb->ErrorChar;
    m_eofChar = dcb->EofChar;
    m_evtChar = dcb->EvtChar;
    return TRUE;
}

BOOL CommPort::getTimeouts(COMMTIMEOUTS* t) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!openLocked()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *t = m_timeouts;
    return TRUE;
}

BOOL CommPort::setTimeouts(const COMMTIMEOUTS* t) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!openLocked()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (t->ReadIntervalTimeout == MAXDWORD && t->ReadTotalTimeoutMultiplier == MAXDWORD &&
        t->ReadTotalTimeoutConstant == MAXDWORD) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    m_timeouts = *t;
    return TRUE;
}

BOOL CommPort::setup(DWORD in, DWORD out) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!openLocked()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (in == 0 || out == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    m_capacity = in;
    m_outSize = out;
    wake();
    return TRUE;
}

BOOL CommPort::setMask(DWORD mask) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!openLocked()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    m_mask = mask;
    m_history = 0;
    if (m_waitOv) {
        finishOverlapped(m_waitOv, ERROR_SUCCESS, 0, m_waitMask, 0);
        m_waitOv = nullptr;
        m_waitMask = nullptr;
    }
    maybeStartModemThread();
    return TRUE;
}

BOOL CommPort::getMask(DWORD* mask) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!openLocked()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *mask = m_mask;
    return TRUE;
}

BOOL CommPort::clearError(DWORD* errors, COMSTAT* stat) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!openLocked()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!m_gone)
        pullInput();
    if (errors)
        *errors = m_errors;
    m_errors = 0;
    if (stat) {
        std::memset(stat, 0, sizeof *stat);
        stat->cbInQue = static_cast<DWORD>(m_queue.size());
        DWORD out = 0;
        for (const auto& op : m_writes)
            out += op.want - op.done;
        int kernel = 0;
        if (!m_gone && ioctl(m_fd, TIOCOUTQ, &kernel) == 0 && kernel > 0)
            out += static_cast<DWORD>(kernel);
        stat->cbOutQue = out;
        if ((m_current.c_cflag & CRTSCTS) && m_hasModemLines) {
            int bits = 0;
            if (ioctl(m_fd, TIOCMGET, &bits) == 0)
                stat->fCtsHold = (bits & TIOCM_CTS) ? 0 : 1;
        }
    }
    return TRUE;
}

BOOL CommPort::purge(DWORD flags) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!openLocked()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (flags & PURGE_TXABORT) {
        for (auto& op : m_writes)
            finishOverlapped(op.ov, ERROR_OPERATION_ABORTED, op.done);
        m_writes.clear();
    }
    if (flags & PURGE_RXABORT) {
        for (auto& op : m_reads)
            finishOverlapped(op.ov, ERROR_OPERATION_ABORTED, op.got);
        m_reads.clear();
    }
    if ((flags & PURGE_TXCLEAR) && !m_gone)
        tcflush(m_fd, TCOFLUSH);
    if (flags & PURGE_RXCLEAR) {
        m_queue.clear();
        if (!m_gone)
            tcflush(m_fd, TCIFLUSH);
    }
    wake();
    return TRUE;
}

BOOL CommPort::escape(DWORD function) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!openLocked()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    switch (function) {
        case SETDTR:
            return modemIoctl(TIOCMBIS, TIOCM_DTR);
        case CLRDTR:
            return modemIoctl(TIOCMBIC, TIOCM_DTR);
        case SETRTS:
            return modemIoctl(TIOCMBIS, TIOCM_RTS);
        case CLRRTS:
            return modemIoctl(TIOCMBIC, TIOCM_RTS);
        case SETBREAK:
        case CLRBREAK:
            if (ioctl(m_fd, function == SETBREAK ? TIOCSBRK : TIOCCBRK) == 0 || noModemLines(errno))
                return TRUE;
            SetLastError(platform::win32ErrorFromErrno(errno));
            return FALSE;
        case SETXOFF:
        case SETXON:
            if (tcflow(m_fd, function == SETXOFF ? TCOOFF : TCOON) == 0)
                return TRUE;
            SetLastError(platform::win32ErrorFromErrno(errno));
            return FALSE;
        case RESETDEV:
            return TRUE;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
    }
}

BOOL CommPort::modemStatus(DWORD* status) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!openLocked()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    int bits = 0;
    if (ioctl(m_fd, TIOCMGET, &bits) != 0) {
        if (!noModemLines(errno)) {
            SetLastError(platform::win32ErrorFromErrno(errno));
            return FALSE;
        }
        bits = 0;
    }
    DWORD s = 0;
    if (bits & TIOCM_CTS)
        s |= MS_CTS_ON;
    if (bits & TIOCM_DSR)
        s |= MS_DSR_ON;
    if (bits & TIOCM_RNG)
        s |= MS_RING_ON;
    if (bits & TIOCM_CD)
        s |= MS_RLSD_ON;
    *status = s;
    return TRUE;
}

BOOL CommPort::properties(COMMPROP* prop) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!openLocked()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::memset(prop, 0, sizeof *prop);
    prop->wPacketLength = sizeof(COMMPROP);
    prop->wPacketVersion = 2;
    prop->dwServiceMask = SP_SERIALCOMM;
    prop->dwMaxBaud = BAUD_USER;
    prop->dwProvSubType = PST_RS232;
    prop->dwProvCapabilities = PCF_RTSCTS | PCF_PARITY_CHECK | PCF_XONXOFF | PCF_SETXCHAR |
                               PCF_TOTALTIMEOUTS | PCF_INTTIMEOUTS | PCF_SPECIALCHARS;
    if (m_hasModemLines)
        prop->dwProvCapabilities |= PCF_RLSD;
    prop->dwSettableParams =
        SP_PARITY | SP_BAUD | SP_DATABITS | SP_STOPBITS | SP_HANDSHAKING | SP_PARITY_CHECK;
    if (m_hasModemLines)
        prop->dwSettableParams |= SP_RLSD;
    prop->dwSettableBaud = 0x0007FFFFu | BAUD_USER;
    prop->wSettableData = DATABITS_5 | DATABITS_6 | DATABITS_7 | DATABITS_8;
    prop->wSettableStopParity = STOPBITS_10 | STOPBITS_15 | STOPBITS_20 | PARITY_NONE | PARITY_ODD |
                                PARITY_EVEN | PARITY_MARK | PARITY_SPACE;
    prop->dwCurrentTxQueue = m_outSize;
    prop->dwCurrentRxQueue = m_capacity;
    return TRUE;
}

BOOL CommPort::inject(DWORD events, DWORD errors) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!openLocked()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    m_errors |= errors;
    raiseEvents(events);
    return TRUE;
}

std::shared_ptr<CommPort> port(HANDLE h) {
    return platform::lookupHandleAs<CommPort>(h);
}

bool startsWithNoCase(const char* s, const char* prefix) {
    for (; *prefix; ++s, ++prefix)
        if (std::tolower(static_cast<unsigned char>(*s)) !=
            std::tolower(static_cast<unsigned char>(*prefix)))
            return false;
    return true;
}

// Completes a call made without an OVERLAPPED: waits for it.
BOOL finishSync(HANDLE h, int started, OVERLAPPED& local, DWORD* count) {
    if (started < 0)
        return FALSE;
    if (started > 0)
        return TRUE;
    DWORD n = 0;
    BOOL ok = GetOverlappedResult(h, &local, &n, TRUE);
    if (count)
        *count = n;
    return ok;
}

// Turns the result of an overlapped start into the Win32 return value.
BOOL finishAsync(int started) {
    if (started > 0)
        return TRUE;
    if (started == 0)
        SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

}  // namespace

namespace platform {

bool resolveCommPortName(const char* name, std::string& path) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const char* rest = name;
    if (std::strncmp(rest, "\\\\.\\", 4) == 0)
        rest += 4;
    if (rest[0] == '/') {
        path = rest;
        return true;
    }
    if (!startsWithNoCase(rest, "com") || rest[3] == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    unsigned long n = 0;
    for (const char* p = rest + 3; *p; ++p) {
        if (*p < '0' || *p > '9' || n > 100000) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        n = n * 10 + static_cast<unsigned long>(*p - '0');
    }
    if (n == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const std::string number = std::to_string(n);
    if (const char* env = std::getenv(("VELA_COM" + number).c_str()); env && *env) {
        path = env;
        return true;
    }
    const char* dir = std::getenv("VELA_COM_DIR");
    std::string link = std::string(dir && *dir ? dir : "/run/vela/com") + "/COM" + number;
    if (::access(link.c_str(), F_OK) == 0) {
        path = link;
        return true;
    }
    path = "/dev/ttyS" + std::to_string(n - 1);
    return true;
}

bool raiseCommEvent(const char* portName, DWORD events, DWORD errors) {
    std::string path;
    if (!resolveCommPortName(portName, path))
        return false;
    auto p = openPorts().find(path);
    return p && p->inject(events, errors);
}

}  // namespace platform

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD, LPSECURITY_ATTRIBUTES,
                   DWORD creationDisposition, DWORD, HANDLE) {
    std::string path;
    if (!platform::resolveCommPortName(fileName, path))
        return INVALID_HANDLE_VALUE;
    if (creationDisposition != OPEN_EXISTING || !(desiredAccess & (GENERIC_READ | GENERIC_WRITE))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        SetLastError(errno == EBUSY ? ERROR_ACCESS_DENIED : platform::win32ErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    if (!::isatty(fd)) {
        ::close(fd);
        SetLastError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    // Exclusive, as a COM port is: the lock also holds against root, which TIOCEXCL does not.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    ioctl(fd, TIOCEXCL);
    int wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0) {
        ioctl(fd, TIOCNXCL);
        ::close(fd);
        SetLastError(platform::win32ErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    auto p = std::make_shared<CommPort>(fd, wakeFd, OpenPorts::key(path));
    DWORD error = p->setUp();
    if (error != ERROR_SUCCESS) {
        p->close();
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    openPorts().add(OpenPorts::key(path), p);
    return platform::registerHandle(p);
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, LPOVERLAPPED ov) {
    auto p = port(file);
    if (!p)
        return FALSE;
    if (bytesRead)
        *bytesRead = 0;
    auto* bytes = static_cast<unsigned char*>(buffer);
    if (!ov) {
        OVERLAPPED local{};
        return finishSync(file, p->startRead(bytes, bytesToRead, bytesRead, &local), local,
                          bytesRead);
    }
    return finishAsync(p->startRead(bytes, bytesToRead, bytesRead, ov));
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED ov) {
    auto p = port(file);
    if (!p)
        return FALSE;
    if (bytesWritten)
        *bytesWritten = 0;
    auto* bytes = static_cast<const unsigned char*>(buffer);
    if (!ov) {
        OVERLAPPED local{};
        return finishSync(file, p->startWrite(bytes, bytesToWrite, bytesWritten, &local), local,
                          bytesWritten);
    }
    return finishAsync(p->startWrite(bytes, bytesToWrite, bytesWritten, ov));
}

BOOL GetOverlappedResult(HANDLE, LPOVERLAPPED ov, LPDWORD bytesTransferred, BOOL wait) {
    if (!ov) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto& s = overlapped();
    std::unique_lock<std::mutex> lock(s.mutex);
    if (ov->Internal == kPending) {
        if (!wait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        s.done.wait(lock, [ov] { return ov->Internal != kPending; });
    }
    if (bytesTransferred)
        *bytesTransferred = static_cast<DWORD>(ov->InternalHigh);
    if (ov->Internal != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(ov->Internal));
        return FALSE;
    }
    return TRUE;
}

BOOL WaitCommEvent(HANDLE file, LPDWORD eventMask, LPOVERLAPPED ov) {
    auto p = port(file);
    if (!p)
        return FALSE;
    if (!eventMask) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!ov) {
        OVERLAPPED local{};
        return finishSync(file, p->startWait(eventMask, &local), local, nullptr);
    }
    return finishAsync(p->startWait(eventMask, ov));
}

#define VELA_COMM_CALL(expr) \
    auto p = port(file);     \
    if (!p)                  \
        return FALSE;        \
    return expr

BOOL GetCommState(HANDLE file, LPDCB dcb) {
    if (!dcb) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    VELA_COMM_CALL(p->getState(dcb));
}

BOOL SetCommState(HANDLE file, LPDCB dcb) {
    if (!dcb) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    VELA_COMM_CALL(p->setState(dcb));
}

BOOL GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS t) {
    if (!t) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    VELA_COMM_CALL(p->getTimeouts(t));
}

BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS t) {
    if (!t) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    VELA_COMM_CALL(p->setTimeouts(t));
}

BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
    VELA_COMM_CALL(p->setup(inQueue, outQueue));
}

BOOL SetCommMask(HANDLE file, DWORD eventMask) {
    VELA_COMM_CALL(p->setMask(eventMask));
}

BOOL GetCommMask(HANDLE file, LPDWORD eventMask) {
    if (!eventMask) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    VELA_COMM_CALL(p->getMask(eventMask));
}

BOOL ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT stat) {
    VELA_COMM_CALL(p->clearError(errors, stat));
}

BOOL PurgeComm(HANDLE file, DWORD flags) {
    VELA_COMM_CALL(p->purge(flags));
}

BOOL EscapeCommFunction(HANDLE file, DWORD function) {
    VELA_COMM_CALL(p->escape(function));
}

BOOL SetCommBreak(HANDLE file) {
    VELA_COMM_CALL(p->escape(SETBREAK));
}

BOOL ClearCommBreak(HANDLE file) {
    VELA_COMM_CALL(p->escape(CLRBREAK));
}

BOOL GetCommModemStatus(HANDLE file, LPDWORD modemStatus) {
    if (!modemStatus) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    VELA_COMM_CALL(p->modemStatus(modemStatus));
}

BOOL GetCommProperties(HANDLE file, LPCOMMPROP properties) {
    if (!properties) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    VELA_COMM_CALL(p->properties(properties));
}
