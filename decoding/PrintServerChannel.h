// The print-server channel: every block of text from its data provider becomes one frame for
// the host's data source. The channel is active once its provider's stream is open (or its
// first text has come): the phone may print nothing for a long time.
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
    void onProviderConnected() override;
};

}  // namespace vela
