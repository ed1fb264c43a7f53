// The client object of one data provider of the debug-multiplexer service: one byte stream of
// a phone. It lives on its own worker ("DataProviderThread"); other objects reach it only by
// named requests. Received blocks go into its out pipe, from which the channel reads; blocks
// the channel sends go to the service one data block each.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "framework/core/Data.h"
#include "framework/core/Pipe.h"
#include "framework/core/RCObject.h"
#include "framework/core/Request.h"
#include "framework/core/Values.h"
#include "platform/com/AtlBase.h"
#include "platform/com/ComPtr.h"
#include "transport/ClientObject.h"

namespace vela {

class EEDataProviderSink;
class StreamReader;

class DataProvider : public client::ClientObject<DataProvider> {
  public:
    // provider: the service's data-provider object (asked for IDispatch).
    explicit DataProvider(IUnknown* provider);
    ~DataProvider() override;

    // Posted: advises the event sink on the service's provider.
    void setup();
    // Waited for: the channel that reads this provider (an RCObject that is a StreamReader),
    // or none to forget it.
    void setVelaChannel(StreamReader* channel);
    // Waited for: the pipe that every received block is written into (the same every time).
    core::RCPtr<core::Pipe> getOutPipe();
    // Waited for: true when the service took the whole block.
    bool send(const core::RCPtr<core::Data>& block);
    unsigned short getId();
    core::EString getName();
    core::EString getPortName();
    bool connect();
    bool disconnect();
    // Posted, by the event sink.
    void dataAvailable(const core::RCPtr<core::Data>& block);
    void disconnected();

    // Blocks dropped because the out pipe refused them.
    std::uint64_t getDroppedBlocks() const;

  private:
    friend class client::ClientObject<DataProvider>;
    bool onBeginWorkThread();
    bool onEndWorkThread();

    void onSetupReq(core::Request& request);
    void onSetVelaChannelReq(core::Request& request);
    void onGetOutPipeReq(core::Request& request);
    void onSendReq(core::Request& request);
    void onGetIdReq(core::Request& request);
    void onGetNameReq(core::Request& request);
    void onGetPortNameReq(core::Request& request);
    void onConnectReq(core::Request& request);
    void onDisconnectReq(core::Request& request);
    void onDataAvailableReq(core::Request& request);
    void onDisconnectedReq(core::Request& request);
    void onDataAvailable(const core::RCPtr<core::Data>& block);
    // The service's answers, read on the worker (they raise _com_error when the call fails).
    unsigned short readId();
    core::EString readName();
    core::EString readPortName();
    // Connect or Disconnect of the stream: status 1 when the service answered VARIANT_TRUE.
    long streamCall(bool connect);

    IDispatchPtr m_spProvider;
    ATL::CComPtr<ATL::CComObject<EEDataProviderSink>> m_spSink;
    core::RCPtr<core::AsyncPipe> m_spOutPipe;
    StreamReader* m_pChannel = nullptr;
    // A channel read this provider and has let it go: later blocks have no reader.
    bool m_channelLeft = false;
    std::atomic<std::uint64_t> m_droppedBlocks{0};
};

}  // namespace vela
