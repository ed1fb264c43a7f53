// Channels of an equipment. Each channel has its own worker; the framework reaches it only
// through requests that run there, and the channel's hooks all run there.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "framework/core/Property.h"
#include "framework/core/Request.h"
#include "framework/core/ServiceChannel.h"
#include "framework/core/SyncObject.h"
#include "framework/core/SyncObjectMgr.h"
#include "framework/core/WorkerBound.h"
#include "framework/dsrc/DataSource.h"
#include "framework/dsrc/DataSourceInfo.h"
#include "framework/dsrc/DataSourceSink.h"

namespace eqbase {

class Channel;
class Equipment;

// Told, on the channel's worker, of what the host shows: active states and apply results.
class ChannelObserver : public core::RCObject {
  public:
    virtual void onChannelActiveState(Channel& channel, int state) = 0;
    virtual void onApplyResult(Channel& channel, core::PropertyNode::Identity identity,
                               const core::Status& status) = 0;
};

// The channel's worker ends with the channel's final release (core::WorkerBound): a channel
// released while its worker runs still has its whole onEndWorkThread chain run, the derived
// classes' parts included.
class Channel : public core::WorkerBound {
  public:
    using Identity = core::PropertyNode::Identity;

    explicit Channel(const std::string& name);
    ~Channel() override;

    const std::string& getChannelName() const { return m_channelName; }

    // Framework operations, callable from any thread: each runs on the channel's worker and
    // is waited for.
    bool startWorkThread();
    bool stopWorkThread();
    bool setParent(Equipment* parent);
    bool setChannelInfo(const core::RCPtr<dsrc::DataSourceChannelInfo>& info);
    // Sets the active state to 2 and activates; the host's object for the activation, empty
    // when the channel refused (the state then goes back to 1).
    core::RCPtr<core::RCObject> activate(const core::RCPtr<dsrc::DataSourceSink>& sink);
    bool deactivate();
    // The channel's settings, made on first request.
    core::RCPtr<core::PropertyStore> getPropertyStore();
    // Validates and applies one item; the result comes through the observer's onApplyResult
    // (at once when validation or the apply handler fails, else when the channel reports it
    // or the item's apply time-out passes).
    bool applyPropertyItem(Identity identity);
    bool validatePropertyItem(Identity identity, core::Status& status);
    void setObserver(const core::RCPtr<ChannelObserver>& observer);
    // The last active state, readable from any thread.
    int getActiveStateSnapshot() const { return m_stateSnapshot.load(); }

  protected:
    virtual void onFinalConstruct() {}
    virtual bool isRequestSupported(const std::string& name) const;
    virtual bool onBeginWorkThread();
    virtual bool onEndWorkThread();
    virtual void onSetParent(Equipment* parent);
    virtual void onSetChannelInfo(const core::RCPtr<dsrc::DataSourceChannelInfo>& info);
    // The object handed to the host for this activation; empty refuses it. The base accepts
    // and reports the channel active.
    virtual core::RCPtr<core::RCObject> onActivate(const core::RCPtr<dsrc::DataSourceSink>& sink);
    // The base reports the deactivation under way (state 6).
    virtual void onDeactivate();
    virtual core::RCPtr<core::PropertyStore> onCreatePropertyStore();
    virtual core::RCPtr<core::PropertyStore> onGetPropertyStore();
    virtual Identity onRemovePropertyStore();
    virtual bool onValidatePropertyItem(core::PropertyItem& item, core::Status& status);
    virtual bool onApplyPropertyItem(core::PropertyItem& item, core::Status& status);
    virtual void onAppliedPropertyItem(core::PropertyItem& item, const core::Status& status);

    // Routes a request name to a handler on this channel's worker.
    template <class T>
    bool attachCallback(const std::string& name, void (T::*member)(core::Request&)) {
        return m_service->attach(name, static_cast<T*>(this), member);
    }
    bool detachCallback(const std::string& name);
    // Posts a request to this channel's worker; waits for a synchronous one.
    bool doRequest(const core::RCPtr<core::Request>& request,
                   core::RCPtr<core::Response>* response = nullptr);
    static bool sendResponse(const core::RCPtr<core::Response>& response);
    bool addSyncObject(core::SyncObject* object);
    bool removeSyncObject(core::SyncObject* object);
    int getChannelActiveState() const { return m_state; }
    void setChannelActiveState(int state);
    // Completes an apply that a handler left pending.
    void applyProperty(Identity identity, const core::Status& status);

