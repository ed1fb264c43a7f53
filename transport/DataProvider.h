// The client object of one data provider of the debug-multiplexer service: one byte stream of
// a phone. It lives on its own worker ("DataProviderThread"); other objects reach it only by
// named requests. Blocks the channel sends go to the service one data block each.
//
// Received blocks do not pass through the worker: the event sink, on the service's thread,
// copies each block once into a recycled block (core::DataPool) and writes it straight into
// the out pipe, from which the channel reads. The pipe takes blocks only while a channel
// reads it (from the first "GetOutPipe" until the channel lets the provider go); the worker
// opens and closes it and writes the trace lines of what was dropped.
//
// What waits for the channel (the blocks in the pipe) is bounded in bytes (ReceiveBacklog): a
// block that does not fit is dropped whole in the event sink's call, before it is copied,
// counted, and reported in the trace and to the channel (a gap in the pipe). Nothing waits
// for room.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "framework/core/Data.h"
#include "framework/core/DataPool.h"
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
    // The event sink's call, on the service's thread: n received bytes. They are admitted to
    // the backlog first (a block that does not fit is dropped without being copied), then
    // copied once into a block of the pool and written into the out pipe.
    void receive(const void* bytes, std::size_t n);
    // The same for a block already made. Any thread.
    void dataAvailable(const core::RCPtr<core::Data>& block);
    // Posted, by the event sink.
    void disconnected();

    // Blocks dropped on their way to the channel: for want of room (see getReceiveBacklog),
    // with no channel reading, or after the worker ended. Any thread.
    std::uint64_t getDroppedBlocks() const;
    // The byte count of what waits for the channel, with its limit and what it dropped. The
    // same object for the provider's whole life; any thread.
    const core::RCPtr<ReceiveBacklog>& getReceiveBacklog() const { return m_spBacklog; }
    // The recycled blocks received bytes are copied into. Any thread.
    const core::RCPtr<core::DataPool>& getBlockPool() const { return m_spPool; }

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
    // Any thread: an admitted block goes into the pipe, after the mark the backlog has for it.
    void deliver(const core::RCPtr<core::Data>& block, std::size_t bytes);
    // Any thread: the pipe did not take an admitted block of `bytes` bytes.
    void refused(std::size_t bytes);
    // On the worker: who reads the pipe changed; the pipe takes blocks only while one does.
    void updateReader();
    // Traces the gaps not traced yet: at most once a second, unless `now`.
    void traceGaps(bool now);
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
    StreamReader* m_pChannel = nullptr;
    // A channel asked for the pipe; a channel read this provider and has let it go (later
    // blocks have no reader); the worker has ended.
    bool m_pipeHandedOut = false;
    bool m_channelLeft = false;
    bool m_ended = false;
    // The same for the service's thread, which reads it when the pipe refuses a block.
    enum Reader { NoPipe, Reading, Left, Ended };
    std::atomic<int> m_reader{NoPipe};
    // Drops other than for want of room (counted by the backlog).
    std::atomic<std::uint64_t> m_droppedBlocks{0};
    const core::RCPtr<ReceiveBacklog> m_spBacklog;
    const core::RCPtr<core::DataPool> m_spPool;
    // Made with the provider, taking blocks only while a channel reads it.
    const core::RCPtr<core::AsyncPipe> m_spOutPipe;
    // Trace of the gaps: the identity read once, and the time of the last line.
    bool m_identityRead = false;
    long m_traceId = 0;
    core::EString m_traceName;
    std::int64_t m_lastGapTrace = 0;
    bool m_gapTraced = false;
    std::uint64_t m_gapsUntraced = 0, m_blocksUntraced = 0, m_bytesUntraced = 0;
};

}  // namespace vela
