// The AT channel: holds the phone's modem (AT) port open while the channel's work thread runs.
//
// The serial port object is made when the work thread begins; each channel info names the port
// and opens it; the port is closed and the object dropped when the work thread ends. The channel
// sends no AT commands and reads nothing; activation and deactivation leave the port alone.
//
// A channel info that names another port than the open one closes the open port first and then
// opens the new one, so the channel always ends up on the port of its latest info (or on none,
// when that port cannot be opened). An info that names the port already open leaves it open.
#pragma once

#include "framework/eqbase/Channel.h"
#include "transport/SerialPort.h"

namespace vela {

class ATChannel : public eqbase::Channel {
  public:
    // The port is closed by this class's own onEndWorkThread, which the channel's final
    // release runs while the whole channel exists.
    ATChannel();

    static core::Object* createObject() { return new ATChannel(); }

  protected:
    bool onBeginWorkThread() override;
    bool onEndWorkThread() override;
    void onSetChannelInfo(const core::RCPtr<dsrc::DataSourceChannelInfo>& info) override;
    core::RCPtr<core::RCObject> onActivate(const core::RCPtr<dsrc::DataSourceSink>& sink) override;
    void onDeactivate() override;

  private:
    // Closes the port if it is open (no request to the serial port otherwise).
    void closePort();

    core::RCPtr<SerialPort> m_spSerialPort;
    // The last "Connect" left a port handle open (it is closed only by "Disconnect").
    bool m_portOpen = false;
};

}  // namespace vela
