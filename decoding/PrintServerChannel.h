// The print-server channel: every block of text from its data provider becomes one frame for
// the host's data source. The first text completes the channel's activation.
#pragma once

#include "session/VelaChannel.h"

namespace vela {

class PrintServerChannel : public VelaChannel {
  public:
    PrintServerChannel();
    ~PrintServerChannel() override;
    static core::Object* createObject() { return new PrintServerChannel(); }

  protected:
    void onDataFromUE(const core::RCPtr<core::Data>& block) override;
};

}  // namespace vela
