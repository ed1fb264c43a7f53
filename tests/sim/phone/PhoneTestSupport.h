// A tiny TVP client for the simulated phone's tests: it uses a provider of the simulated
// service through its COM objects as the component does (advised sink, Connect, Send of data
// blocks), records every DataAvailable block, and re-cuts the received stream into frames.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "framework/core/Bytes.h"
#include "framework/core/Data.h"
#include "protocol/TvpCommandAck.h"
#include "protocol/TvpCommandReq.h"
#include "protocol/TvpIoProtocolFactory.h"
#include "protocol/TvpLayout.h"
#include "protocol/TvpProbeInject.h"
#include "sim/SimPhone.h"
#include "tests/sim/SimTestSupport.h"

namespace phonetest {

using namespace std::chrono_literals;
using sim::Bytes;

// Frames cut from a byte stream by the 17-bit length of each header; `rest` bytes of an
// unfinished frame are left over. A length below 4 marks the stream as broken.
struct Cut {
    std::vector<Bytes> frames;
    std::size_t rest = 0;
    bool broken = false;
};

inline Cut cutFrames(const Bytes& stream) {
    Cut cut;
    std::size_t at = 0;
    while (stream.size() - at >= 4) {
        std::uint32_t length = core::readU4(&stream[at]) & vela::TvpLayout::kSizeMask;
        if (length < 4) {
            cut.broken = true;
            break;
        }
        if (stream.size() - at < length)
            break;
        cut.frames.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(at),
                                stream.begin() + static_cast<std::ptrdiff_t>(at + length));
        at += length;
    }
    cut.rest = stream.size() - at;
    return cut;
}

inline std::uint8_t dataIdOf(const Bytes& frame) {
    return static_cast<std::uint8_t>((core::readU4(frame.data()) >> vela::TvpLayout::kDataIdShift) &
                                     vela::TvpLayout::kFieldMask);
}
inline bool isAck(const Bytes& frame) {
    return dataIdOf(frame) == 2;
}
inline bool isProbe(const Bytes& frame) {
    return dataIdOf(frame) == 0 && frame[4] == 0;
}

// A frame object made by the component's factory from received bytes.
template <class T>
core::RCPtr<T> parse(const Bytes& frame) {
    vela::TvpIoProtocolFactory factory(vela::TvpIoProtocol::FROM_UE);
    auto object = factory.create(frame.data(), static_cast<unsigned int>(frame.size()));
    return core::rcCast<T>(object);
}

// The bytes of a request built with the protocol classes, with its sequence number.
template <class Req>
Bytes encode(core::RCPtr<Req> request, std::uint8_t seqNo) {
    request->setSeqNo(seqNo);
    const auto& data = request->getFrame();
    return Bytes(data->getInternalData(), data->getInternalData() + data->size());
}

inline Bytes setTimeStamp(std::uint8_t seqNo) {
    return encode(core::RCPtr<vela::TvpCommandSetTimeStampReq>(new vela::TvpCommandSetTimeStampReq(
                      vela::TvpCommandSetTimeStampReq::TIME_STAMP_SESSION)),
                  seqNo);
}

inline Bytes setProbeMode(std::uint8_t seqNo, std::uint16_t probeId, bool on) {
    auto mode = on ? vela::TvpCommandSetProbeModeReq::PROBE_MODE_ON
                   : vela::TvpCommandSetProbeModeReq::PROBE_MODE_OFF;
    return encode(core::RCPtr<vela::TvpCommandSetProbeModeReq>(
                      new vela::TvpCommandSetProbeModeReq(probeId, mode)),
                  seqNo);
}

class TvpClient {
  public:
    explicit TvpClient(const sim::ProviderHandle& provider) : m_object(provider.object()) {
        m_sink = simtest::makeSink<simtest::ProviderSink>();
        if (m_object)
            m_sink->DispEventAdvise(m_object);
        m_stream = IDataProviderStreamPtr(m_object);
    }
    TvpClient(const TvpClient&) = delete;
    TvpClient& operator=(const TvpClient&) = delete;
    ~TvpClient() {
        if (m_stream)
            m_stream->Disconnect();
        if (m_object)
            m_sink->DispEventUnadvise(m_object);
        m_sink->Release();
    }

    bool connect() { return m_stream && m_stream->Connect() == VARIANT_TRUE; }
    // While held, the service's delivery thread waits in the next DataAvailable.
    void hold(bool on) { m_sink->hold(on); }
    bool disconnect() { return m_stream && m_stream->Disconnect() == VARIANT_TRUE; }

    bool send(const Bytes& bytes) {
        IDataBlockPtr block(CLSID_DataBlock);
        SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
        BYTE* p = nullptr;
        SafeArrayAccessData(array, reinterpret_cast<void**>(&p));
        std::copy(bytes.begin(), bytes.end(), p);
        SafeArrayUnaccessData(array);
        block->PutData(&array);
        SafeArrayDestroy(array);
        return m_stream->Send(block) == VARIANT_TRUE;
    }

    std::vector<Bytes> blocks() const {
        std::lock_guard<std::mutex> lock(m_sink->mutex);
        return m_sink->blocks;
    }
    Bytes stream() const {
        Bytes all;
        for (const auto& block : blocks())
            all.insert(all.end(), block.begin(), block.end());
        return all;
    }
    std::vector<Bytes> frames() const { return cutFrames(stream()).frames; }
    std::vector<Bytes> acks() const {
        std::vector<Bytes> result;
        for (auto& frame : frames())
            if (isAck(frame))
                result.push_back(frame);
        return result;
    }

    // Waits until the condition holds for the frames received so far (checked at each block).
    bool waitFrames(const std::function<bool(const std::vector<Bytes>&)>& condition,
                    std::chrono::milliseconds timeout = 5000ms) const {
        std::unique_lock<std::mutex> lock(m_sink->mutex);
        return m_sink->changed.wait_for(lock, timeout, [&] {
            Bytes all;
            for (const auto& block : m_sink->blocks)
                all.insert(all.end(), block.begin(), block.end());
            return condition(cutFrames(all).frames);
        });
    }
    bool waitAcks(std::size_t count, std::chrono::milliseconds timeout = 5000ms) const {
        return waitFrames(
            [count](const std::vector<Bytes>& frames) {
                return static_cast<std::size_t>(
                           std::count_if(frames.begin(), frames.end(), isAck)) >= count;
            },
            timeout);
    }

  private:
    IDataProviderPtr m_object;
    IDataProviderStreamPtr m_stream;
    ATL::CComObject<simtest::ProviderSink>* m_sink = nullptr;
};

// Each test starts from a fresh service and checks at the end that every object was released.
class PhoneTest : public simtest::SimTest {
  protected:
    std::unique_ptr<sim::SimPhone> makePhone(int port = 5, LONG id = 1001,
                                             sim::SimPhoneOptions options = {}) {
        options.printRate = printRate;
        return sim::SimPhone::create(service, port, id, options);
    }
    double printRate = 0;  // quiet print server unless a test wants it
};

}  // namespace phonetest
