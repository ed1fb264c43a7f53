#include "transport/SerialPort.h"

#include <algorithm>
#include <cstring>

#include "framework/core/Data.h"
#include "framework/core/Trace.h"
#include "framework/core/Values.h"
#include "transport/BufSizeReq.h"
#include "transport/DataFormatReq.h"

namespace {

constexpr DWORD kAllPurge = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr DWORD kReadEvents = EV_RXFLAG | EV_RXCHAR | EV_RX80FULL;
constexpr DWORD kModemEvents = EV_CTS | EV_DSR | EV_RING | EV_RLSD;
// Immediate completions of WaitCommEvent handled in a row before other work gets its turn.
constexpr int kImmediateEventsInRow = 8;

// Traces a failed Win32 call at level 20: the format takes the port name, the error code and
// the error text. The text ends the line, as a system message text does.
void traceWin32(const char* format, const char* portName) {
    core::LastError error;
    std::string text = error.stringValue() + "\n";
    core::ToggleTrace(20, format, portName, static_cast<long>(error.get()), text.c_str());
}

long numberOf(const core::Request& request, bool& ok) {
    auto* r = dynamic_cast<const core::NumberReq*>(&request);
    ok = r && r->getNumber();
    return ok ? static_cast<long>(r->getNumber()->toLongLong()) : 0;
}

}  // namespace

SerialPort::SerialPort()
    : m_readAgain(new core::Event(1, 0)),
      m_readBuffer(1024),
      m_worker(new core::SyncObjectMgr("SerialPort", 2)),
      m_service(new core::ServiceChannel(m_worker, false)),
      m_inputChannel(new core::DataChannel(true)),
      m_statusChannel(new core::DataChannel(true)),
      m_settings(new SerialPortSettings()),
      m_writePipe(new core::AsyncPipe()) {
    m_traceName = m_settings->getPortName();
    m_worker->attachBegin(core::BoolCallBack(this, &SerialPort::onBeginThread));
    m_worker->attachEnd(core::BoolCallBack(this, &SerialPort::onEndThread));

    m_service->attach("Connect", this, &SerialPort::onConnectReq);
    m_service->attach("Disconnect", this, &SerialPort::onDisconnectReq);
    m_service->attach("Write", this, &SerialPort::onWriteReq);
    m_service->attach("BaudRate", this, &SerialPort::onBaudRateReq);
    m_service->attach("EventChar", this, &SerialPort::onEventCharReq);
    m_service->attach("SetBreak", this, &SerialPort::onSetBreakReq);
    m_service->attach("ClearBreak", this, &SerialPort::onClearBreakReq);
    m_service->attach("SetCommMask", this, &SerialPort::onSetCommMaskReq);
    m_service->attach("GetCommMask", this, &SerialPort::onGetCommMaskReq);
    m_service->attach("GetMaxBaudRate", this, &SerialPort::onGetMaxBaudRateReq);
    m_service->attach(DataFormatReq().getName(), this, &SerialPort::onSetDataFormatReq);
    m_service->attach(BufSizeReq().getName(), this, &SerialPort::onSetBufSizeReq);

    m_writeOv.getEvent().registerCallBack(this, &SerialPort::onWriteEvent);
    m_readOv.getEvent().registerCallBack(this, &SerialPort::onReadEvent);
    m_statusOv.getEvent().registerCallBack(this, &SerialPort::onStatusEvent);
    m_readAgain->registerCallBack(this, &SerialPort::onReadAgain);
    m_writePipe->getSyncObject()->registerCallBack(core::CallBack(this, &SerialPort::onWritePipe));

    // The last release ends the worker (onEndThread closes the port), then deletes.
    bindWorker(m_worker);
    m_worker->start(2000);
}

SerialPort::~SerialPort() {
    // The worker has ended: nothing of ours is dispatched any more.
    m_worker->removeSyncObject(&m_writeOv.getEvent());
    m_worker->removeSyncObject(&m_readOv.getEvent());
    m_worker->removeSyncObject(&m_statusOv.getEvent());
    m_settings.reset();
    m_inputChannel.reset();
    m_statusChannel.reset();
    m_readAgain.reset();
    m_readBuffer.clear();
}

