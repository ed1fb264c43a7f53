// The COM interfaces of the equipment and data-source framework, by which the host reaches
// equipments, data sources and their information elements (the system's IPersist,
// IPersistStreamInit and IPipeByte come from platform/com/ObjIdl.h). Methods that hand over
// framework objects (equipment infos, sinks, requests) take them as core::RCObject pointers: host,
// framework and plug-in share one process and one framework library.
#pragma once

#include "platform/com/Com.h"
#include "platform/com/ObjIdl.h"

namespace core {
class RCObject;
}

inline constexpr IID IID_IEEBaseComponent = {
    0x3F6E1C01, 0x8A2B, 0x4C7D, {0xB1, 0x10, 0x20, 0x31, 0x42, 0x53, 0x64, 0x01}};
inline constexpr IID IID_IEESetup = {
    0x3F6E1C02, 0x8A2B, 0x4C7D, {0xB1, 0x10, 0x20, 0x31, 0x42, 0x53, 0x64, 0x02}};
inline constexpr IID IID_IEEProperties = {
    0x3F6E1C03, 0x8A2B, 0x4C7D, {0xB1, 0x10, 0x20, 0x31, 0x42, 0x53, 0x64, 0x03}};
inline constexpr IID IID_IEEEquipment = {
    0x3F6E1C04, 0x8A2B, 0x4C7D, {0xB1, 0x10, 0x20, 0x31, 0x42, 0x53, 0x64, 0x04}};
inline constexpr IID IID_IEEDataSource = {
    0x3F6E1C05, 0x8A2B, 0x4C7D, {0xB1, 0x10, 0x20, 0x31, 0x42, 0x53, 0x64, 0x05}};
inline constexpr IID IID_IEEBackplaneComponent = {
    0x3F6E1C06, 0x8A2B, 0x4C7D, {0xB1, 0x10, 0x20, 0x31, 0x42, 0x53, 0x64, 0x06}};
inline constexpr IID IID_IEEInformationElement = {
    0x3F6E1C07, 0x8A2B, 0x4C7D, {0xB1, 0x10, 0x20, 0x31, 0x42, 0x53, 0x64, 0x07}};
inline constexpr IID IID_IEEInformationElements = {
    0x3F6E1C08, 0x8A2B, 0x4C7D, {0xB1, 0x10, 0x20, 0x31, 0x42, 0x53, 0x64, 0x08}};

// What every framework component offers: its identity and the trace switch.
struct IEEBaseComponent : IUnknown {
    STDMETHOD(GetProgID)(BSTR* progId) = 0;
    STDMETHOD(GetCLSID)(CLSID* clsid) = 0;
    STDMETHOD(SetTraceState)(VARIANT_BOOL active, VARIANT_BOOL cipher, LONG reserved) = 0;
    STDMETHOD(IsTraceStateSet)(VARIANT_BOOL* active) = 0;
};
struct IEESetup : IUnknown {
    STDMETHOD(Setup)() = 0;
};
// Named properties: the key is a VARIANT (a number or a name), the value any VARIANT.
struct IEEProperties : IUnknown {
    STDMETHOD(SetProperty)(VARIANT key, VARIANT value) = 0;
    STDMETHOD(GetProperty)(VARIANT key, VARIANT* value) = 0;
};
struct IEEBackplaneComponent : IUnknown {
    STDMETHOD(GetName)(BSTR* name) = 0;
};

// One piece of equipment (one phone) with its channels.
struct IEEEquipment : IUnknown {
    // An equip::EquipmentInfo: the equipment takes it and creates its channels.
    STDMETHOD(SetEquipmentInfo)(core::RCObject* info) = 0;
    // A dsrc::DataSourceSink that receives the frames of activated channels.
    STDMETHOD(SetDataSourceSink)(core::RCObject* sink) = 0;
    // An eqbase::ChannelObserver told of channel states and apply results.
    STDMETHOD(SetChannelObserver)(core::RCObject* observer) = 0;
    STDMETHOD(ActivateChannel)(REFGUID channel, VARIANT_BOOL* activated) = 0;
    STDMETHOD(DeactivateChannel)(REFGUID channel) = 0;
    // Posts (or, for a synchronous request, performs and answers) a core::Request on the
    // equipment's worker; *response gets the core::Response with a reference, or null.
    STDMETHOD(DoRequest)(core::RCObject* request, core::RCObject** response) = 0;
    // The framework equipment object (an eqbase::Equipment) with a reference: the host's way
    // to its channels and settings.
    STDMETHOD(GetEquipment)(core::RCObject** equipment) = 0;
    STDMETHOD(GetEquipmentGuid)(GUID* identity) = 0;
    // Ends the equipment's worker; the object is unusable afterwards.
    STDMETHOD(Terminate)() = 0;
};

// A data source: selects the host components for an equipment, creates the equipment
// objects and passes their frames on.
struct IEEDataSource : IUnknown {
    STDMETHOD(SetDataSourceInfo)(core::RCObject* info) = 0;
    STDMETHOD(CreateEquipments)(core::RCObject* info) = 0;
    STDMETHOD(GetEquipmentCount)(ULONG* count) = 0;
    STDMETHOD(GetEquipment)(ULONG index, IEEEquipment** equipment) = 0;
    // The host's dsrc::DataSourceSink: every frame of every equipment goes there.
    STDMETHOD(SetDataSourceSink)(core::RCObject* sink) = 0;
    STDMETHOD(GetMobileCLSID)(CLSID* clsid) = 0;
    STDMETHOD(GetDataCLSID)(CLSID* clsid) = 0;
    STDMETHOD(GetFamilyName)(BSTR* name) = 0;
    // Ends every equipment (in creation order) and forgets them.
    STDMETHOD(ReleaseEquipments)() = 0;
};

// One decoded item for the host's display: an identity, a name, a description and a value.
// The value is a byte string (SysAllocStringByteLen): decoded text keeps its bytes exactly.
struct IEEInformationElement : IUnknown {
    STDMETHOD(SetInfo)(LONG id, BSTR name, BSTR description) = 0;
    STDMETHOD(SetValue)(BSTR value) = 0;
    STDMETHOD(GetId)(LONG* id) = 0;
    STDMETHOD(GetName)(BSTR* name) = 0;
    STDMETHOD(GetDescription)(BSTR* description) = 0;
    STDMETHOD(GetValue)(BSTR* value) = 0;
};
struct IEEInformationElements : IUnknown {
    STDMETHOD(Add)(IEEInformationElement* element, VARIANT_BOOL* added) = 0;
    STDMETHOD(GetCount)(LONG* count) = 0;
    STDMETHOD(GetItem)(LONG index, IEEInformationElement** element) = 0;
};

COM_DECLARE_UUID(IEEBaseComponent, IID_IEEBaseComponent)
COM_DECLARE_UUID(IEESetup, IID_IEESetup)
COM_DECLARE_UUID(IEEProperties, IID_IEEProperties)
COM_DECLARE_UUID(IEEBackplaneComponent, IID_IEEBackplaneComponent)
COM_DECLARE_UUID(IEEEquipment, IID_IEEEquipment)
COM_DECLARE_UUID(IEEDataSource, IID_IEEDataSource)
COM_DECLARE_UUID(IEEInformationElement, IID_IEEInformationElement)
COM_DECLARE_UUID(IEEInformationElements, IID_IEEInformationElements)

// The property key of a mobile message server that carries the phone's AT port name.
inline constexpr LONG kPropertyATPortName = 0x8084;
