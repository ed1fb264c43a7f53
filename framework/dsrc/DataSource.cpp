#include "framework/dsrc/DataSource.h"

namespace dsrc {

void DataSource::setSink(const core::RCPtr<DataSourceSink>& sink) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sink = sink;
    m_generation.store(m_generation.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

core::RCPtr<DataSource::Route> DataSource::route(const DataSourceChannelInfo* channel) {
    core::RCPtr<Route> route(new Route);
    route->m_source = this;
    route->m_channel = channel;
    std::lock_guard<std::mutex> lock(m_mutex);
    route->m_decoder = decoderOf(channel);
    route->m_sink = m_sink;
    route->m_generation = m_generation.load(std::memory_order_relaxed);
    return route;
}

DataDecoder* DataSource::lookUpDecoder(const DataSourceChannelInfo* channel) {
    auto it = m_decoders.find(channel);
    if (it == m_decoders.end())
        it = m_decoders.emplace(channel, createDataDecoder(channel)).first;
    m_lastChannel = channel;
    m_lastDecoder = it->second.get();
    m_haveLast = true;
    return m_lastDecoder;
}

bool DataSource::onDataSourceFrame(const DataSourceChannelInfo* channel,
                                   const core::RCPtr<DataSourceFrame>& frame) {
    core::RCPtr<DataSourceSink> sink;
    DataDecoder* decoder = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        sink = m_sink;
        decoder = decoderOf(channel);
    }
    // The caller holds this data source for the call, and with it the decoder.
    if (decoder)
        decoder->data(frame.get());
    return sink ? sink->onDataSourceFrame(channel, frame) : false;
}

core::RCPtr<DataProvider> EquipmentClient::createDataProvider(int mode) {
    return new DataProvider(mode);
}

core::RCPtr<DataDecoder> EquipmentClient::createDataDecoder(const DataSourceChannelInfo*) {
    return {};
}

}  // namespace dsrc
