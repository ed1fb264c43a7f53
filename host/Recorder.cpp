#include "host/Recorder.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <utility>

#include "framework/core/Bytes.h"
#include "framework/core/Trace.h"
#include "framework/dsrc/InformationElement.h"
#include "protocol/TvpLayout.h"

namespace host {

namespace {

constexpr unsigned char kDataIdError = vela::TvpLayout::kDataIdError;
constexpr std::size_t kProbeFixedSize = vela::TvpLayout::kProbeFixedSize;
constexpr std::size_t kHeaderSize = vela::TvpLayout::kHeaderSize;

}  // namespace

std::uint64_t nowMicros() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<microseconds>(system_clock::now().time_since_epoch()).count());
}

Recorder::Recorder(std::uint8_t equipment, CaptureWriter* capture, bool checkRunningNumbers,
                   FrameLimit* limit)
    : m_equipment(equipment),
      m_capture(capture),
      m_checkRunningNumbers(checkRunningNumbers),
      m_limit(limit) {}

void Recorder::setDecoders(const core::RCPtr<dsrc::DataDecoder>& tvp,
                           const core::RCPtr<dsrc::DataDecoder>& print,
                           const core::RCPtr<dsrc::DecoderFrame>& printFrame) {
    core::RCPtr<dsrc::DataDecoder> newTvp = tvp, newPrint = print;
    core::RCPtr<dsrc::DecoderFrame> newPrintFrame = printFrame;
    {
        std::lock_guard<SpinLock> lock(m_lock);
        std::swap(m_tvpDecoder, newTvp);
        std::swap(m_printDecoder, newPrint);
        std::swap(m_printFrame, newPrintFrame);
    }
    // The old decoders go here, outside the lock.
}

bool Recorder::onDataSourceFrame(const dsrc::DataSourceChannelInfo* channel,
                                 const core::RCPtr<dsrc::DataSourceFrame>& frame) {
    if (!frame)
        return false;
    // Beyond the run's number of frames nothing is counted or recorded.
    if (m_limit && !m_limit->take())
        return true;
    const int type = channel ? channel->getChannelType() : 0;
    // The frames cut from one block arrived together: their channel gives them the block's
    // arrival time, so that the clock is read once per block (and the time does not depend on
    // how long the frame waited for this call). A frame without one is stamped here.
    std::uint64_t time = frame->getTime();
    if (time == 0)
        time = nowMicros();
    const unsigned char* bytes = frame->getDataSourceFrameData();
    const std::size_t length = frame->getDataSourceFrameDataSize();
    CaptureRecord record;
    std::uint32_t recordNumber = 0;
    std::uint64_t firstLost = 0;
    core::RCPtr<dsrc::DecoderFrame> printFrame;
    // The TVP decoder of an error frame, which it traces: called outside the lock.
    core::RCPtr<dsrc::DataDecoder> errorDecoder;
    {
        std::lock_guard<SpinLock> lock(m_lock);
        TypeState& state = type >= 0 && type < kTypesInArray
                               ? m_typesInArray[static_cast<std::size_t>(type)]
                               : m_otherTypes[type];
        recordNumber = state.nextRecordNumber++;
        // A channel type's records never go back in time (a frame stamped here may meet one
        // its channel stamped, on clocks that differ a little).
        time = std::max(time, state.lastTime);
        state.lastTime = time;
        frame->setRecNo(recordNumber);
        frame->setTime(time);
        if (type == dsrc::CHANNEL_TYPE_TVP) {
            if (countTvp(bytes, length, record, firstLost))
                errorDecoder = m_tvpDecoder;
            else if (m_tvpDecoder)
                m_tvpDecoder->data(frame.get());
        } else if (type == dsrc::CHANNEL_TYPE_PRINT_SERVER) {
            ++m_figures.printFrames;
            m_figures.printBytes += length;
            if (m_printDecoder)
                m_printDecoder->data(frame.get());
            printFrame = m_printFrame;
        }
    }
    if (record.dropCount)
        core::ToggleTrace(20, "Recorder: phone %u reports %llu to %llu lost\n",
                          static_cast<unsigned>(m_equipment) + 1,
                          static_cast<unsigned long long>(firstLost),
                          static_cast<unsigned long long>(firstLost + record.dropCount - 1));
    if (errorDecoder)
        errorDecoder->data(frame.get());
    if (printFrame)
        countPrint(*printFrame, frame);
    if (m_capture) {
        // Each channel type's frames come from one channel's worker, in order: written
        // outside the lock, a type's records still reach the file in their order.
        record.channelType = static_cast<std::uint8_t>(type);
        record.direction = 0;
        record.equipment = m_equipment;
        record.recordNumber = recordNumber;
        record.timeMicros = time;
        record.bytes.assign(bytes, bytes + length);
        // A failure of the file is the writer's to report: it stops the recording as a whole.
        m_capture->write(record);
    }
    return true;
}