bool SerialPort::onBeginThread() {
    bool readAgain = m_worker->addSyncObject(m_readAgain.get());
    bool pipe = m_worker->addSyncObject(m_writePipe->getSyncObject());
    return readAgain && pipe;
}

bool SerialPort::onEndThread() {
    closePort();
    m_worker->removeSyncObject(m_writePipe->getSyncObject());
    m_worker->removeSyncObject(m_readAgain.get());
    return true;
}

// ---- Operations for other threads ----

core::Status SerialPort::statusRequest(const core::RCPtr<core::Request>& request, const char*) {
    core::RCPtr<core::Response> response;
    if (!m_service->doRequest(request, &response) || !response)
        return core::Status(-1);
    return response->getStatus();
}

core::Status SerialPort::connectPort() {
    return statusRequest(new core::Request("Connect"), "Connect");
}

core::Status SerialPort::disconnectPort() {
    if (!m_open.load())
        return core::Status(-4);
    core::Status status = statusRequest(new core::Request("Disconnect"), "Disconnect");
    Sleep(10);
    return status;
}

long SerialPort::write(const core::RCPtr<core::Data>& data) {
    core::RCPtr<core::Request> request(new core::RCObjectReq("Write", data));
    core::RCPtr<core::Response> response;
    if (!m_service->doRequest(request, &response))
        return 0;
    auto number = core::rcCast<core::NumberRsp>(response);
    if (!number || !number->getNumber())
        return 0;
    return static_cast<long>(number->getNumber()->toLongLong());
}

core::Status SerialPort::setBaudRate(long rate) {
    return statusRequest(
        new core::NumberReq("BaudRate", new core::ELong(static_cast<std::int32_t>(rate))),
        "BaudRate");
}

core::Status SerialPort::setEventChar(std::uint8_t eventChar) {
    return statusRequest(new core::NumberReq("EventChar", new core::EByte(eventChar)), "EventChar");
}

core::Status SerialPort::setDataFormat(std::uint8_t byteSize, std::uint8_t parity,
                                       std::uint8_t stopBits) {
    return statusRequest(new DataFormatReq(byteSize, parity, stopBits), "DataFormatReq");
}

std::uint32_t SerialPort::getCommMask() {
    core::RCPtr<core::Response> response;
    if (!m_service->doRequest(new core::Request("GetCommMask"), &response))
        return 0;
    auto number = core::rcCast<core::NumberRsp>(response);
    return number && number->getNumber()
               ? static_cast<std::uint32_t>(number->getNumber()->toULongLong())
               : 0;
}

core::Status SerialPort::setCommMask(long mask) {
    return statusRequest(
        new core::NumberReq("SetCommMask", new core::ELong(static_cast<std::int32_t>(mask))),
        "SetCommMask");
}

core::Status SerialPort::setBufSize(std::uint32_t inputSize, std::uint32_t outputSize) {
    return statusRequest(new BufSizeReq(inputSize, outputSize), "BufSizeReq");
}

core::Status SerialPort::sendBreak(std::uint32_t milliseconds) {
    core::Status status = statusRequest(new core::Request("SetBreak"), "SetBreak");
    if (status.getCode() != 0) {
        Sleep(milliseconds);
        status = clearBreak();
    }
    return status;
}

core::Status SerialPort::clearBreak() {
    return statusRequest(new core::Request("ClearBreak"), "ClearBreak");
}

std::uint32_t SerialPort::getMaxBaudRate(std::uint32_t startRate) {
    core::RCPtr<core::Response> response;
    if (!m_service->doRequest(new core::NumberReq("GetMaxBaudRate", new core::EULong(startRate)),
                              &response))
        return 0;
    auto number = core::rcCast<core::NumberRsp>(response);
    return number && number->getNumber()
               ? static_cast<std::uint32_t>(number->getNumber()->toULongLong())
               : 0;
}

// ---- Handlers (on the worker) ----

void SerialPort::answer(core::Request& request, const core::Status& status) {
    core::ServiceChannel::sendResponse(new core::Response(request, status));
}

void SerialPort::setHandle(HANDLE handle) {
    m_hPort = handle;
    m_open.store(handle != nullptr);
}

