#include "framework/core/Comm.h"

#include <cstring>

namespace core {

CommProp::CommProp() : COMMPROP() {
    std::memset(static_cast<COMMPROP*>(this), 0, sizeof(COMMPROP));
    wPacketLength = sizeof(COMMPROP);
}

CommTimeouts::CommTimeouts() : COMMTIMEOUTS() {}

Dcb::Dcb() : DCB() {
    std::memset(static_cast<DCB*>(this), 0, sizeof(DCB));
    DCBlength = sizeof(DCB);
}

Overlapped::Overlapped() : OVERLAPPED(), m_event(true, false) {
    hEvent = m_event.getHandle();
}

}  // namespace core
