// The client object of one target (phone) of the debug-multiplexer service. It keeps the
// phone's data providers by id and the channels that want one by name, and gives each channel
// the provider whose name equals the channel's. It lives on its own worker ("TargetThread");
// other objects reach it only by named requests.
#pragma once

#include <string>

#include "framework/core/RCObject.h"
#include "framework/core/Request.h"
#include "framework/core/Values.h"
#include "platform/com/AtlBase.h"
#include "platform/com/ComPtr.h"
#include "transport/ClientObject.h"

namespace vela {

class DataProvider;
class DebugMux;
class EETargetSink;

class Target : public client::ClientObject<Target> {
  public:
    using DataProviderMap = core::RCMap<unsigned short, core::RCPtr<DataProvider>>;
    using ChannelMap = core::RCMap<core::EString, core::RCObject*>;

    // target: the service's target object (asked for IDispatch); owner: the DebugMux that
    // keeps it (told of the target's providers), or none.
    Target(IUnknown* target, DebugMux* owner);
    ~Target() override;

    // Posted: makes the maps, advises the event sink and starts the 300 ms start-up timer.
    void setup();
    // Waited for: true when one of the phone's providers has that port name.
    bool isTarget(const core::EString& portName);
    unsigned long getId();
    core::EString getName();
    // The port name of the first provider (by id) that has one.
    core::EString getPortName();
    // Posted: a channel (a StreamReader) that wants the provider of that name.
    void attachChannel(const core::EString& name, const core::RCPtr<core::RCObject>& channel);
    // Waited for: forgets the channel of that name (the channel is told nothing).
    void detachChannel(const core::EString& name);
    // Waited for: the first provider (by id) of that name, or none.
    core::RCPtr<DataProvider> getDataProvider(const core::EString& name);
    // Posted, by the event sink.
    void newDataProvider(const core::RCPtr<DataProvider>& provider);
    void dataProviderRemoved(const core::RCPtr<DataProvider>& provider);
    void dataProviderUnavailable(const core::RCPtr<DataProvider>& provider);
    // Waited for, by the owner when it lets go of the target (the phone is no longer reported,
    // or the owner ends): the target no longer reports to it.
    void clearOwner();

  private:
    friend class client::ClientObject<Target>;
    bool onBeginWorkThread();
    bool onEndWorkThread();

    void onSetupReq(core::Request& request);
    void onIsTargetReq(core::Request& request);
    void onGetIdReq(core::Request& request);
    void onGetNameReq(core::Request& request);
    void onGetPortNameReq(core::Request& request);
    void onAttachChannelReq(core::Request& request);
    void onDetachChannelReq(core::Request& request);
    void onGetDataProviderReq(core::Request& request);
    void onNewDataProviderReq(core::Request& request);
    void onDataProviderRemovedReq(core::Request& request);
    void onDataProviderUnavailableReq(core::Request& request);
    void onClearOwnerReq(core::Request& request);
    void onTimer();
    void enumerateDataProviders();
    void onNewDataProvider(const core::RCPtr<DataProvider>& provider);
    void onDataProviderRemoved(const core::RCPtr<DataProvider>& provider);
    core::RCPtr<DataProvider> findByName(const core::EString& name);

    IDispatchPtr m_spTarget;
    ATL::CComPtr<ATL::CComObject<EETargetSink>> m_spSink;
    core::RCPtr<DataProviderMap> m_spDataProviders;
    core::RCPtr<ChannelMap> m_spChannels;
    DebugMux* m_pOwner;
};

}  // namespace vela
