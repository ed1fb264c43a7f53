#include "framework/dsrc/DataSourceInfo.h"

#include <random>

namespace dsrc {

GUID newGuid() {
    static thread_local std::mt19937_64 engine{std::random_device{}()};
    GUID g;
    std::uint64_t a = engine(), b = engine();
    g.Data1 = static_cast<std::uint32_t>(a);
    g.Data2 = static_cast<std::uint16_t>(a >> 32);
    g.Data3 = static_cast<std::uint16_t>(((a >> 48) & 0x0FFF) | 0x4000);  // version 4
    for (int i = 0; i < 8; ++i)
        g.Data4[i] = static_cast<std::uint8_t>(b >> (8 * i));
    g.Data4[0] = static_cast<std::uint8_t>((g.Data4[0] & 0x3F) | 0x80);
    return g;
}

const char* channelActiveStateName(int state) {
    switch (state) {
        case CHANNEL_STATE_INACTIVE:
            return "inactive";
        case CHANNEL_STATE_ACTIVATING:
            return "activating";
        case CHANNEL_STATE_ACTIVE:
            return "active";
        case CHANNEL_STATE_FAILED:
            return "failed";
        case CHANNEL_STATE_DEACTIVATING:
            return "deactivating";
        case CHANNEL_STATE_DEACTIVATED:
            return "deactivated";
        default:
            return "none";
    }
}

DataSourceChannelInfo::DataSourceChannelInfo(int channelType)
    : m_type(channelType), m_guid(newGuid()) {}

core::RCPtr<DataSourceChannelInfo> DataSourceInfo::getChannelInfo(int channelType) const {
    for (auto& c : m_channels)
        if (c->getChannelType() == channelType)
            return c;
    return {};
}

void DataSourceInfo::addChannelInfo(const core::RCPtr<DataSourceChannelInfo>& info) {
    if (info)
        m_channels.push_back(info);
}

}  // namespace dsrc

namespace dsrc {
CLSIDToDataSource& CLSIDToDataSource::instance() {
    static CLSIDToDataSource* map = new CLSIDToDataSource;
    return *map;
}
}  // namespace dsrc
