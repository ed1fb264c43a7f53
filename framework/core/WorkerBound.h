// Base of an object whose state lives on a worker of its own, the worker's begin and end
// callbacks being the object's members.
//
// Such an object ends one way: its final release stops the worker first, so that the end
// callback (and every virtual hook it calls) runs while the whole object, its most derived
// part included, still exists; only then is the object deleted. Destructors of derived
// classes never stop the worker: by the time one runs, the parts below it are gone and the
// end callback would reach a half-destroyed object.
#pragma once

#include <chrono>

#include "framework/core/RCObject.h"
#include "framework/core/SyncObjectMgr.h"

namespace core {

class WorkerBound : public RCObject {
  public:
    WorkerBound(const WorkerBound&) = delete;
    WorkerBound& operator=(const WorkerBound&) = delete;

    // Waits until no such object exists, or the time is up (false). An object may outlive
    // its last outside holder for as long as a handler on its own worker holds a reference
    // to it; its worker runs on meanwhile, and is not yet ending.
    static bool waitNoneAlive(std::chrono::milliseconds timeout);
    // The number of such objects that exist now.
    static int alive();

  protected:
    WorkerBound();
    // Checks, in debug builds, that the worker was ended by the final release (an object
    // deleted some other way would have its end callback run on a destroyed object).
    ~WorkerBound() override;

    // The worker this object ends with; set once, in the constructor that makes the worker.
    void bindWorker(const RCPtr<SyncObjectMgr>& worker) { m_boundWorker = worker; }

    // Stops the bound worker (its end callback runs here, on the whole object), then deletes.
    void onFinalRelease() final;

  private:
    RCPtr<SyncObjectMgr> m_boundWorker;
};

}  // namespace core
