// The client object of one data provider of the debug-multiplexer service: one byte stream of
// a phone. It lives on its own worker ("DataProviderThread"); other objects reach it only by
// named requests. Received blocks go into its out pipe, from which the channel reads; blocks
// the channel sends go to the service one data block each.
//
// What waits for the channel (blocks posted to the worker and blocks in the pipe) is bounded
// in bytes (ReceiveBacklog): a block that does not fit is dropped whole in the event sink's
// call, counted, and reported in the trace and to the channel (a gap in the pipe). The worker
// never waits for room.
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
#include "transport/ReceiveBacklog.h"

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
    // Posted: the same "Send" without waiting for the service's answer (a refusal is traced).
    // True when the worker took the request. For the channel, which reads the out pipe and
    // must not stop reading while the service takes a block.
    bool postSend(const core::RCPtr<core::Data>& block);
    unsigned short getId();
    core::EString getName();
    core::EString getPortName();
    bool connect();
    bool disconnect();
    // Posted, by the event sink.
    void dataAvailable(const core::RCPtr<core::Data>& block);
    void disconnected();

    // Blocks dropped on their way to the channel: for want of room (see getReceiveBacklog),
    // with no channel reading, or after the worker ended. Any thread.
    std::uint64_t getDroppedBlocks() const;
    // The byte count of what waits for the channel, with its limit and what it dropped. The
    // same object for the provider's whole life; any thread.
    const core::RCPtr<ReceiveBacklog>& getReceiveBacklog() const { return m_spBacklog; }

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
    // A mark of the stream (see ReceiveBacklog) goes into the pipe before its block; the
    // blocks it reports dropped are traced.
    void onMark(const core::RCPtr<ReceiveBacklog::Mark>& mark);
    // Traces the gaps not traced yet: at most once a second, unless `now`.
    void traceGaps(bool now);
    // A block admitted to the backlog that goes no further.
    void discard(const core::RCPtr<core::Data>& block);
    // The provider's identity for trace lines, read from the service once.
    void readIdentity();
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
    // Drops other than for want of room (counted by the backlog).
    std::atomic<std::uint64_t> m_droppedBlocks{0};
    const core::RCPtr<ReceiveBacklog> m_spBacklog;
    // Trace of the gaps: the identity read once, and the time of the last line.
    bool m_identityRead = false;
    long m_traceId = 0;
    core::EString m_traceName;
    std::int64_t m_lastGapTrace = 0;
    bool m_gapTraced = false;
    std::uint64_t m_gapsUntraced = 0, m_blocksUntraced = 0, m_bytesUntraced = 0;
};

}  // namespace vela