void SerialPort::refreshTraceName() {
    if (!isOpen())
        m_traceName = m_settings->getPortName();
}

void SerialPort::onConnectReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_worker);
    if (isOpen()) {
        // Opening again would lose the open handle and the settings saved from it.
        core::ToggleTrace(20, "SerialPort::onConnectReq / (%s) Already connected\n", traceName());
        answer(request, core::Status(kAlreadyOpen));
        return;
    }
    refreshTraceName();
    core::Status status(-2);
    HANDLE h =
        CreateFileA(m_settings->getPortName().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE || h == nullptr) {
        traceWin32("SerialPort::onConnectReq / ::CreateFile(%s) failed - %ld %s", traceName());
        answer(request, status);
        return;
    }
    setHandle(h);
    ++m_connection;
    m_maskChangePending = false;
    status = connect();
    const bool saved = status.succeeded();
    if (saved)
        status = updateSettings();
    if (status.succeeded()) {
        if (!EscapeCommFunction(m_hPort, SETDTR)) {
            status = core::Status(-1);
            traceWin32("SerialPort::onConnectReq / ::EscapeCommFunction(%s) failed - %ld %s",
                       traceName());
        } else {
            waitForCommEvent();
        }
    }
    // A port that failed to connect is not half open (settings partly applied, no line events
    // waited for): it is given back as it was found and closed, and the next "Connect" opens
    // it afresh.
    if (!status.succeeded())
        closeAfterFailedConnect(saved);
    answer(request, status);
}

void SerialPort::closeAfterFailedConnect(bool restore) {
    if (restore)
        restoreOriginalSettings();
    if (!CloseHandle(m_hPort)) {
        traceWin32("SerialPort::onConnectReq / ::CloseHandle(%s) failed - %ld %s", traceName());
    }
    setHandle(nullptr);
    m_maskChangePending = false;
}

core::Status SerialPort::connect() {
    if (!isOpen())
        return core::Status(-4);
    core::Status status(1);
    if (!GetCommProperties(m_hPort, &m_commProp)) {
        status = core::Status(-1);
        traceWin32("SerialPort::connect / ::GetCommProperties(%s) failed - %ld %s", traceName());
    }
    if (!GetCommTimeouts(m_hPort, &m_commTimeouts)) {
        status = core::Status(-1);
        traceWin32("SerialPort::connect / ::GetCommTimeouts(%s) failed - %ld %s", traceName());
    }
    if (!GetCommState(m_hPort, &m_dcb)) {
        status = core::Status(-1);
        traceWin32("SerialPort::connect / ::GetCommState(%s) failed - %ld %s", traceName());
    }
    DWORD mask = 0;
    if (!GetCommMask(m_hPort, &mask)) {
        status = core::Status(-1);
        traceWin32("SerialPort::connect / ::GetCommMask(%s) failed - %ld %s", traceName());
    }
    m_commMask = mask;
    return status;
}

core::Status SerialPort::updateSettings() {
    if (!isOpen())
        return core::Status(-4);
    core::Dcb dcb;
    if (!GetCommState(m_hPort, &dcb)) {
        traceWin32("SerialPort::updateSettings / ::GetCommState(%s) failed - %ld %s", traceName());
        return core::Status(-1);
    }
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fAbortOnError = 0;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.BaudRate = m_settings->baudRateInUse();
    dcb.ByteSize = m_settings->byteSizeInUse();
    dcb.Parity = m_settings->parityInUse();
    dcb.StopBits = m_settings->stopBitsInUse();
    dcb.EvtChar = static_cast<char>(m_settings->eventCharInUse());
    if (!SetCommState(m_hPort, &dcb)) {
        traceWin32("SerialPort::updateSettings / ::SetCommState(%s) failed - %ld %s", traceName());
        return core::Status(-1);
    }

    core::CommTimeouts timeouts;
    if (!GetCommTimeouts(m_hPort, &timeouts)) {
        traceWin32("SerialPort::updateSettings / ::GetCommTimeouts(%s) failed - %ld %s",
                   traceName());
        return core::Status(-1);
    }
    // Reads return at once with what is there; a write may take 10 s.
    timeouts.ReadIntervalTimeout = 0xFFFFFFFF;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 10000;
    if (!SetCommTimeouts(m_hPort, &timeouts)) {
        traceWin32("SerialPort::updateSettings / ::SetCommTimeouts(%s) failed - %ld %s",
                   traceName());
        return core::Status(-1);
    }

    // A size that is not set counts as 1024 on its own, so that setting only one of the two
    // never hands the "not set" value itself to SetupComm.
    if (!SetupComm(m_hPort, m_settings->inputSizeInUse(), m_settings->outputSizeInUse())) {
        traceWin32("SerialPort::updateSettings / ::SetupComm(%s) failed - %ld %s", traceName());
        return core::Status(-1);
    }
    if (!SetCommMask(m_hPort, m_settings->eventMaskInUse())) {
        traceWin32("SerialPort::updateSettings / ::SetCommMask(%s) failed - %ld %s", traceName());
        return core::Status(-1);
    }
    return core::Status(1);
}

