// One attached Vela phone: creates its channels (TVP, print server, AT), binds to the phone
// through the process-wide multiplexer client by its modem port, attaches its TVP-protocol
// channels to the phone's target once the multiplexer has found it, and offers the phone's
// identification settings.
#pragma once

#include <string>

#include "framework/eqbase/EEEquipment.h"
#include "framework/eqbase/Equipment.h"
#include "transport/TargetUser.h"

namespace vela {

class DebugMux;
class Target;

class VelaEquipment : public eqbase::Equipment, public TargetUser {
  public:
    VelaEquipment();
    ~VelaEquipment() override;

    // Posted: the phone's target, or none when it went away.
    void setTarget(const core::RCPtr<Target>& target) override;

  protected:
    bool onBeginWorkThread() override;
    bool onEndWorkThread() override;
    core::RCPtr<eqbase::Channel> createChannel(
        const core::RCPtr<dsrc::DataSourceChannelInfo>& info) override;
    void onSetEquipmentInfo(const core::RCPtr<equip::EquipmentInfo>& info) override;
    void onCreateChannels(const core::RCPtr<equip::EquipmentInfo>& info) override;
    core::RCPtr<core::RCObject> onActivateChannel(const GUID& channel) override;
    void onDeactivateChannel(const GUID& channel) override;
    core::RCPtr<core::PropertyStore> onCreatePropertyStore() override;
    core::RCPtr<core::PropertyStore> onGetPropertyStore() override;
    Identity onRemovePropertyStore() override;

  private:
    void onSetTargetReq(core::Request& request);
    // Stores the phone's target (or none), moving the channels from the old one to it.
    void setStoredTarget(const core::RCPtr<Target>& target);
    // Forgets the port the equipment was attached under with the multiplexer, if any.
    void detachFromMultiplexer();
    // Attaches (or detaches) every TVP-protocol channel to (from) the stored target.
    void attachChannels();
    // phoneGone: the target went or was replaced, and the channels let its providers go too.
    void detachChannels(bool phoneGone = false);

    core::RCPtr<DebugMux> m_spDebugMux;
    // The TVP channel's port (the phone's "Modem" port) the multiplexer knows this equipment
    // by; empty while it is not attached.
    std::string m_attachedPort;
    core::RCPtr<Target> m_spTarget;
    core::RCPtr<core::PropertyStore> m_spPropertyStore;
};

// The COM object the host creates for a Vela phone.
class EEVelaEquipment : public EEEquipment {
  protected:
    core::RCPtr<eqbase::Equipment> createEquipment() override;
    GUID getEquipmentGuid() const override;
};

class EEVelaEquipmentCreatorClass : public core::CreatorClass {
  public:
    static core::Object* createObject() { return new EEVelaEquipmentCreatorClass(); }
    bool create(IUnknown** out) override;
};

}  // namespace vela
