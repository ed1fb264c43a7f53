// The client object of one data provider of the debug-multiplexer service: one byte stream of
// a phone. It lives on its own worker ("DataProviderThread"); other objects reach it only by
// named requests. Received blocks go into its out pipe, from which the channel reads; blocks
// the channel sends go to the service one data block each.
#pragma once

#include "framework/core/Data.h"
#include "framework/core/Pipe.h"
#include "framework/core/RCObject.h"
#include "framework/core/Request.h"
#include "framework/core/ServiceChannel.h"
#include "framework/core/SyncObjectMgr.h"
#include "framework/core/Values.h"

struct IDispatch;
struct IUnknown;

namespace vela {

class EEDataProviderSink;
class VelaChannel;

class DataProvider : public core::RCObject {
  public:
    // provider: the service's data-provider object (asked for IDispatch).
    explicit DataProvider(IUnknown* provider);
    ~DataProvider() override;

    // Posted: advises the event sink on the service's provider.
    void setup();
    // Waited for: the channel that uses this provider, or none to forget it.
    void setVelaChannel(VelaChannel* channel);
    // Waited for: the pipe that every received block is written into (the same every time).
    core::RCPtr<core::Pipe> getOutPipe();
    // Waited for: true when the service took the whole block.
    bool send(const core::RCPtr<core::Data>& block);
    unsigned short getId();
    core::EString getName();
    core::EString getPortName();
    bool connect();
    bool disconnect();
    // Posted, by the event sink.
    void dataAvailable(const core::RCPtr<core::Data>& block);
    void disconnected();

    // Blocks dropped because the out pipe refused them.
    std::uint64_t getDroppedBlocks() const;

  protected:
    void onFinalRelease() override;

  private:
    // Fields and handlers: the implementer's.
};

}  // namespace vela