bool Recorder::countTvp(const unsigned char* bytes, std::size_t length, CaptureRecord& record,
                        std::uint64_t& firstLost) {
    ++m_figures.tvpFrames;
    m_figures.tvpBytes += length;
    if (length < kHeaderSize) {
        ++m_figures.otherFrames;
        return false;
    }
    const auto dataId = vela::TvpLayout::dataId(bytes);
    if (dataId == kDataIdError) {
        ++m_figures.errorFrames;
        return true;
    }
    // A probe report: probe/inject id 0 after the header, then time stamp, sequence number and
    // probe id.
    if (!vela::TvpLayout::isProbe(bytes, static_cast<std::uint32_t>(length))) {
        ++m_figures.otherFrames;
        return false;
    }
    const std::uint16_t probeId = vela::TvpLayout::probeId(bytes);
    if (!m_lastProbeCount || probeId != m_lastProbeId) {
        m_lastProbeCount = &m_figures.probeFrames[probeId];
        m_lastProbeId = probeId;
    }
    ++*m_lastProbeCount;
    if (!m_checkRunningNumbers || length < kProbeFixedSize + 8)
        return false;
    const std::uint64_t number = core::readU8(bytes + kProbeFixedSize);
    if (m_seenRunningNumber) {
        const std::uint64_t expected = m_lastRunningNumber + 1;
        if (number == 0 && m_lastRunningNumber != 0) {
            ++m_figures.restarts;
            record.comments.push_back("the phone numbers its reports from 0 again: it restarted");
        } else if (number > expected) {
            m_figures.lostReports += number - expected;
            record.dropCount = number - expected;
            firstLost = expected;
            record.comments.push_back("reports " + std::to_string(expected) + " to " +
                                      std::to_string(number - 1) + " of the phone were lost");
        } else if (number < expected) {
            ++m_figures.repeatedReports;
            return false;  // the last number stays: what follows it is still expected
        }
    }
    m_seenRunningNumber = true;
    m_lastRunningNumber = number;
    return false;
}

void Recorder::countPrint(dsrc::DecoderFrame& decoder,
                          const core::RCPtr<dsrc::DataSourceFrame>& frame) {
    ATL::CComObject<EEInformationElements>* elements = nullptr;
    if (FAILED(ATL::CComObject<EEInformationElements>::CreateInstance(&elements)))
        return;
    CComPtr<IEEInformationElements> hold(elements);
    core::RCPtr<core::Data> text(
        new core::Data(frame->getDataSourceFrameData(), frame->getDataSourceFrameDataSize()));
    const auto lines = static_cast<std::uint64_t>(std::max(0, decoder.decode(elements, text)));
    std::string last;
    bool hasLast = false;
    LONG count = 0;
    elements->GetCount(&count);
    if (count > 0) {
        CComPtr<IEEInformationElement> item;
        if (SUCCEEDED(elements->GetItem(count - 1, &item)) && item) {
            BSTR value = nullptr;
            if (SUCCEEDED(item->GetValue(&value))) {
                last = dsrc::byteStringBytes(value);
                hasLast = true;
                SysFreeString(value);
            }
        }
    }
    std::lock_guard<SpinLock> lock(m_lock);
    m_figures.printLines += lines;
    if (hasLast)
        m_figures.lastPrintLine.swap(last);
}

core::RCPtr<dsrc::DataDecoder> Recorder::tvpDecoder() const {
    std::lock_guard<SpinLock> lock(m_lock);
    return m_tvpDecoder;
}

RecorderFigures Recorder::figures() const {
    std::lock_guard<SpinLock> lock(m_lock);
    return m_figures;
}

bool Recorder::lastRunningNumber(std::uint64_t& number) const {
    std::lock_guard<SpinLock> lock(m_lock);
    number = m_lastRunningNumber;
    return m_seenRunningNumber;
}

}  // namespace host
