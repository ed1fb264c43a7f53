// What a data source knows of its equipment: channel infos by channel type, and the class
// identity that names the equipment's model family.
#pragma once

#include <string>
#include <vector>

#include "framework/core/RCObject.h"
#include "framework/core/Values.h"
#include "platform/win32/guiddef.h"

namespace dsrc {

// Channel types of the data-source framework.
enum ChannelType : int {
    CHANNEL_TYPE_TVP = 2,
    CHANNEL_TYPE_DATA_MODEM = 3,
    CHANNEL_TYPE_PRINT_SERVER = 5,
    CHANNEL_TYPE_AT = 7,
};

// Channel active states.
enum ChannelActiveState : int {
    CHANNEL_STATE_NONE = 0,
    CHANNEL_STATE_INACTIVE = 1,
    CHANNEL_STATE_ACTIVATING = 2,
    CHANNEL_STATE_ACTIVE = 3,
    CHANNEL_STATE_FAILED = 4,
    CHANNEL_STATE_DEACTIVATING = 6,
    CHANNEL_STATE_DEACTIVATED = 7,
};

const char* channelActiveStateName(int state);

class DataSourceChannelInfo : public core::RCObject {
  public:
    explicit DataSourceChannelInfo(int channelType = 0);
    DataSourceChannelInfo(const DataSourceChannelInfo& other) = default;
    DataSourceChannelInfo& operator=(const DataSourceChannelInfo& other) = default;

    int getChannelType() const { return m_type; }
    // Identifies the channel made from this info within its equipment; new for each info.
    const GUID& getChannelGuid() const { return m_guid; }
    bool isVisible() const { return m_visible; }
    void setVisible(bool visible) { m_visible = visible; }
    bool isSelected() const { return m_selected; }
    void setSelected(bool selected) { m_selected = selected; }
    int getChannelActiveState() const { return m_state; }
    void setChannelActiveState(int state) { m_state = state; }

    core::Object* copy() const override { return new DataSourceChannelInfo(*this); }

  private:
    int m_type;
    GUID m_guid;
    bool m_visible = true;
    bool m_selected = true;
    int m_state = CHANNEL_STATE_INACTIVE;
};

class DataSourceInfo : public core::RCObject {
  public:
    // The first channel info of the type, or empty.
    core::RCPtr<DataSourceChannelInfo> getChannelInfo(int channelType) const;
    const std::vector<core::RCPtr<DataSourceChannelInfo>>& getChannelInfos() const {
        return m_channels;
    }
    void addChannelInfo(const core::RCPtr<DataSourceChannelInfo>& info);
    void setClassIdentity(const GUID& identity) { m_classIdentity = identity; }
    const GUID& getClassIdentity() const { return m_classIdentity; }

  private:
    std::vector<core::RCPtr<DataSourceChannelInfo>> m_channels;
    GUID m_classIdentity = GUID_NULL;
};

// A new random GUID.
GUID newGuid();

}  // namespace dsrc

namespace dsrc {
// The process-wide map from data-source class identities to registered class names.
class CLSIDToDataSource : public core::GUIDToString {
  public:
    static CLSIDToDataSource& instance();
};
}  // namespace dsrc
