// The ATL chain of a data-source object: dsrc::EEDataSource (IEEDataSource) ->
// dsrc::EEEquipmentClient (creates the equipment objects) -> dsrc::EEMsgServerWrapper (the
// host's mobile message server and data component) -> dsrc::EEMsgServerWrapperWithATDetect.
#pragma once

#include <string>
#include <vector>

#include "framework/combase/ComponentATL.h"
#include "framework/core/ComponentCount.h"
#include "framework/dsrc/DataSource.h"

namespace dsrc {

class EEDataSource : public EEBackplaneComponentATL, public IEEDataSource {
  public:
    BEGIN_COM_MAP(EEDataSource)
    COM_INTERFACE_ENTRY(IEEDataSource)
    COM_INTERFACE_ENTRY_CHAIN(EEBackplaneComponentATL)
    END_COM_MAP()

    STDMETHOD(SetDataSourceInfo)(core::RCObject* info) override;
    STDMETHOD(CreateEquipments)(core::RCObject* info) override;
    STDMETHOD(GetEquipmentCount)(ULONG* count) override;
    STDMETHOD(GetEquipment)(ULONG index, IEEEquipment** equipment) override;
    STDMETHOD(SetDataSourceSink)(core::RCObject* sink) override;
    STDMETHOD(GetMobileCLSID)(CLSID* clsid) override;
    STDMETHOD(GetDataCLSID)(CLSID* clsid) override;
    STDMETHOD(GetFamilyName)(BSTR* name) override;
    STDMETHOD(ReleaseEquipments)() override;

    void FinalRelease();

  protected:
    virtual void setDataSourceInfo(const core::RCPtr<DataSourceInfo>& info);
    virtual core::RCPtr<DataSource> createDataSource() = 0;
    virtual void createEquipments(const core::RCPtr<equip::EquipmentInfo>& info);
    virtual std::string getFamilyName() const { return {}; }

    // The internal data source, made on first need.
    const core::RCPtr<DataSource>& getDataSource();
    const core::RCPtr<DataSourceInfo>& getDataSourceInfo() const { return m_info; }
    void addEquipment(IEEEquipment* equipment);
    std::vector<CComPtr<IEEEquipment>> equipments();

    // The CLSIDs of the host's components for the phone; read and written under the object's
    // lock, since a host may call the free-threaded object from several threads.
    CLSID getMobileCLSIDValue();
    void setMobileCLSIDValue(const CLSID& clsid);
    void setDataCLSIDValue(const CLSID& clsid);

  private:
    core::ComponentCount m_counted;  // first: it goes after everything the object held
    std::mutex m_mutex;
    core::RCPtr<DataSourceInfo> m_info;
    core::RCPtr<DataSource> m_dataSource;
    core::RCPtr<DataSourceSink> m_hostSink;
    std::vector<CComPtr<IEEEquipment>> m_equipments;
    CLSID m_mobileCLSID = GUID_NULL;
    CLSID m_dataCLSID = GUID_NULL;
};

class EEEquipmentClient : public EEDataSource {
  protected:
    // Makes the equipment object registered for this component's CLSID, gives it the data
    // source as its sink and the info, and keeps it. Failures are traced.
    void createEquipments(const core::RCPtr<equip::EquipmentInfo>& info) override;
};

class EEMsgServerWrapper : public EEEquipmentClient {
  public:
    void FinalRelease();

  protected:
    void setMobileCLSID(const CLSID& clsid) { setMobileCLSIDValue(clsid); }
    void setDataCLSID(const CLSID& clsid) { setDataCLSIDValue(clsid); }
    // The host's mobile message server for the chosen CLSID, created on first use (null when
    // the host has none). No reference is given: the wrapper keeps the object.
    IUnknown* getMobileMsgServer();

  private:
    std::mutex m_serverMutex;
    CComPtr<IUnknown> m_mobileServer;
    CLSID m_serverFor = GUID_NULL;
};

class EEMsgServerWrapperWithATDetect : public EEMsgServerWrapper {
  protected:
    void setDataSourceInfo(const core::RCPtr<DataSourceInfo>& info) override;
    std::string getFamilyName() const override = 0;
    virtual unsigned long getRegistryKeyDelay() const { return 0; }
    virtual int getDetectChannelType() const { return CHANNEL_TYPE_AT; }
};

}  // namespace dsrc
