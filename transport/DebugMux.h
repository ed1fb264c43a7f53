// The one client object per process of the debug-multiplexer service. It creates the
// service's DebugMuxServer, keeps the connected targets by id and the attached equipments by
// port name, makes the service serve the equipments' COM ports and tells each equipment which
// Target is its phone. It lives on its own worker ("DebugMuxThread"); other objects reach it
// only by named requests.
//
// The service may run in a process of its own and that process may end (a crash, a restart).
// Every two seconds DebugMux asks the service for something that costs it nothing; when the
// answer says that the service has gone, every equipment loses its target (its channels see
// their streams go, come up again when the phone is back and fail by their activation limit
// otherwise), and a new service object is made at once; one that cannot be made is made
// again when an equipment attaches (as it does when it activates a channel without a phone).
#pragma once

#include <string>

#include "framework/core/RCObject.h"
#include "framework/core/Request.h"
#include "framework/core/Values.h"
#include "platform/com/AtlBase.h"
#include "platform/com/ComPtr.h"
#include "transport/ClientObject.h"

namespace vela {

class EEDebugMuxSink;
class Target;

class DebugMux : public client::ClientObject<DebugMux> {
  public:
    using TargetMap = core::RCMap<unsigned long, core::RCPtr<Target>>;
    using EquipmentMap = core::RCMap<core::EString, core::RCObject*>;

    // The process's DebugMux, made when none is alive. Safe from several threads at once; an
    // instance whose last reference has gone is never handed out again.
    static core::RCPtr<DebugMux> getInstance();

    // Posted: an equipment (a TargetUser) on a port ("COM7"); it is given the phone's target.
    void attachEquipment(const core::EString& portName,
                         const core::RCPtr<core::RCObject>& equipment);
    // Waited for: forgets the equipment on that port. Given the equipment, only that one: an
    // equipment that was refused the port (another held it) leaves the holder attached. The
    // equipment is named by its address, not a counted reference, since it may be ending.
    void detachEquipment(const core::EString& portName, const core::RCObject* equipment = nullptr);
    // Waited for: the target whose providers sit on that port, or none.
    core::RCPtr<Target> getTarget(const core::EString& portName);
    // Posted, by the event sink.
    void targetConnected(const core::RCPtr<Target>& target);
    void targetDisconnected(const core::RCPtr<Target>& target);
    // Posted, by a target whose providers changed.
    void targetUpdated(const core::RCPtr<Target>& target);

  protected:
    DebugMux();
    ~DebugMux() override;

  private:
    friend class client::ClientObject<DebugMux>;
    bool onBeginWorkThread();
    bool onEndWorkThread();

    void onAttachEquipmentReq(core::Request& request);
    void onDetachEquipmentReq(core::Request& request);
    void onGetTargetReq(core::Request& request);
    void onTargetConnectedReq(core::Request& request);
    void onTargetDisconnectedReq(core::Request& request);
    void onTargetUpdatedReq(core::Request& request);
    void onTimer();
    void enumerateTargets();
    void onTargetConnected(const core::RCPtr<Target>& target);
    void onTargetDisconnected(const core::RCPtr<Target>& target);
    void onTargetUpdated(const core::RCPtr<Target>& target);
    // Makes the service serve the COM port named (the number after "COM").
    void openPort(core::EString portName);
    // Gives the target (or none) to the equipment attached on that port, if any.
    void giveTarget(const core::EString& portName, const core::RCPtr<Target>& target);
    // Makes the service's DebugMuxServer and advises the sink on it; with reportMissing also
    // when it could not be made (the failed advise traces it). The creation's failure, or S_OK.
    HRESULT createService(bool reportMissing);
    // Makes the service again if it can, with the start-up enumeration and the equipments'
    // ports.
    void reopenService();
    // Lets go of the service object; the sink is unadvised first.
    void releaseService();
    // Checks every kServiceCheckMs that the service still answers.
    void onCheckTimer();
    void startCheckTimer();
    void stopCheckTimer();
    // The service has gone (hr says how): its targets go, and a new service is made.
    void onServiceLost(HRESULT hr);

    IDispatchPtr m_spMultiplexer;
    ATL::CComPtr<ATL::CComObject<EEDebugMuxSink>> m_spSink;
    core::WaitableTimer* m_pCheckTimer = nullptr;
    // The service went away: making a new one is reported.
    bool m_serviceLost = false;
    core::RCPtr<TargetMap> m_spTargets;
    core::RCPtr<EquipmentMap> m_spEquipments;
};

}  // namespace vela
