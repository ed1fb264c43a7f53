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

    TvpIoProtocol::Direction getDirection() const { return m_direction; }

  private:
    // Each returns the new frame in out; tvpLength is the TVP frame's length (without the
    // data-source header).
    void createCommandProbeInject(const unsigned char* block, unsigned int length,
                                  unsigned int tvpLength,
                                  core::RCPtr<dsrc::DataSourceFrame>& out) const;
    void createCommandReq(const unsigned char* block, unsigned int length, unsigned int tvpLength,
                          core::RCPtr<dsrc::DataSourceFrame>& out) const;
    void createCommandAck(const unsigned char* block, unsigned int length, unsigned int tvpLength,
                          core::RCPtr<dsrc::DataSourceFrame>& out) const;
    void createTvpError(const unsigned char* block, unsigned int length, unsigned int tvpLength,
                        core::RCPtr<dsrc::DataSourceFrame>& out) const;
    unsigned int skip() const;

    TvpIoProtocol::Direction m_direction;
};

}  // namespace vela
