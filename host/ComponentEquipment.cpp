#include "host/ComponentEquipment.h"

#include <memory>

#include "equipment/VelaGuids.h"
#include "framework/eqbase/EquipmentDetector.h"

namespace host {

namespace {

template <class T>
core::RCPtr<T> makeByName(const std::string& name) {
    core::Object* made = core::Object::createObject(name);
    T* typed = dynamic_cast<T*>(made);
    if (!typed) {
        delete made;
        return {};
    }
    return core::RCPtr<T>(typed);
}

GUID channelGuid(const equip::EquipmentInfo& info, int type) {
    return info.getChannelInfo(type)->getChannelGuid();
}

}  // namespace

core::RCPtr<equip::EquipmentInfo> ComponentEquipment::describe(
    const equip::DeviceInfoData& device) {
    for (const auto& key : eqbase::EquipmentDetector::getKeys(0)) {
        auto detector = eqbase::EquipmentDetector::create(key, 0);
        if (auto found = detector ? detector->detect(device) : nullptr)
            return found;
    }
    return {};
}

bool ComponentEquipment::create(const equip::DeviceInfoData& device, Recorder& recorder,
                                eqbase::ChannelObserver& observer, std::string& error) {
    info = describe(device);
    if (!info) {
        error = "no detector knows the device " + device.product;
        return false;
    }
    std::string className;
    if (!dsrc::CLSIDToDataSource::instance().find(vela::CLSID_VelaComponent, className)) {
        error = "the plug-in registered no data source";
        return false;
    }
    std::unique_ptr<core::Object> made(core::Object::createObject(className));
    auto* creator = dynamic_cast<core::CreatorClass*>(made.get());
    IUnknown* unknown = nullptr;
    if (!creator || !creator->create(&unknown) || !unknown) {
        error = "the data source " + className + " could not be made";
        return false;
    }
    dataSource = CComQIPtr<IEEDataSource>(unknown);
    unknown->Release();
    if (!dataSource) {
        error = "the data source has no IEEDataSource";
        return false;
    }
    recorder.setDecoders(makeByName<dsrc::DataDecoder>("vela::TVPDecoder"),
                         makeByName<dsrc::DataDecoder>("vela::PrintServerDecoder"),
                         makeByName<dsrc::DecoderFrame>("vela::PrintServerDecoderFrame"));
    dataSource->SetDataSourceSink(&recorder);
    dataSource->SetDataSourceInfo(info.get());
    HRESULT hr = dataSource->CreateEquipments(info.get());
    ULONG count = 0;
    dataSource->GetEquipmentCount(&count);
    if (FAILED(hr) || count == 0 || FAILED(dataSource->GetEquipment(0, &equipment))) {
        error = "the equipment could not be made";
        return false;
    }
    equipment->SetChannelObserver(&observer);
    core::RCObject* object = nullptr;
    if (SUCCEEDED(equipment->GetEquipment(&object)) && object) {
        framework = core::rcCast<eqbase::Equipment>(object);
        object->release();
    }
    if (!framework) {
        error = "the equipment has no framework object";
        return false;
    }
    for (auto& [channelInfo, channel] : framework->listChannels()) {
        if (channelInfo->getChannelType() == dsrc::CHANNEL_TYPE_TVP)
            tvp = channel;
        if (channelInfo->getChannelType() == dsrc::CHANNEL_TYPE_PRINT_SERVER)
            print = channel;
        if (channelInfo->getChannelType() == dsrc::CHANNEL_TYPE_AT)
            at = channel;
    }
    if (!tvp) {
        error = "the equipment made no TVP channel";
        return false;
    }
    return true;
}

bool ComponentEquipment::activate(std::string& error) {
    VARIANT_BOOL activated = VARIANT_FALSE;
    if (FAILED(
            equipment->ActivateChannel(channelGuid(*info, dsrc::CHANNEL_TYPE_TVP), &activated)) ||
        activated == VARIANT_FALSE) {
        error = "the TVP channel refused the activation";
        return false;
    }
    if (print)
        equipment->ActivateChannel(channelGuid(*info, dsrc::CHANNEL_TYPE_PRINT_SERVER), &activated);
    return true;
}

void ComponentEquipment::deactivate() {
    if (!equipment || !info)
        return;
    equipment->DeactivateChannel(channelGuid(*info, dsrc::CHANNEL_TYPE_TVP));
    if (info->getChannelInfo(dsrc::CHANNEL_TYPE_PRINT_SERVER))
        equipment->DeactivateChannel(channelGuid(*info, dsrc::CHANNEL_TYPE_PRINT_SERVER));
}

void ComponentEquipment::release(Recorder* recorder) {
    if (recorder)
        recorder->setDecoders({}, {}, {});
    tvp.reset();
    print.reset();
    at.reset();
    framework.reset();
    equipment.Release();
    if (dataSource)
        dataSource->ReleaseEquipments();
    dataSource.Release();
    info.reset();
}

}  // namespace host