void SerialPort::onDisconnectReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_worker);
    closePort();
    answer(request, core::Status(1));
}

void SerialPort::closePort() {
    CORE_ASSERT_ON_WORKER(m_worker);
    if (isOpen()) {
        if (!EscapeCommFunction(m_hPort, CLRDTR)) {
            traceWin32("SerialPort::onDisconnectReq / ::EscapeCommFunction(%s) failed - %ld %s",
                       traceName());
        }
        if (!PurgeComm(m_hPort, kAllPurge)) {
            traceWin32("SerialPort::onDisconnectReq / ::PurgeComm(%s) failed - %ld %s",
                       traceName());
        }
        restoreOriginalSettings();
        if (!CloseHandle(m_hPort)) {
            traceWin32("SerialPort::onDisconnectReq / ::CloseHandle(%s) failed - %ld %s",
                       traceName());
        }
        setHandle(nullptr);
    }
    m_worker->removeSyncObject(&m_statusOv.getEvent());
    m_maskChangePending = false;
}

core::Status SerialPort::restoreOriginalSettings() {
    if (!isOpen())
        return core::Status(-4);
    Sleep(1);
    core::Status status(1);
    if (!SetCommState(m_hPort, &m_dcb)) {
        status = core::Status(-1);
        traceWin32("SerialPort::restoreOriginalSettings / ::SetCommState(%s) failed - %ld %s",
                   traceName());
    }
    if (!SetCommTimeouts(m_hPort, &m_commTimeouts)) {
        status = core::Status(-1);
        traceWin32("SerialPort::restoreOriginalSettings / ::SetCommTimeouts(%s) failed - %ld %s",
                   traceName());
    }
    m_maskChangePending = true;
    if (!SetCommMask(m_hPort, m_commMask)) {
        status = core::Status(-1);
        traceWin32("SerialPort::restoreOriginalSettings / ::SetCommMask(%s) failed - %ld %s",
                   traceName());
    }
    return status;
}

void SerialPort::onBaudRateReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_worker);
    refreshTraceName();
    bool ok;
    long rate = numberOf(request, ok);
    if (!ok) {
        answer(request, core::Status(-1));
        return;
    }
    m_settings->setBaudRate(static_cast<std::uint32_t>(rate));
    core::Status status(1);
    if (isOpen()) {
        core::Dcb dcb;
        if (!GetCommState(m_hPort, &dcb)) {
            status = core::Status(-1);
            traceWin32("SerialPort::onBaudRateReq / ::GetCommState(%s) failed - %ld %s",
                       traceName());
        } else {
            dcb.BaudRate = m_settings->baudRateInUse();
            if (!SetCommState(m_hPort, &dcb)) {
                status = core::Status(-1);
                traceWin32("SerialPort::onBaudRateReq / ::SetCommState(%s) failed - %ld %s",
                           traceName());
            }
        }
    }
    answer(request, status);
}

