// One serial COM port driven with overlapped I/O on a worker of its own ("SerialPort").
//
// Other threads open, configure, close and write to the port through the request operations
// below, each of which waits for the worker's answer. Received bytes come out of the read pipe
// as core::Data blocks; line events and line errors come out of the status pipe as
// core::Status objects (code: the event mask, second value: the modem status or the CE_ error
// mask). Blocks put into the write pipe are written to the port in order.
//
// Reading is driven by line events: by default by the event character (line feed, EV_RXFLAG)
// and by the input queue passing 80 % (EV_RX80FULL). After each read, when more than 20 % of
// the input limit is still waiting, the port reads again at once.
//
// Status codes: 1 success; -1 a Win32 call failed; -2 the port could not be opened; -3 the port
// is open already (a second "Connect" changes nothing); -4 the port is not open. A "Connect"
// that fails leaves the port closed, with the settings it was found with.
//
// setPortName and getPortName belong to the thread that owns the port (the one that sends it
// "Connect"); the pipes can be taken from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "framework/core/Comm.h"
#include "framework/core/Pipe.h"
#include "framework/core/RCObject.h"
#include "framework/core/Request.h"
#include "framework/core/ServiceChannel.h"
#include "framework/core/Status.h"
#include "framework/core/SyncObject.h"
#include "framework/core/SyncObjectMgr.h"
#include "framework/core/WorkerBound.h"
#include "transport/SerialPortSettings.h"

class SerialPort : public core::WorkerBound {
  public:
    // The status code of a "Connect" to a port that is open already.
    static constexpr long kAlreadyOpen = -3;

    SerialPort();
    ~SerialPort() override;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Request operations: each waits for the worker.
    core::Status connectPort();
    // -4 at once when the port is not open; otherwise sleeps 10 ms after the answer.
    core::Status disconnectPort();
    // The number of bytes written (0 when the port is closed, the write failed, or another
    // write is still in progress).
    long write(const core::RCPtr<core::Data>& data);
    core::Status setBaudRate(long rate);
    core::Status setEventChar(std::uint8_t eventChar);
    core::Status setDataFormat(std::uint8_t byteSize, std::uint8_t parity, std::uint8_t stopBits);
    std::uint32_t getCommMask();
    core::Status setCommMask(long mask);
    core::Status setBufSize(std::uint32_t inputSize, std::uint32_t outputSize);
    // Holds a break for the given time, then clears it.
    core::Status sendBreak(std::uint32_t milliseconds);
    core::Status clearBreak();
    // The highest rate, doubling from the starting rate while below 921600, that the port
    // accepts; the port's rate is put back afterwards. 0 when none is accepted or closed.
    std::uint32_t getMaxBaudRate(std::uint32_t startRate);

    // Direct operations.
    void setPortName(const std::string& name) { m_settings->setPortName(name); }
    std::string getPortName() const { return m_settings->getPortName(); }
    core::RCPtr<core::Pipe> getReadPipe() const { return m_inputChannel->getPipe(); }
    core::RCPtr<core::Pipe> getStatusPipe() const { return m_statusChannel->getPipe(); }
    core::RCPtr<core::AsyncPipe> getWritePipe() const { return m_writePipe; }

  protected:
    // Writes one block (on the worker). One write is outstanding at a time.
    virtual void writeToPort(const core::RCPtr<core::Data>& data);

  private:
    bool onBeginThread();
    // Closes a port still open (as "Disconnect" does) when the last reference goes.
    bool onEndThread();
    // Closes the port, its settings restored (on the worker).
    void closePort();

    void onConnectReq(core::Request& request);
    void onDisconnectReq(core::Request& request);
    void onWriteReq(core::Request& request);
    void onBaudRateReq(core::Request& request);
    void onEventCharReq(core::Request& request);
    void onSetBreakReq(core::Request& request);
    void onClearBreakReq(core::Request& request);
    void onSetCommMaskReq(core::Request& request);
    void onGetCommMaskReq(core::Request& request);
    void onGetMaxBaudRateReq(core::Request& request);
    void onSetDataFormatReq(core::Request& request);
    void onSetBufSizeReq(core::Request& request);

    core::Status connect();
    core::Status updateSettings();
    core::Status restoreOriginalSettings();
    // Gives back and closes a port whose "Connect" failed after it was opened; restore: its
    // settings as found were saved and are written back.
    void closeAfterFailedConnect(bool restore);

    void onWriteEvent();
    void onReadEvent();
    void onStatusEvent();
    void onReadAgain();
    void onWritePipe();
    void completeWrite(long bytes);

    std::uint32_t checkBytesToRead();
    void readBytes();
    void deliver(std::uint32_t bytes);
    std::uint32_t inputLimit() const { return m_settings->inputSizeInUse(); }

    bool waitForCommEvent();
    void handleCommEvent();
    core::RCPtr<core::Status> handleCommErrors(std::uint32_t errors);

    core::Status statusRequest(const core::RCPtr<core::Request>& request, const char* name);
    void answer(core::Request& request, const core::Status& status);
    bool isOpen() const { return m_hPort != nullptr; }
    void setHandle(HANDLE handle);
    // The port name for trace lines: the open port's, or the settings' while closed.
    const char* traceName() const { return m_traceName.c_str(); }
    void refreshTraceName();

    HANDLE m_hPort = nullptr;
    core::CommProp m_commProp;
    core::CommTimeouts m_commTimeouts;
    core::Dcb m_dcb;
    std::uint32_t m_commMask = 0;
    core::Overlapped m_statusOv;
    core::Overlapped m_readOv;
    core::Overlapped m_writeOv;
    std::unique_ptr<core::Event> m_readAgain;
    DWORD m_eventMask = 0;
    std::vector<unsigned char> m_readBuffer;
    core::RCPtr<core::SyncObjectMgr> m_worker;
    core::RCPtr<core::ServiceChannel> m_service;
    std::unique_ptr<core::DataChannel> m_inputChannel;
    std::unique_ptr<core::DataChannel> m_statusChannel;
    std::unique_ptr<SerialPortSettings> m_settings;
    core::RCPtr<core::NumberRsp> m_spWriteRsp;
    core::RCPtr<core::AsyncPipe> m_writePipe;

    // The block being written while a write is pending (its bytes must outlive the write).
    core::RCPtr<core::Data> m_writeData;
    // A mask change made here completes the pending line-event wait with mask 0; that
    // completion is expected and not treated as a fault.
    bool m_maskChangePending = false;
    std::string m_traceName;
    // Counts the connections made, so that a deferred wait never runs on a later one.
    unsigned m_connection = 0;
    // Mirrors "the port is open" for disconnectPort's check on the caller's thread.
    std::atomic<bool> m_open{false};
};
