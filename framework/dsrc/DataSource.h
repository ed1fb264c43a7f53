// The internal data sources: what a data source object does with the frames of its
// equipments. A data source is the sink of every equipment it created; it feeds each frame to
// the decoder it made for the frame's channel (if any) and hands the frame on to the host.
#pragma once

#include <map>
#include <mutex>

#include "framework/dsrc/DataDecoder.h"
#include "framework/dsrc/DataSourceSink.h"
#include "framework/equip/EquipmentInfo.h"

namespace dsrc {

// The source of a data source's frames in one mode (live or replayed).
class DataProvider : public core::RCObject {
  public:
    explicit DataProvider(int mode = 0) : m_mode(mode) {}
    int getMode() const { return m_mode; }

  private:
    int m_mode;
};

class DataSource : public DataSourceSink {
  public:
    virtual core::RCPtr<DataProvider> createDataProvider(int mode) = 0;
    // The decoder of a channel's frames, or empty for none.
    virtual core::RCPtr<DataDecoder> createDataDecoder(const DataSourceChannelInfo* channel) = 0;

    // Where frames go after decoding: the host's sink.
    void setSink(const core::RCPtr<DataSourceSink>& sink);
    // Called on the channels' workers, several at once.
    bool onDataSourceFrame(const DataSourceChannelInfo* channel,
                           const core::RCPtr<DataSourceFrame>& frame) override;

  private:
    // The decoder of the channel, made on its first frame (under m_mutex). Decoders stay in
    // the map as long as the data source, so a frame's call uses it by a plain pointer.
    // The last channel's decoder is found inline; another channel's in the map (lookUpDecoder).
    DataDecoder* decoderOf(const DataSourceChannelInfo* channel) {
        return m_haveLast && channel == m_lastChannel ? m_lastDecoder : lookUpDecoder(channel);
    }
    DataDecoder* lookUpDecoder(const DataSourceChannelInfo* channel);

    std::mutex m_mutex;
    core::RCPtr<DataSourceSink> m_sink;
    std::map<const DataSourceChannelInfo*, core::RCPtr<DataDecoder>> m_decoders;
    // The channel looked up last and its decoder: a stream of one channel's frames finds it
    // without a look-up.
    const DataSourceChannelInfo* m_lastChannel = nullptr;
    DataDecoder* m_lastDecoder = nullptr;
    bool m_haveLast = false;
};

class EquipmentClient : public DataSource {
  public:
    core::RCPtr<DataProvider> createDataProvider(int mode) override;
    // Decoders are the host's to choose: none here.
    core::RCPtr<DataDecoder> createDataDecoder(const DataSourceChannelInfo* channel) override;
};

// A data source that can also find phones through an AT dialogue on a serial port, and then
// classifies them from the model and product strings they report.
class EquipmentClientWithATDetect : public EquipmentClient {
  public:
    virtual core::RCPtr<core::RCObject> createATDetector() { return {}; }
    virtual core::RCPtr<core::RCObject> createSerialPort() { return {}; }
    // Sets the class identity of an equipment info from its model and product strings.
    virtual void classifyModel(equip::EquipmentInfo* info) = 0;
};

}  // namespace dsrc
