// Turns one received TVP frame, given as a byte block, into an object of its frame class.
#pragma once

#include "framework/dsrc/DataSourceFrame.h"
#include "protocol/TvpIoProtocol.h"

namespace vela {

class TvpIoProtocolFactory : public dsrc::DataSourceFrameFactory {
  public:
    // FROM_UE: blocks are raw TVP frames. FROM_DATA_SOURCE: blocks begin with the data-source
    // frame header and the TVP frame follows it.
    explicit TvpIoProtocolFactory(TvpIoProtocol::Direction direction);
    TvpIoProtocolFactory(const TvpIoProtocolFactory& other);
    TvpIoProtocolFactory& operator=(const TvpIoProtocolFactory& other);
    ~TvpIoProtocolFactory() override;

    // The frame object (holding its own copy of the bytes), or an empty pointer when the block
    // is not exactly one frame of a kind this component knows, or is shorter than the fixed
    // part of the class its ids select.
    core::RCPtr<dsrc::DataSourceFrame> create(const unsigned char* block,
                                              unsigned int length) override;
    // The same for the length bytes of a received block from offset, which the frame object
    // shares instead of copying them (it holds a counted slice of the block): the block's
    // bytes stay valid as long as the frame, and the block's own object may be dropped or
    // changed at once.
    core::RCPtr<dsrc::DataSourceFrame> create(const core::RCPtr<core::Data>& block,
                                              std::size_t offset, unsigned int length);

    TvpIoProtocol::Direction getDirection() const { return m_direction; }

  private:
    // Each returns the new frame in out, made over the frame's bytes (a slice of the block
    // that block points into); tvpLength is the TVP frame's length (without the data-source
    // header). createCommandProbeInject, on the path of every probe report, is given the part of
    // the block instead, which the frame sees through a member of its own (no slice object).
    void createCommandProbeInject(const unsigned char* block,
                                  const dsrc::DataSourceFrame::SharedBytes& bytes,
                                  unsigned int tvpLength,
                                  core::RCPtr<dsrc::DataSourceFrame>& out) const;
    void createCommandReq(const unsigned char* block, const core::RCPtr<core::Data>& bytes,
                          unsigned int tvpLength, core::RCPtr<dsrc::DataSourceFrame>& out) const;
    void createCommandAck(const unsigned char* block, const core::RCPtr<core::Data>& bytes,
                          unsigned int tvpLength, core::RCPtr<dsrc::DataSourceFrame>& out) const;
    void createTvpError(const unsigned char* block, const core::RCPtr<core::Data>& bytes,
                        unsigned int tvpLength, core::RCPtr<dsrc::DataSourceFrame>& out) const;
    unsigned int skip() const {
        return m_direction == TvpIoProtocol::FROM_DATA_SOURCE
                   ? dsrc::DataSourceFrame::getHeaderSize()
                   : 0u;
    }

    TvpIoProtocol::Direction m_direction;
};

}  // namespace vela