void SerialPort::onEventCharReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_worker);
    refreshTraceName();
    bool ok;
    long c = numberOf(request, ok);
    if (!ok) {
        answer(request, core::Status(-1));
        return;
    }
    m_settings->setEventChar(static_cast<std::uint8_t>(c));
    core::Status status(1);
    if (isOpen()) {
        core::Dcb dcb;
        if (!GetCommState(m_hPort, &dcb)) {
            status = core::Status(-1);
            traceWin32("SerialPort::onEventCharReq / ::GetCommState(%s) failed - %ld %s",
                       traceName());
        } else {
            dcb.EvtChar = static_cast<char>(m_settings->eventCharInUse());
            if (!SetCommState(m_hPort, &dcb)) {
                status = core::Status(-1);
                traceWin32("SerialPort::onEventCharReq / ::SetCommState(%s) failed - %ld %s",
                           traceName());
            }
        }
    }
    answer(request, status);
}

void SerialPort::onSetDataFormatReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_worker);
    refreshTraceName();
    auto* format = dynamic_cast<DataFormatReq*>(&request);
    if (!format) {
        answer(request, core::Status(-1));
        return;
    }
    m_settings->setByteSize(format->getByteSize());
    m_settings->setParity(format->getParity());
    m_settings->setStopBits(format->getStopBits());
    core::Status status(1);
    if (isOpen()) {
        core::Dcb dcb;
        if (!GetCommState(m_hPort, &dcb)) {
            status = core::Status(-1);
            traceWin32("SerialPort::onSetDataFormatReq / ::GetCommState(%s) failed - %ld %s",
                       traceName());
        } else {
            dcb.ByteSize = m_settings->byteSizeInUse();
            dcb.Parity = m_settings->parityInUse();
            dcb.StopBits = m_settings->stopBitsInUse();
            if (!SetCommState(m_hPort, &dcb)) {
                status = core::Status(-1);
                traceWin32("SerialPort::onSetDataFormatReq / ::SetCommState(%s) failed - %ld %s",
                           traceName());
            }
        }
    }
    answer(request, status);
}

void SerialPort::onSetCommMaskReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_worker);
    refreshTraceName();
    bool ok;
    long mask = numberOf(request, ok);
    if (!ok) {
        answer(request, core::Status(-1));
        return;
    }
    m_settings->setEventMask(static_cast<std::uint32_t>(mask));
    core::Status status(1);
    if (isOpen()) {
        m_maskChangePending = true;  // the pending wait ends with mask 0 because of this
        if (!SetCommMask(m_hPort, m_settings->eventMaskInUse())) {
            m_maskChangePending = false;
            status = core::Status(-1);
            traceWin32("SerialPort::onSetCommMaskReq / ::SetCommMask(%s) failed - %ld %s",
                       traceName());
        }
    }
    answer(request, status);
}

void SerialPort::onSetBufSizeReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_worker);
    refreshTraceName();
    auto* sizes = dynamic_cast<BufSizeReq*>(&request);
    if (!sizes) {
        answer(request, core::Status(-1));
        return;
    }
    m_settings->setInputSize(sizes->getInputSize());
    m_settings->setOutputSize(sizes->getOutputSize());
    m_readBuffer.assign(m_settings->inputSizeInUse(), 0);
    core::Status status(1);
    if (isOpen() &&
        !SetupComm(m_hPort, m_settings->inputSizeInUse(), m_settings->outputSizeInUse())) {
        status = core::Status(-1);
        traceWin32("SerialPort::onSetBufSizeReq / ::SetupComm(%s) failed - %ld %s", traceName());
    }
    answer(request, status);
}

void SerialPort::onGetCommMaskReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_worker);
    refreshTraceName();
    DWORD mask = 0;
    if (isOpen() && !GetCommMask(m_hPort, &mask)) {
        traceWin32("SerialPort::onGetCommMaskReq / ::GetCommMask(%s) failed - %ld %s", traceName());
        mask = 0;
    }
    core::ServiceChannel::sendResponse(new core::NumberRsp(request, new core::EULong(mask)));
}

void SerialPort::onSetBreakReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_worker);
    refreshTraceName();
    core::Status status(-4);
    if (isOpen()) {
        status = core::Status(1);
        if (!SetCommBreak(m_hPort)) {
            status = core::Status(-1);
            traceWin32("SerialPort::onSetBreakReq / ::SetCommBreak(%s) failed - %ld %s",
                       traceName());
        }
    }
    answer(request, status);
}

