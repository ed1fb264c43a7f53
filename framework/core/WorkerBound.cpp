#include "framework/core/WorkerBound.h"

#include <cstdio>
#include <cstdlib>

#include "platform/win32/win32.h"

namespace core {

WorkerBound::~WorkerBound() {
#ifndef NDEBUG
    if (m_boundWorker && m_boundWorker->isRunning()) {
        std::fprintf(stderr, "WorkerBound: \"%s\" destroyed with its worker running\n",
                     m_boundWorker->getName().c_str());
        std::abort();
    }
#endif
}

void WorkerBound::onFinalRelease() {
    if (m_boundWorker)
        m_boundWorker->stop(INFINITE);
    m_boundWorker.reset();
    RCObject::onFinalRelease();
}

}  // namespace core
