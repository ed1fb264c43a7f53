#include "protocol/TvpIoProtocolFactory.h"

#include <new>
#include <utility>

#include "framework/core/Trace.h"
#include "protocol/TvpCommandAck.h"
#include "protocol/TvpCommandReq.h"
#include "protocol/TvpError.h"
#include "protocol/TvpLayout.h"
#include "protocol/TvpProbeInject.h"

namespace vela {

TvpIoProtocolFactory::TvpIoProtocolFactory(TvpIoProtocol::Direction direction)
    : m_direction(direction) {}

TvpIoProtocolFactory::TvpIoProtocolFactory(const TvpIoProtocolFactory& other)
    : dsrc::DataSourceFrameFactory(other), m_direction(other.m_direction) {}

TvpIoProtocolFactory& TvpIoProtocolFactory::operator=(const TvpIoProtocolFactory& other) {
    m_direction = other.m_direction;
    return *this;
}

TvpIoProtocolFactory::~TvpIoProtocolFactory() = default;

core::RCPtr<dsrc::DataSourceFrame> TvpIoProtocolFactory::create(const unsigned char* block,
                                                                unsigned int length) {
    if (!block || length < skip() + TvpIoProtocol::kHeaderBytes ||
        length - skip() != TvpLayout::frameSize(block + skip()))
        return {};
    try {
        // The one copy of the bytes, which the frame then owns alone.
        return create(core::RCPtr<core::Data>(new core::Data(block, length)), 0, length);
    } catch (const std::bad_alloc&) {
        return {};
    }
}

core::RCPtr<dsrc::DataSourceFrame> TvpIoProtocolFactory::create(
    const core::RCPtr<core::Data>& source, std::size_t at, unsigned int length) {
    core::RCPtr<dsrc::DataSourceFrame> frame;
    const unsigned int offset = skip();
    if (!source || at > source->size() || length > source->size() - at ||
        length < offset + TvpIoProtocol::kHeaderBytes)
        return frame;
    const unsigned char* block = source->getInternalData() + at;
    const unsigned int tvpLength = length - offset;
    if (tvpLength != TvpLayout::frameSize(block + offset))
        return frame;

    try {
        const unsigned int dataId = TvpLayout::dataId(block + offset);
        // Probe reports, nearly every frame, see the block through the frame object itself;
        // the rarer kinds get a counted slice.
        core::RCPtr<core::Data> bytes;
        if (dataId != TvpIoProtocol::PROBE_INJECT && dataId <= TvpIoProtocol::TVP_ERROR)
            bytes = source->slice(at, length);
        switch (dataId) {
            case TvpIoProtocol::PROBE_INJECT:
                createCommandProbeInject(block,
                                         dsrc::DataSourceFrame::SharedBytes{*source, at, length},
                                         tvpLength, frame);
                break;
            case TvpIoProtocol::COMMAND_REQ:
                createCommandReq(block, bytes, tvpLength, frame);
                break;
            case TvpIoProtocol::COMMAND_ACK:
                createCommandAck(block, bytes, tvpLength, frame);
                break;
            case TvpIoProtocol::TVP_ERROR:
                createTvpError(block, bytes, tvpLength, frame);
                break;
            case TvpIoProtocol::INJECT_DATA_REQ:
                core::ToggleTrace(
                    20,
                    "- - - - TvpIoProtocolFactory::create FAILED (ID=INJECT_DATA_REQ) - - - - \n");
                break;
            case TvpIoProtocol::APRINT:
                core::ToggleTrace(
                    20, "- - - - TvpIoProtocolFactory::create FAILED (ID=APRINT) - - - - \n");
                break;
            case TvpIoProtocol::BPRINT:
                core::ToggleTrace(
                    20, "- - - - TvpIoProtocolFactory::create FAILED (ID=BPRINT) - - - - \n");
                break;
            default:
                core::ToggleTrace(
                    20, "- - - - TvpIoProtocolFactory::create FAILED (ID=CPRINT) - - - - \n");
                break;
        }
    } catch (const std::bad_alloc&) {
        frame.reset();
    }
    return frame;
}

void TvpIoProtocolFactory::createCommandProbeInject(const unsigned char* block,
                                                    const dsrc::DataSourceFrame::SharedBytes& bytes,
                                                    unsigned int tvpLength,
                                                    core::RCPtr<dsrc::DataSourceFrame>& out) const {
    if (tvpLength < TvpProbeInject::kFixedSize)
        return;
    const unsigned char selector = block[skip() + TvpIoProtocol::kHeaderBytes];
    switch (selector) {
        case TvpProbeInject::PROBE:
            if (tvpLength >= TvpProbe::kFixedSize)
                out =
                    core::RCPtr<dsrc::DataSourceFrame>::adoptNew(new TvpProbe(bytes, m_direction));
            break;
        case TvpProbeInject::INJECT:
            if (tvpLength >= TvpInject::kFixedSize)
                out = new TvpInject(bytes, m_direction);
            break;
        default:
            core::ToggleTrace(20, "TvpIoProtocolFactory::createCommandProbeInject FAILED (ID=%d\n",
                              selector);
            break;
    }
}

void TvpIoProtocolFactory::createCommandReq(const unsigned char* block,
                                            const core::RCPtr<core::Data>& bytes,
                                            unsigned int tvpLength,
                                            core::RCPtr<dsrc::DataSourceFrame>& out) const {
    if (tvpLength < TvpCommandReq::kFixedSize)
        return;
    const unsigned char selector = block[skip() + TvpIoProtocol::kHeaderBytes];
    switch (selector) {
        case TvpCommandReq::SET_PROBE_MODE:
            if (tvpLength >= TvpCommandSetProbeModeReq::kFixedSize)
                out = new TvpCommandSetProbeModeReq(bytes, m_direction);
            break;
        case TvpCommandReq::EXECUTE_TEST_CODE:
            if (tvpLength >= TvpCommandExecuteTestCodeReq::kFixedSize)
                out = new TvpCommandExecuteTestCodeReq(bytes, m_direction);
            break;
        case TvpCommandReq::SET_TIME_STAMP:
            if (tvpLength >= TvpCommandSetTimeStampReq::kFixedSize)
                out = new TvpCommandSetTimeStampReq(bytes, m_direction);
            break;
        default:
            core::ToggleTrace(20, "TvpIoProtocolFactory::createCommandReq FAILED (ID=%d\n",
                              selector);
            break;
    }
}

void TvpIoProtocolFactory::createCommandAck(const unsigned char* block,
                                            const core::RCPtr<core::Data>& bytes,
                                            unsigned int tvpLength,
                                            core::RCPtr<dsrc::DataSourceFrame>& out) const {
    if (tvpLength < TvpCommandAck::kFixedSize)
        return;
    const unsigned char selector = block[skip() + TvpIoProtocol::kHeaderBytes];
    switch (selector) {
        case TvpCommandAck::SET_PROBE_MODE:
            if (tvpLength >= TvpCommandSetProbeModeAck::kFixedSize)
                out = new TvpCommandSetProbeModeAck(bytes, m_direction);
            break;
        case TvpCommandAck::EXECUTE_TEST_CODE:
            if (tvpLength >= TvpCommandExecuteTestCodeAck::kFixedSize)
                out = new TvpCommandExecuteTestCodeAck(bytes, m_direction);
            break;
        case TvpCommandAck::SET_TIME_STAMP:
            if (tvpLength >= TvpCommandSetTimeStampAck::kFixedSize)
                out = new TvpCommandSetTimeStampAck(bytes, m_direction);
            break;
        default:
            // Still delivered, so that the command queue sees the answer.
            core::ToggleTrace(20, "TvpIoProtocolFactory::createCommandAck FAILED (ID=%d)\n",
                              selector);
            out = new TvpCommandAck(bytes, m_direction);
            break;
    }
}

void TvpIoProtocolFactory::createTvpError(const unsigned char* /*block*/,
                                          const core::RCPtr<core::Data>& bytes,
                                          unsigned int tvpLength,
                                          core::RCPtr<dsrc::DataSourceFrame>& out) const {
    if (tvpLength < TvpError::kFixedSize)
        return;
    out = new TvpError(bytes, m_direction);
}

}  // namespace vela
