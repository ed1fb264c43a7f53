// An equipment: one phone, its channels and its settings, living on its own worker.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "framework/core/Property.h"
#include "framework/core/ServiceChannel.h"
#include "framework/core/SyncObjectMgr.h"
#include "framework/core/WorkerBound.h"
#include "framework/dsrc/DataSourceSink.h"
#include "framework/eqbase/Channel.h"
#include "framework/equip/EquipmentInfo.h"

namespace eqbase {

// Its last release ends its worker (core::WorkerBound); its owner may end it earlier with
// stopWorkThread.
class Equipment : public core::WorkerBound {
  public:
    using ChannelMap = std::map<GUID, core::RCPtr<Channel>>;
    using Identity = core::PropertyNode::Identity;

    explicit Equipment(const std::string& name);
    ~Equipment() override;

    const std::string& getEquipmentName() const { return m_name; }

    // Framework operations, callable from any thread; each runs on the equipment's worker and
    // is waited for.
    bool startWorkThread();
    bool stopWorkThread();
    // Hands the equipment its info, then lets it create its channels.
    bool setEquipmentInfo(const core::RCPtr<equip::EquipmentInfo>& info);
    // Where the frames of activated channels go, and who hears of states and applies; both
    // are given to channels made afterwards.
    void setDataSourceSink(const core::RCPtr<dsrc::DataSourceSink>& sink);
    void setChannelObserver(const core::RCPtr<ChannelObserver>& observer);
    core::RCPtr<core::RCObject> activateChannel(const GUID& channel);
    bool deactivateChannel(const GUID& channel);
    // The channels and their infos, as they are now.
    std::vector<std::pair<core::RCPtr<dsrc::DataSourceChannelInfo>, core::RCPtr<Channel>>>
    listChannels();
    core::RCPtr<core::PropertyStore> getPropertyStore();
    // A request to the equipment's own requests (posted, or waited for when synchronous).
    bool request(const core::RCPtr<core::Request>& request,
                 core::RCPtr<core::Response>* response = nullptr) {
        return doRequest(request, response);
    }

    virtual bool setProperty(const std::string& key, const std::string& value);
    virtual bool getProperty(const std::string& key, std::string& value);

  protected:
    virtual void onFinalConstruct() {}
    virtual bool onBeginWorkThread();
    // The base deactivates active channels and ends their workers.
    virtual bool onEndWorkThread();
    // The base makes the channel with the creator registered for the info's type, starts its
    // worker and gives it this equipment and the info. Empty for none, or without a creator.
    virtual core::RCPtr<Channel> createChannel(
        const core::RCPtr<dsrc::DataSourceChannelInfo>& info);
    virtual void onSetEquipmentInfo(const core::RCPtr<equip::EquipmentInfo>& info);
    // The base creates a channel for every visible and selected channel info.
    virtual void onCreateChannels(const core::RCPtr<equip::EquipmentInfo>& info);
    virtual core::RCPtr<core::RCObject> onActivateChannel(const GUID& channel);
    virtual void onDeactivateChannel(const GUID& channel);
    virtual bool onValidatePropertyItem(core::PropertyItem& item, core::Status& status);
    virtual bool onApplyPropertyItem(core::PropertyItem& item, core::Status& status);
    virtual void onAppliedPropertyItem(core::PropertyItem& item, const core::Status& status);
    virtual core::RCPtr<core::PropertyStore> onCreatePropertyStore();
    virtual core::RCPtr<core::PropertyStore> onGetPropertyStore();
    virtual Identity onRemovePropertyStore();

    bool addChannelCreator(int channelType, core::Object::Creator creator);
    bool removeChannelCreator(int channelType);
    template <class T>
    bool attachServiceRequest(const std::string& name, void (T::*member)(core::Request&)) {
        return m_service->attach(name, static_cast<T*>(this), member);
    }
    bool detachServiceRequest(const std::string& name);
    bool doRequest(const core::RCPtr<core::Request>& request,
                   core::RCPtr<core::Response>* response = nullptr);
    core::RCPtr<Channel> getChannel(const GUID& channel) const;
    const ChannelMap& getChannels() const { return m_channels; }
    const core::RCPtr<equip::EquipmentInfo>& getEquipmentInfo() const { return m_info; }
    const core::RCPtr<core::SyncObjectMgr>& getWorker() const { return m_worker; }

  private:
    bool beginThread();
    bool endThread();
    bool call(const std::function<void()>& f);

    const std::string m_name;
    core::RCPtr<core::SyncObjectMgr> m_worker;
    core::RCPtr<core::ServiceChannel> m_service;
    core::RCPtr<equip::EquipmentInfo> m_info;
    core::RCPtr<dsrc::DataSourceSink> m_sink;
    core::RCPtr<ChannelObserver> m_observer;
    std::map<int, core::Object::Creator> m_creators;
    ChannelMap m_channels;
};

// The process-wide map from equipment class identities to registered class names.
class CLSIDToEquipment : public core::GUIDToString {
  public:
    static CLSIDToEquipment& instance();
};

}  // namespace eqbase

namespace ATL {
class CAtlModule;
}

namespace eqbase {
// Keeps the host's ATL module for the framework's registrations.
class ATLModuleRegistratorHelper {
  public:
    static ATLModuleRegistratorHelper& instance();
    void setATLModule(ATL::CAtlModule* module) { m_module = module; }
    ATL::CAtlModule* getATLModule() const { return m_module; }

  private:
    ATL::CAtlModule* m_module = nullptr;
};
}  // namespace eqbase
