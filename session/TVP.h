// The TVP engine of one phone: the equipment's TVP channel. It starts the session (time-stamp
// source) when given a data provider, cuts the phone's byte stream into frames, consumes the
// command acknowledgements and passes every other frame to the host's data source, owns the
// channel's settings (the probe catalogue) and turns applied settings into commands.
#pragma once

#include <cstdint>

#include "framework/core/Data.h"
#include "framework/core/Property.h"
#include "protocol/TvpCommandAck.h"
#include "protocol/TvpIoProtocolFactory.h"
#include "protocol/TvpTestCodeArguments.h"
#include "session/CommandQueue.h"
#include "session/ProbeCatalogue.h"
#include "session/VelaChannel.h"

namespace vela {

class TVP : public VelaChannel, public CommandSender, public CatalogueHandlers {
  public:
    // The start-up command's ids in the command queue.
    static constexpr std::uint32_t kStartUpReqId = 1;
    static constexpr std::uint32_t kStartUpSeqId = 3;

    TVP();
    ~TVP() override;
    static core::Object* createObject() { return new TVP(); }

    // Command queue owner: stamps the frame sequence number and sends the request.
    bool sendCommand(const core::RCPtr<TvpIoProtocol>& request) override;

    bool onTimeStampTypeAck(Command& command, TvpCommandAck& ack);
    bool onProbeModeAck(Command& command, TvpCommandAck& ack);
    bool onExecuteTestCodeAck(Command& command, TvpCommandAck& ack);

    bool onApplyProbeMode(core::PropertyItem& item, core::Status& status) override;
    bool onApplyPhyProbe(core::PropertyItem& item, core::Status& status) override;
    bool onValidateCapability(core::PropertyItem& item, core::Status& status) override;
    bool onApplyCapability(core::PropertyItem& item, core::Status& status) override;

    void executeTestCode(std::uint32_t reqId, std::uint32_t seqId,
                         const TvpTestCodeArgumentsBase& arguments);

    // Counts kept on the worker for the host's display and for tests.
    struct Counters {
        std::uint64_t framesDelivered = 0;  // handed to the data source
        std::uint64_t framesRefused = 0;    // the data source did not take them
        std::uint64_t framesDropped = 0;    // the factory could not build them
        std::uint64_t bytesSkipped = 0;     // skipped to find the next frame after a bad length
        std::uint64_t bytesCutShort = 0;    // of frames begun on a stream that went away or
                                            // that lost the blocks after them
        std::uint64_t acknowledgements = 0;
        std::uint64_t reportsShed = 0;  // reports dropped while the channel was behind
        std::uint64_t gaps = 0;         // places where the provider dropped blocks
    };
    const Counters& getCounters() const { return m_counters; }

  protected:
    bool onBeginWorkThread() override;
    bool onEndWorkThread() override;
    core::RCPtr<core::RCObject> onActivate(const core::RCPtr<dsrc::DataSourceSink>& sink) override;
    core::RCPtr<core::PropertyStore> onCreatePropertyStore() override;
    core::RCPtr<core::PropertyStore> onGetPropertyStore() override;
    Identity onRemovePropertyStore() override;
    void onSetDataProvider(const core::RCPtr<DataProvider>& provider) override;
    void onStreamEnded() override;
    void onStreamGap() override;
    // Commands are queued: the answer to the one in flight is awaited.
    bool isAwaitingAnswer() const override { return !m_queue.empty(); }
    void onDataFromUE(const core::RCPtr<core::Data>& block) override;
    // The start-up went unanswered: it leaves the queue, so that the applies behind it go out
    // and the next activation sends a fresh one.
    void onActivateTimedOut() override;
    // An apply that failed (a negative answer or its time-out) takes the rest of its commands
    // out of the queue, so that a lost answer does not hold up the applies after it.
    void onAppliedPropertyItem(core::PropertyItem& item, const core::Status& status) override;

  private:
    // Cuts whole frames off the bytes from `from` on and processes them; returns where the
    // uncut bytes begin (the rest is an incomplete frame).
    std::size_t cut(const core::RCPtr<core::Data>& bytes, std::size_t from);
    // Adds to the pending frame the bytes it still needs from the front of the block and
    // processes it once whole; returns the number of the block's bytes taken.
    std::size_t completePending(const core::Data& block);
    // True when the pending bytes begin with a length that no frame has (below 4).
    bool pendingHeadInvalid() const;
    // Keeps the bytes from `used` on as the start of the next frame.
    void keepTail(const core::RCPtr<core::Data>& bytes, std::size_t used);
    // Builds the frame over length bytes of the block from offset, sharing them, and passes
    // it on.
    void processFrame(const core::RCPtr<core::Data>& bytes, std::size_t offset, std::size_t length);
    // Drops the bytes of the frame begun before the stream broke off; `why` ends the trace.
    void dropPending(const char* why);
    // Follows the channel's being behind, and traces the start and end of a stretch in which
    // reports were dropped (at most a pair of lines a second; with flush, the reports not yet
    // traced are).
    void noteShedding(bool behind, bool flush = false);
    void queueStartUp();
    // Takes a start-up still waiting for its answer out of the queue (its late answer is then
    // ignored); true if there was one.
    bool abandonStartUp();
    void addCommand(std::uint32_t reqId, std::uint32_t seqId,
                    const core::RCPtr<TvpIoProtocol>& request,
                    bool (TVP::*callback)(Command&, TvpCommandAck&));

    std::uint8_t m_seqNo = 0;
    bool m_inAcknowledge = false;
    CommandQueue m_queue;
    core::RCPtr<TvpIoProtocolFactory> m_pFactory;
    core::RCPtr<core::Data> m_spBuffer;
    core::RCPtr<core::PropertyStore> m_spPropertyStore;
    Counters m_counters;
    // While the channel is behind its stream (VelaChannel::isBehind), probe and inject reports
    // are counted and dropped unbuilt, so that the stream is read fast enough for the command
    // answers in it to come in time; every other frame is handled as always.
    bool m_shedding = false;
    std::uint64_t m_shedInStretch = 0;  // dropped since the last "caught up" line
    bool m_shedTraced = false;
    bool m_shedLineOpen = false;  // a "behind" line waits for its "caught up" line
    std::int64_t m_lastShedTrace = 0;
};

}  // namespace vela
