// Base of the equipment's byte channels that talk to the phone through one data provider of
// the debug multiplexer (the TVP engine and the print-server channel): binds one provider at a
// time, reads received blocks from the provider's out pipe on the channel's worker, sends
// through the provider, connects it on activation and bounds activation in time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "framework/core/Data.h"
#include "framework/core/Pipe.h"
#include "framework/core/SyncObject.h"
#include "framework/eqbase/Channel.h"
#include "transport/ReceiveBacklog.h"
#include "transport/StreamReader.h"

namespace vela {

class DataProvider;

class VelaChannel : public eqbase::ByteChannel, public StreamReader {
  public:
    explicit VelaChannel(const std::string& name);
    ~VelaChannel() override;

    // Any thread; posted: the provider to bind, or none.
    void setDataProvider(const core::RCPtr<DataProvider>& provider) override;
    // Any thread; posted: a provider reports its stream closed. Only the bound provider's
    // report (or that of the provider still being read after it went) counts.
    void dataProviderDisconnected(const core::RCPtr<DataProvider>& provider) override;
    // Any thread; waits for the worker. Empty when the request cannot be performed.
    std::string getName();

  protected:
    bool onBeginWorkThread() override;
    bool onEndWorkThread() override;
    core::RCPtr<core::RCObject> onActivate(const core::RCPtr<dsrc::DataSourceSink>& sink) override;
    void onDeactivate() override;

    virtual void onSetDataProvider(const core::RCPtr<DataProvider>& provider);
    virtual void onDataProviderDisconnected();
    // One received block, on the worker.
    virtual void onDataFromUE(const core::RCPtr<core::Data>& block) = 0;
    // The activation time limit in milliseconds.
    virtual unsigned long getActivateTimeout() const { return 6000; }
    // The activation ran out of time and the channel now reads failed (state 4).
    virtual void onActivateTimedOut() {}
    // The bound provider has opened its stream for the channel (on activation, or when a
    // provider comes while the channel is activated).
    virtual void onProviderConnected() {}
    // Every block of the stream that went away has been read (handed to onDataFromUE): what
    // comes next belongs to another stream.
    virtual void onStreamEnded() {}
    // Blocks of the stream were dropped before the channel could read them (it fell behind):
    // the next block does not continue the bytes of the one before.
    virtual void onStreamGap() {}

    // Hands a block to the provider to send, without waiting for the service's answer (the
    // provider traces a refusal): the channel goes on reading while the service takes it.
    // False when no provider is bound or its stream is not open.
    bool send(const core::RCPtr<core::Data>& block);
    // The channel is behind its stream: much waits after the block being handled, or, while
    // it awaits an answer, that block had waited long (see VelaChannel.cpp). The derived class
    // should hand on only what must not be lost until it has caught up, so that the answers
    // to its commands come in time and the provider need not drop whole blocks.
    bool isBehind() const { return m_behind; }
    // The derived class waits for an answer of the phone in the stream: the channel then
    // counts itself behind sooner.
    virtual bool isAwaitingAnswer() const { return false; }
    const core::RCPtr<DataProvider>& getDataProvider() const { return m_spDataProvider; }

  private:
    void onGetNameReq(core::Request& request);
    void onSetDataProviderReq(core::Request& request);
    void onDataProviderDisconnectedReq(core::Request& request);
    void onPipe();
    // Hands one item read from the pipe on: a block to onDataFromUE; a mark of the stream
    // gives the time its next blocks came, and when blocks were dropped before them, calls
    // onStreamGap.
    void onPipeItem(const core::RCPtr<core::RCObject>& item);
    // Before a block is handled: whether the channel is behind its stream now.
    void updateBehind();
    // Adds the blocks the read provider dropped since the last call to the channel's counts.
    void countProviderDrops();
    void onActivateTimer();
    void startActivateTimer();
    void stopActivateTimer();
    // Registers the provider's out pipe with the worker, unless it is registered already.
    void bindPipe();
    // Lets go of the provider and its pipe; with readRest, the blocks still queued in the pipe
    // are handed to onDataFromUE first.
    void unbindProvider(bool readRest = false);
    // Ends the reading of a provider that went away (see m_spLeaving): its blocks still in the
    // pipe are read, with readRest, and it is let go.
    void endLeaving(bool readRest);
    void connectProvider(const char* failureTrace);

    core::RCPtr<DataProvider> m_spDataProvider;
    // A provider that went away while its stream was open. The service still delivers the
    // blocks it had received before the stream closed, and reports "Disconnected" after the
    // last of them: until then the channel goes on reading its pipe (m_spPipe), so that
    // nothing the phone sent before it left is dropped. Sends see no provider meanwhile.
    core::RCPtr<DataProvider> m_spLeaving;
    // The bound provider's stream was opened by this channel and has not reported closing.
    bool m_streamOpen = false;
    std::string m_name;
    core::RCPtr<core::Pipe> m_spPipe;
    // The byte count of what waits in and before m_spPipe, and the drops of it already counted.
    core::RCPtr<ReceiveBacklog> m_spBacklog;
    std::uint64_t m_countedBlocks = 0;
    std::uint64_t m_countedBytes = 0;
    bool m_behind = false;
    // When the blocks now read came (core::Clock), from the stream's last mark.
    std::optional<std::int64_t> m_markTime;
    core::WaitableTimer* m_pActivateTimer = nullptr;
};

}  // namespace vela
