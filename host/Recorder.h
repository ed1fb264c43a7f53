// The host's data-source sink of one phone: stamps every frame with its record number and
// time (the time its channel gave it, the arrival of the block it came in, or the recorder's
// clock for a frame without one; never earlier than the last of its channel type), writes it
// into the capture file, feeds it to the decoders (the component's, made by
// class name) and keeps the figures that the status line and the summary show.
//
// Frames of the simulated phone carry a running number across all their reports (the first 8
// payload bytes of a probe frame); the recorder checks it, so that a lost, repeated or
// reordered report is counted.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "framework/dsrc/DataDecoder.h"
#include "framework/dsrc/DataSourceSink.h"
#include "host/CaptureWriter.h"
#include "host/SpinLock.h"

namespace host {

struct RecorderFigures {
    std::uint64_t tvpFrames = 0;
    std::uint64_t tvpBytes = 0;
    std::uint64_t printFrames = 0;
    std::uint64_t printBytes = 0;
    std::uint64_t printLines = 0;   // information elements decoded from the print-server text
    std::uint64_t errorFrames = 0;  // TVP error frames of the phone
    std::uint64_t otherFrames = 0;  // TVP frames that are neither probe reports nor errors
    std::map<std::uint16_t, std::uint64_t> probeFrames;  // probe reports by probe id
    // Running-number check of the simulated phone's reports.
    std::uint64_t lostReports = 0;
    std::uint64_t repeatedReports = 0;  // reports at or before one already seen
    std::uint64_t restarts = 0;         // the phone started counting again from 0
    std::string lastPrintLine;
};

// How many frames a run takes (-c), shared by the recorders of its phones.
class FrameLimit {
  public:
    FrameLimit(std::uint64_t limit, std::function<void()> onReached)
        : m_limit(limit), m_onReached(std::move(onReached)) {}
    // True for each frame within the limit; the frame that reaches it calls onReached.
    bool take() {
        const std::uint64_t n = ++m_taken;
        if (n == m_limit && m_onReached)
            m_onReached();
        return n <= m_limit;
    }
    bool reached() const { return m_taken.load() >= m_limit; }
    std::uint64_t limit() const { return m_limit; }

  private:
    std::atomic<std::uint64_t> m_taken{0};
    const std::uint64_t m_limit;
    std::function<void()> m_onReached;
};

class Recorder : public dsrc::DataSourceSink {
  public:
    // equipment: the phone's number in the capture file's records; capture may be null.
    // checkRunningNumbers: the phone numbers its reports (the simulated phone does). limit:
    // the frames the run takes, or null.
    Recorder(std::uint8_t equipment, CaptureWriter* capture, bool checkRunningNumbers,
             FrameLimit* limit = nullptr);

    // The component's decoders for the two streams; either may be empty.
    void setDecoders(const core::RCPtr<dsrc::DataDecoder>& tvp,
                     const core::RCPtr<dsrc::DataDecoder>& print,
                     const core::RCPtr<dsrc::DecoderFrame>& printFrame);

    // Called on the channels' workers, several at once.
    bool onDataSourceFrame(const dsrc::DataSourceChannelInfo* channel,
                           const core::RCPtr<dsrc::DataSourceFrame>& frame) override;

    RecorderFigures figures() const;
    // The last running number seen and whether any was.
    bool lastRunningNumber(std::uint64_t& number) const;

  protected:
    // The TVP decoder set last (for a sink that stands in for this one's work).
    core::RCPtr<dsrc::DataDecoder> tvpDecoder() const;

  private:
    // Counts the frame; the reports lost just before it (by the running numbers), and what
    // the capture should say of it, are added to `record` (its dropCount, and the first lost
    // number in firstLost). Under the lock. True for an error frame of the phone.
    bool countTvp(const unsigned char* bytes, std::size_t length, CaptureRecord& record,
                  std::uint64_t& firstLost);
    // Decodes a print-server frame's text (outside the lock) and counts its lines.
    void countPrint(dsrc::DecoderFrame& decoder, const core::RCPtr<dsrc::DataSourceFrame>& frame);

    const std::uint8_t m_equipment;
    CaptureWriter* const m_capture;
    const bool m_checkRunningNumbers;
    FrameLimit* const m_limit;
    // Guards what follows. Held only for counting: the capture file, the trace lines (the
    // recorder's own, and the TVP decoder's of an error frame) and the print-server text's
    // decoding are done outside it.
    mutable SpinLock m_lock;
    core::RCPtr<dsrc::DataDecoder> m_tvpDecoder;
    core::RCPtr<dsrc::DataDecoder> m_printDecoder;
    core::RCPtr<dsrc::DecoderFrame> m_printFrame;
    // Per channel type: the next record number and the last time recorded.
    struct TypeState {
        std::uint32_t nextRecordNumber = 0;
        std::uint64_t lastTime = 0;
    };
    // The data sources' types in an array, so that a frame takes no map look-up here; any
    // other type in the map.
    static constexpr int kTypesInArray = 8;
    std::array<TypeState, kTypesInArray> m_typesInArray{};
    std::map<int, TypeState> m_otherTypes;
    // The probe counted last and its entry in m_figures.probeFrames (the nodes of a map stay
    // where they are): a stream of one probe's reports finds its counter without a look-up.
    std::uint16_t m_lastProbeId = 0;
    std::uint64_t* m_lastProbeCount = nullptr;
    RecorderFigures m_figures;
    bool m_seenRunningNumber = false;
    std::uint64_t m_lastRunningNumber = 0;
};

// Microseconds since 1970 now.
std::uint64_t nowMicros();

}  // namespace host
