// What the transport needs of the object that reads one data provider's stream: the target
// hands it the provider of its name (or none when the stream goes), and the provider tells it
// that the stream closed. The transport owns this interface; the session's channels implement
// it, so that the transport never depends on the session.
//
// The object that implements it is a core::RCObject as well: the target and the provider get
// it as one and reach this side of it with a cross dynamic_cast.
#pragma once

#include "framework/core/RCObject.h"

namespace vela {

class DataProvider;

class StreamReader {
  public:
    // Any thread; posted: the provider to bind, or none.
    virtual void setDataProvider(const core::RCPtr<DataProvider>& provider) = 0;
    // Any thread; posted: the provider reports its stream closed. The provider names itself:
    // the report may arrive after another provider has taken its place.
    virtual void dataProviderDisconnected(const core::RCPtr<DataProvider>& provider) = 0;

  protected:
    StreamReader() = default;
    StreamReader(const StreamReader&) = default;
    StreamReader& operator=(const StreamReader&) = default;
    ~StreamReader() = default;
};

}  // namespace vela
