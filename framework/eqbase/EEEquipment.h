// The COM object of an equipment: IEEEquipment and IEEProperties over an eqbase::Equipment
// that a derived class makes, running on the equipment's own worker.
#pragma once

#include "framework/combase/EEInterfaces.h"
#include "framework/core/ComponentCount.h"
#include "framework/eqbase/Equipment.h"
#include "platform/com/Com.h"

class EEEquipment : public ATL::CComObjectRootEx<ATL::CComMultiThreadModel>,
                    public IEEEquipment,
                    public IEEProperties {
  public:
    BEGIN_COM_MAP(EEEquipment)
    COM_INTERFACE_ENTRY(IEEEquipment)
    COM_INTERFACE_ENTRY(IEEProperties)
    END_COM_MAP()

    // Makes the equipment and starts its worker.
    HRESULT FinalConstruct();
    // Ends the worker if Terminate did not.
    void FinalRelease();

    STDMETHOD(SetEquipmentInfo)(core::RCObject* info) override;
    STDMETHOD(SetDataSourceSink)(core::RCObject* sink) override;
    STDMETHOD(SetChannelObserver)(core::RCObject* observer) override;
    STDMETHOD(ActivateChannel)(REFGUID channel, VARIANT_BOOL* activated) override;
    STDMETHOD(DeactivateChannel)(REFGUID channel) override;
    STDMETHOD(DoRequest)(core::RCObject* request, core::RCObject** response) override;
    STDMETHOD(GetEquipment)(core::RCObject** equipment) override;
    STDMETHOD(GetEquipmentGuid)(GUID* identity) override;
    STDMETHOD(Terminate)() override;
    STDMETHOD(SetProperty)(VARIANT key, VARIANT value) override;
    STDMETHOD(GetProperty)(VARIANT key, VARIANT* value) override;

  protected:
    virtual ~EEEquipment() = default;
    // The equipment object of the derived class.
    virtual core::RCPtr<eqbase::Equipment> createEquipment() = 0;
    virtual GUID getEquipmentGuid() const = 0;

  private:
    core::ComponentCount m_counted;  // first: it goes after the equipment
    core::RCPtr<eqbase::Equipment> m_equipment;
};
