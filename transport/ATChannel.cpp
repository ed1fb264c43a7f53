#include "transport/ATChannel.h"

#include "framework/core/Trace.h"
#include "framework/equip/EquipmentInfo.h"
#include "transport/SerialPortSettings.h"

namespace vela {

namespace {

// The name the serial port stores for a given port name (COM5 becomes \\.\COM5).
std::string storedPortName(const std::string& name) {
    SerialPortSettings settings;
    settings.setPortName(name);
    return settings.getPortName();
}

// Whether the port is open after a "Connect" with this status: a failed "Connect" leaves it
// closed (also when applying a setting failed after it was opened).
bool leavesPortOpen(const core::Status& status) {
    return status.succeeded() || status.getCode() == SerialPort::kAlreadyOpen;
}

}  // namespace

ATChannel::ATChannel() : eqbase::Channel("AT Channel") {}

bool ATChannel::onBeginWorkThread() {
    CORE_ASSERT_ON_WORKER(getWorker());
    if (!eqbase::Channel::onBeginWorkThread())
        return false;
    m_spSerialPort = new SerialPort();
    m_portOpen = false;
    return true;
}

bool ATChannel::onEndWorkThread() {
    CORE_ASSERT_ON_WORKER(getWorker());
    if (m_spSerialPort) {
        closePort();
        // The last reference: its release ends the serial port's worker.
        m_spSerialPort.reset();
    }
    return eqbase::Channel::onEndWorkThread();
}

void ATChannel::onSetChannelInfo(const core::RCPtr<dsrc::DataSourceChannelInfo>& info) {
    CORE_ASSERT_ON_WORKER(getWorker());
    eqbase::Channel::onSetChannelInfo(info);
    auto channelInfo = core::rcCast<equip::EquipmentChannelInfo>(info);
    if (!channelInfo)
        return;
    const std::string& name = channelInfo->getPortName();
    if (!m_spSerialPort) {
        core::ToggleTrace(20, "ATChannel::onSetChannelInfo / (%s) No serial port - ignored\n",
                          name.c_str());
        return;
    }
    if (storedPortName(name) != m_spSerialPort->getPortName()) {
        // The serial port refuses a second "Connect" while open: the open port is closed
        // first, so that the channel moves to the port its new info names.
        closePort();
        m_spSerialPort->setPortName(name);
    } else if (m_portOpen) {
        return;  // the port named is open already
    }
    // The outcome is not used: a failed opening is traced by the serial port, and the channel
    // runs on with the port closed; the next channel info tries again.
    m_portOpen = leavesPortOpen(m_spSerialPort->connectPort());
}

core::RCPtr<core::RCObject> ATChannel::onActivate(const core::RCPtr<dsrc::DataSourceSink>& sink) {
    return eqbase::Channel::onActivate(sink);
}

void ATChannel::onDeactivate() {
    eqbase::Channel::onDeactivate();
}

void ATChannel::closePort() {
    // disconnectPort answers at once, without a request, when no port is open.
    core::Status status = m_spSerialPort->disconnectPort();
    if (status.getCode() != -4)
        core::ToggleTrace(40, "ATChannel::closePort / (%s) closed - %ld\n",
                          m_spSerialPort->getPortName().c_str(), status.getCode());
    m_portOpen = false;
}

}  // namespace vela
