// serial_echo PORT [SECONDS]
//
// Opens a serial port with SerialPort's defaults (9600 baud, 8N1, no flow control, reading
// driven by line feeds) and writes every line it receives back to the port, until Ctrl-C or
// SECONDS have passed. PORT is COM<n> (see platform/serial/commapi.h for how COM names map to
// devices) or a device path such as /dev/ttyUSB0.
//
// Try it with a pair of pseudo-terminals:
//   socat -d -d pty,raw,echo=0,link=/tmp/vela-a pty,raw,echo=0,link=/tmp/vela-b &
//   serial_echo /tmp/vela-a &
//   socat - /tmp/vela-b,raw,echo=0      (type lines; each comes back)
#include <signal.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "framework/core/SyncObject.h"
#include "framework/core/SyncObjectMgr.h"
#include "transport/SerialPort.h"

namespace {

// Runs on a worker of its own: each block the port received goes back out through the
// port's write pipe.
class Echo {
  public:
    explicit Echo(const core::RCPtr<SerialPort>& port) : m_port(port) {}
    void onReceived() {
        core::RCPtr<core::Data> block = m_port->getReadPipe()->readData();
        if (!block)
            return;
        std::printf("%zu bytes: %.*s", block->size(), static_cast<int>(block->size()),
                    reinterpret_cast<const char*>(block->getInternalData()));
        std::fflush(stdout);
        m_port->getWritePipe()->write(block);
    }

  private:
    core::RCPtr<SerialPort> m_port;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PORT [SECONDS]\n", argv[0]);
        return 2;
    }
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 0;
    // Ctrl-C, kill or the time limit end the program; they are blocked in every thread and
    // taken by sigwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    core::RCPtr<SerialPort> port(new SerialPort());
    port->setPortName(argv[1]);
    core::Status status = port->connectPort();
    if (!status.succeeded()) {
        std::fprintf(stderr, "cannot open %s (status %ld)\n", port->getPortName().c_str(),
                     status.getCode());
        return 1;
    }
    std::printf("echoing on %s\n", port->getPortName().c_str());
    std::fflush(stdout);  // also when stdout is a pipe: whoever reads it knows the port is open

    Echo echo(port);
    core::RCPtr<core::SyncObjectMgr> worker(new core::SyncObjectMgr("Echo", 0));
    core::SyncObject* received = port->getReadPipe()->getSyncObject();
    received->registerCallBack(core::CallBack(&echo, &Echo::onReceived));
    worker->start(2000);
    worker->post([&] { worker->addSyncObject(received); });

    if (seconds > 0)
        alarm(static_cast<unsigned>(seconds));
    int signal = 0;
    sigwait(&stopSignals, &signal);

    worker->post([&] { worker->removeSyncObject(received); });
    worker->stop(INFINITE);
    port->disconnectPort();
    return 0;
}