void SerialPort::onClearBreakReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_worker);
    refreshTraceName();
    core::Status status(-4);
    if (isOpen()) {
        status = core::Status(1);
        if (!ClearCommBreak(m_hPort)) {
            status = core::Status(-1);
            traceWin32("SerialPort::onClearBreakReq / ::ClearCommBreak(%s) failed - %ld %s",
                       traceName());
        }
    }
    answer(request, status);
}

void SerialPort::onGetMaxBaudRateReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_worker);
    refreshTraceName();
    bool ok;
    const auto start = static_cast<std::uint32_t>(numberOf(request, ok));
    std::uint32_t result = 0;
    core::Status status(1);
    if (isOpen()) {
        core::Dcb dcb;
        if (!GetCommState(m_hPort, &dcb)) {
            traceWin32("SerialPort::onGetMaxBaudRateReq / ::GetCommState(%s) failed - %ld %s",
                       traceName());
            status = core::Status(-1);
        } else {
            const DWORD kept = dcb.BaudRate;
            // A starting rate of 0 would never grow: nothing is tried then.
            for (std::uint32_t rate = start; rate != 0 && rate < 921600; rate *= 2) {
                dcb.BaudRate = rate;
                if (!SetCommState(m_hPort, &dcb))
                    break;
                result = rate;
            }
            dcb.BaudRate = kept;
            if (!SetCommState(m_hPort, &dcb)) {
                traceWin32("SerialPort::onGetMaxBaudRateReq / ::SetCommState(%s) failed - %ld %s",
                           traceName());
                status = core::Status(-1);
                result = 0;
            }
        }
    }
    core::ServiceChannel::sendResponse(
        new core::NumberRsp(request, new core::EULong(result), status));
}

// ---- Writing ----

void SerialPort::onWriteReq(core::Request& request) {
    CORE_ASSERT_ON_WORKER(m_worker);
    refreshTraceName();
    if (m_writeData) {
        // One write at a time: this one is refused; the pending one keeps its answer.
        core::ToggleTrace(
            20, "SerialPort::onWriteReq / (%s) Write refused - another write is pending\n",
            traceName());
        core::ServiceChannel::sendResponse(new core::NumberRsp(request, new core::ELong(0)));
        return;
    }
    m_spWriteRsp = new core::NumberRsp(request);
    auto* objectReq = dynamic_cast<core::RCObjectReq*>(&request);
    core::RCPtr<core::Data> data =
        objectReq ? core::rcCast<core::Data>(objectReq->getObject()) : core::RCPtr<core::Data>();
    if (!data) {
        completeWrite(0);
        return;
    }
    writeToPort(data);
}

void SerialPort::onWritePipe() {
    CORE_ASSERT_ON_WORKER(m_worker);
    if (m_writeData)
        return;  // not taken while a write is pending (see writeToPort)
    core::RCPtr<core::Data> block = m_writePipe->readData();
    if (block)
        writeToPort(block);
}

void SerialPort::writeToPort(const core::RCPtr<core::Data>& data) {
    CORE_ASSERT_ON_WORKER(m_worker);
    if (!isOpen()) {
        core::ToggleTrace(20, "SerialPort::writeToPort / (%s) Not Connected\n", traceName());
        completeWrite(0);
        return;
    }
    DWORD written = 0;
    if (WriteFile(m_hPort, data->getInternalData(), static_cast<DWORD>(data->size()), &written,
                  m_writeOv.get())) {
        completeWrite(static_cast<long>(written));
        return;
    }
    if (GetLastError() == ERROR_IO_PENDING) {
        m_writeData = data;
        // Blocks in the write pipe wait there until this write is done.
        m_worker->removeSyncObject(m_writePipe->getSyncObject());
        m_worker->addSyncObject(&m_writeOv.getEvent());
        return;
    }
    traceWin32("SerialPort::writeToPort / ::WriteFile(%s) failed - %ld %s", traceName());
    completeWrite(0);
}

