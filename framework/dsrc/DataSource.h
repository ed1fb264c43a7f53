// The internal data sources: what a data source object does with the frames of its
// equipments. A data source is the sink of every equipment it created; it feeds each frame to
// the decoder it made for the frame's channel (if any) and hands the frame on to the host.
#pragma once

#include <atomic>
#include <cstdint>
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
    // Called on the channels' workers, several at once. Final: a channel may deliver its
    // frames through a Route instead, which does the same.
    bool onDataSourceFrame(const DataSourceChannelInfo* channel,
                           const core::RCPtr<DataSourceFrame>& frame) final;

    // One channel's way to the decoder and the sink, for a channel that delivers a stream of
    // frames from one thread: it keeps the route and delivers through it with no lock and no
    // counted reference per frame. A route holds the data source, the channel's decoder and the
    // sink it was made with; setSink makes every route stale, and the channel then asks for a
    // new one at its next frame (and lets go of the old sink there).
    class Route : public core::RCObject {
      public:
        // Made for this channel, and no sink set on its data source since.
        bool isCurrent(const DataSourceChannelInfo* channel) const {
            return channel == m_channel &&
                   m_generation == m_source->m_generation.load(std::memory_order_acquire);
        }
        // What onDataSourceFrame does, with the decoder and sink of the route.
        bool deliver(const core::RCPtr<DataSourceFrame>& frame) const {
            if (m_decoder)
                m_decoder->data(frame.get());
            return m_sink ? m_sink->onDataSourceFrame(m_channel, frame) : false;
        }

      private:
        friend class DataSource;
        Route() = default;
        core::RCPtr<const DataSource> m_source;
        const DataSourceChannelInfo* m_channel = nullptr;
        DataDecoder* m_decoder = nullptr;  // lives as long as the data source
        core::RCPtr<DataSourceSink> m_sink;
        std::uint64_t m_generation = 0;
    };
    core::RCPtr<Route> route(const DataSourceChannelInfo* channel);

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
    // Counts the setSink calls (written under m_mutex): a route made before one is stale.
    std::atomic<std::uint64_t> m_generation{0};
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