    // True while the worker is ending: the pending applies are being failed and
    // onEndWorkThread follows.
    bool isEndingWorkThread() const { return m_ending; }
    const core::RCPtr<core::SyncObjectMgr>& getWorker() const { return m_worker; }
    Equipment* getParent() const { return m_parent; }
    const core::RCPtr<dsrc::DataSourceChannelInfo>& getChannelInfo() const { return m_info; }
    // The object of the current activation (see onActivate), empty when not activated.
    const core::RCPtr<core::RCObject>& getActivation() const { return m_activation; }
    // The activation as a data-source sink (null when it is none), found once per activation
    // rather than once per frame; valid while the activation is held.
    dsrc::DataSourceSink* getActivationSink() const { return m_activationSink; }
    // Hands a frame of this channel to the activation's sink (inside a Delivery of its own).
    // A data source is reached through its route for this channel, made at the first frame
    // and again after the data source's sink changed: no lock and no counted reference per
    // frame. False when the frame was not taken. Only on the worker, with an activation sink.
    bool deliverToActivation(const core::RCPtr<dsrc::DataSourceFrame>& frame);

    // Marks a call into the activation's sink on the worker: an activation that the sink ends
    // or replaces from inside the call (deactivate, activate) is kept until the outermost
    // such call returns, so that the caller needs no reference of its own to the sink.
    class Delivery {
      public:
        explicit Delivery(Channel& channel) : m_channel(channel) { ++m_channel.m_deliveries; }
        // Inline: one per frame; the rare case (an activation ended inside the call) is not.
        ~Delivery() {
            if (--m_channel.m_deliveries == 0 && !m_channel.m_endedDuringDelivery.empty())
                m_channel.releaseEndedDuringDelivery();
        }
        Delivery(const Delivery&) = delete;
        Delivery& operator=(const Delivery&) = delete;

      private:
        Channel& m_channel;
    };

  private:
    struct PendingApply {
        core::RCPtr<core::PropertyItem> item;
        std::unique_ptr<core::WaitableTimer> timer;
    };

    bool beginThread();
    bool endThread();
    // Runs f on the worker and waits; false when the worker does not run.
    bool call(const std::function<void()>& f);
    void finishApply(Identity identity, const core::Status& status);
    void setActivation(const core::RCPtr<core::RCObject>& activation);
    // Releases the activations that ended during the delivery that just returned.
    void releaseEndedDuringDelivery();

    const std::string m_channelName;
    core::RCPtr<core::SyncObjectMgr> m_worker;
    core::RCPtr<core::ServiceChannel> m_service;
    Equipment* m_parent = nullptr;
    core::RCPtr<dsrc::DataSourceChannelInfo> m_info;
    core::RCPtr<core::RCObject> m_activation;
    dsrc::DataSourceSink* m_activationSink = nullptr;  // m_activation as a sink, see above
    dsrc::DataSource* m_activationSource = nullptr;    // m_activation as a data source
    core::RCPtr<dsrc::DataSource::Route> m_route;      // of m_activationSource, see above
    int m_deliveries = 0;                              // Delivery scopes open on the worker
    // Activations ended during a delivery, released when it returns.
    std::vector<core::RCPtr<core::RCObject>> m_endedDuringDelivery;
    core::RCPtr<ChannelObserver> m_observer;
    bool m_ending = false;
    int m_state = dsrc::CHANNEL_STATE_INACTIVE;
    std::atomic<int> m_stateSnapshot{dsrc::CHANNEL_STATE_INACTIVE};
    std::map<Identity, PendingApply> m_pending;
};

// A channel that hands frames to the host's data source.
class ByteChannel : public Channel {
  public:
    using Channel::Channel;

    // Gives a frame to the data source of the current activation; false when there is none
    // or it did not take the frame. A frame without a time of its own is given the time of
    // the last block marked by markBlockArrival (none before the first).
    virtual bool sendDataSourceFrame(const core::RCPtr<dsrc::DataSourceFrame>& frame);

    // What the channel's stream lost because the channel fell behind it: whole blocks dropped
    // before they reached the channel, and frames the channel dropped itself to catch up.
    struct Dropped {
        std::uint64_t blocks = 0;
        std::uint64_t bytes = 0;
        std::uint64_t frames = 0;
    };
    // The counts so far, readable from any thread (each count on its own; a reader between
    // two updates may see one of them ahead).
    Dropped getDropped() const;

  protected:
    // A received block has been taken in (core::Clock::wallMicros, never earlier than the
    // block before): the frames cut from it arrived together and carry this one time, so
    // that the clock is read once per block rather than once per frame. A frame completed by
    // a block carries that block's time.
    void markBlockArrival();
    // Adds to the counts getDropped reports; on the worker.
    void countDropped(std::uint64_t blocks, std::uint64_t bytes, std::uint64_t frames);

    // Accepts the activation when the host gave a data source; empty (refused) otherwise.
    core::RCPtr<core::RCObject> onActivate(const core::RCPtr<dsrc::DataSourceSink>& sink) override;
    bool onEndWorkThread() override;

  private:
    std::uint64_t m_blockMicros = 0;  // time of the last block taken in, 0 before the first
    std::atomic<std::uint64_t> m_droppedBlocks{0};
    std::atomic<std::uint64_t> m_droppedBytes{0};
    std::atomic<std::uint64_t> m_droppedFrames{0};
};

}  // namespace eqbase
