// Value wrappers of the Win32 comm structures: each starts zeroed (with its length field set
// where it has one), so a structure is never passed to the comm calls half-initialised.
#pragma once

#include "framework/core/SyncObject.h"
#include "platform/serial/commapi.h"

namespace core {

// A COMMPROP.
class CommProp : public COMMPROP {
  public:
    CommProp();
};

// A COMMTIMEOUTS.
class CommTimeouts : public COMMTIMEOUTS {
  public:
    CommTimeouts();
};

// A DCB.
class Dcb : public DCB {
  public:
    Dcb();
};

// An OVERLAPPED together with the event that signals its completion: hEvent is the event's
// handle. The event is manual-reset (the comm calls reset it when an operation starts), so it
// can be added to a worker to run a callback when the operation completes.
class Overlapped : public OVERLAPPED {
  public:
    Overlapped();
    Overlapped(const Overlapped&) = delete;
    Overlapped& operator=(const Overlapped&) = delete;

    Event& getEvent() { return m_event; }
    OVERLAPPED* get() { return this; }

  private:
    Event m_event;
};

}  // namespace core