void SerialPort::onWriteEvent() {
    CORE_ASSERT_ON_WORKER(m_worker);
    m_worker->removeSyncObject(&m_writeOv.getEvent());
    DWORD written = 0;
    bool ok = GetOverlappedResult(m_hPort, m_writeOv.get(), &written, FALSE);
    if (!ok) {
        traceWin32("SerialPort::onWriteEvent / ::GetOverlappedResult(%s) failed - %ld %s",
                   traceName());
    }
    m_writeData.reset();
    m_worker->addSyncObject(m_writePipe->getSyncObject());
    completeWrite(ok ? static_cast<long>(written) : 0);
}

void SerialPort::completeWrite(long bytes) {
    if (!m_spWriteRsp)
        return;  // a block from the write pipe has no answer
    m_spWriteRsp->setNumber(new core::ELong(static_cast<std::int32_t>(bytes)));
    core::ServiceChannel::sendResponse(m_spWriteRsp);
    m_spWriteRsp.reset();
}

// ---- Reading ----

std::uint32_t SerialPort::checkBytesToRead() {
    DWORD errors = 0;
    COMSTAT stat;
    std::memset(&stat, 0, sizeof stat);
    if (!ClearCommError(m_hPort, &errors, &stat)) {
        traceWin32("SerialPort::checkBytesToRead / ::ClearCommError(%s) failed - %ld %s",
                   traceName());
        return 0;
    }
    if (errors != 0) {
        core::RCPtr<core::Status> report = handleCommErrors(errors);
        if (report)
            m_statusChannel->put(report);
    }
    return std::min<std::uint32_t>(stat.cbInQue, inputLimit());
}

void SerialPort::readBytes() {
    if (!isOpen())
        return;  // a read-again signal that outlived the connection
    std::uint32_t n = checkBytesToRead();
    n = std::min<std::uint32_t>(n, static_cast<std::uint32_t>(m_readBuffer.size()));
    if (n == 0) {
        deliver(0);
        return;
    }
    DWORD got = 0;
    if (ReadFile(m_hPort, m_readBuffer.data(), n, &got, m_readOv.get())) {
        deliver(got);
        return;
    }
    if (GetLastError() == ERROR_IO_PENDING) {
        m_worker->addSyncObject(&m_readOv.getEvent());
        return;
    }
    traceWin32("SerialPort::readBytes / ::ReadFile(%s) failed - %ld %s", traceName());
    deliver(0);
}

void SerialPort::onReadEvent() {
    CORE_ASSERT_ON_WORKER(m_worker);
    m_worker->removeSyncObject(&m_readOv.getEvent());
    DWORD got = 0;
    if (!GetOverlappedResult(m_hPort, m_readOv.get(), &got, FALSE)) {
        traceWin32("SerialPort::onReadEvent / ::GetOverlappedResult(%s) failed - %ld %s",
                   traceName());
        deliver(0);
        return;
    }
    deliver(got);
}

void SerialPort::deliver(std::uint32_t bytes) {
    if (bytes == 0)
        return;
    m_inputChannel->put(new core::Data(m_readBuffer.data(), bytes));
    if (static_cast<double>(checkBytesToRead()) > 0.2 * static_cast<double>(inputLimit()))
        m_readAgain->setEvent();
}

void SerialPort::onReadAgain() {
    CORE_ASSERT_ON_WORKER(m_worker);
    m_readAgain->resetEvent();
    readBytes();
}

// ---- Line events ----

bool SerialPort::waitForCommEvent() {
    for (int inRow = 0;; ++inRow) {
        if (!isOpen())
            return false;
        if (inRow == kImmediateEventsInRow) {
            // Events keep coming at once: let queued requests run before waiting again.
            const unsigned connection = m_connection;
            m_worker->post([this, connection] {
                if (connection == m_connection)
                    waitForCommEvent();
            });
            return true;
        }
        m_eventMask = 0;
        if (WaitCommEvent(m_hPort, &m_eventMask, m_statusOv.get())) {
            handleCommEvent();
            continue;
        }
        if (GetLastError() == ERROR_IO_PENDING) {
            m_worker->addSyncObject(&m_statusOv.getEvent());
            return true;
        }
        traceWin32("SerialPort::waitForCommEvent / ::WaitCommEvent(%s) failed - %ld %s",
                   traceName());
        return false;
    }
}

void SerialPort::onStatusEvent() {
    CORE_ASSERT_ON_WORKER(m_worker);
    m_worker->removeSyncObject(&m_statusOv.getEvent());
    DWORD unused = 0;
    if (!GetOverlappedResult(m_hPort, m_statusOv.get(), &unused, FALSE)) {
        traceWin32("SerialPort::onStatusEvent / ::GetOverlappedResult(%s) failed - %ld %s",
                   traceName());
        return;
    }
    handleCommEvent();
    waitForCommEvent();
}

void SerialPort::handleCommEvent() {
    DWORD mask = m_eventMask;
    core::RCPtr<core::Status> report;
    if (mask == 0) {
        if (m_maskChangePending) {
            // Our own SetCommMask ended the wait: nothing happened on the line.
            m_maskChangePending = false;
            return;
        }
        core::LastError error;
        core::ToggleTrace(40, "SerialPort::handleCommEvent / (%s) CommMask == 0 - %ld %s\n",
                          traceName(), static_cast<long>(error.get()), error.stringValue().c_str());
        PurgeComm(m_hPort, kAllPurge);
    }
    if (mask & kModemEvents) {
        DWORD modem = 0;
        if (!GetCommModemStatus(m_hPort, &modem)) {
            traceWin32("SerialPort::handleCommEvent / ::GetCommModemStatus(%s) failed - %ld %s",
                       traceName());
            modem = 0;
        } else if ((mask & EV_DSR) && (modem & MS_DSR_ON)) {
            if (!EscapeCommFunction(m_hPort, SETRTS)) {
                traceWin32("SerialPort::handleCommEvent / ::EscapeCommFunction(%s) failed - %ld %s",
                           traceName());
            }
        }
        report = new core::Status(static_cast<long>(mask), static_cast<long>(modem));
    }
    if (mask & kReadEvents) {
        mask &= ~kReadEvents;
        readBytes();
    }
    if (mask & EV_ERR) {
        DWORD errors = 0;
        COMSTAT stat;
        if (!ClearCommError(m_hPort, &errors, &stat)) {
            traceWin32("SerialPort::handleCommEvent / ::ClearCommError(%s) failed - %ld %s",
                       traceName());
        } else if (core::RCPtr<core::Status> errorReport = handleCommErrors(errors)) {
            report = errorReport;
        }
    }
    if (mask > 0x1000) {
        core::ToggleTrace(40, "SerialPort::handleCommEvent / (%s) Unknown event mask (0x%X) !\n",
                          traceName(), static_cast<unsigned>(mask));
    }
    if (mask != 0) {
        if (!report)
            report = new core::Status(0, 0, 0);
        report->setCode(static_cast<long>(mask));
        m_statusChannel->put(report);
    }
}

core::RCPtr<core::Status> SerialPort::handleCommErrors(std::uint32_t errors) {
    static const struct {
        std::uint32_t bit;
        const char* text;
    } kErrors[] = {
        {CE_RXOVER, " CE_RXOVER |"}, {CE_OVERRUN, " CE_OVERRUN |"}, {CE_RXPARITY, " CE_RXPARITY |"},
        {CE_FRAME, " CE_FRAME |"},   {CE_BREAK, " CE_BREAK |"},     {CE_TXFULL, " CE_TXFULL |"},
        {CE_PTO, " CE_PTO |"},       {CE_IOE, " CE_IOE |"},         {CE_DNS, " CE_DNS |"},
        {CE_OOP, " CE_OOP |"},       {CE_MODE, " CE_MODE |"},
    };
    std::string text;
    for (const auto& e : kErrors)
        if (errors & e.bit)
            text += e.text;
    core::RCPtr<core::Status> result;
    if (errors != 0)
        result = new core::Status(EV_ERR, static_cast<long>(errors));
    if (!text.empty()) {
        core::ToggleTrace(40, "SerialPort::handleCommErrors / %s (%s)\n", traceName(),
                          text.c_str());
    }
    if (errors > 0x9F1F) {
        core::ToggleTrace(40, "SerialPort::handleCommErrors  / %s Unknown Error 0x%X\n",
                          traceName(), static_cast<unsigned>(errors));
    }
    return result;
}
