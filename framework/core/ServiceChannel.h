// Routes named requests to handlers that run on one worker.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "framework/core/Request.h"
#include "framework/core/SyncObjectMgr.h"

namespace core {

namespace detail {
struct HandlerEntry {
    std::function<void(Request&)> fn;
    std::atomic<bool> attached{true};
};
}  // namespace detail

class ServiceChannel : public RCObject {
  public:
    using Handler = std::function<void(Request&)>;

    // The second argument is kept for the caller; every channel behaves the same.
    explicit ServiceChannel(const RCPtr<SyncObjectMgr>& worker, bool shared = false);

    // Binds a request name to a handler run on the worker. False if the name is taken.
    bool attach(const std::string& name, Handler handler);
    template <class T>
    bool attach(const std::string& name, T* object, void (T::*member)(Request&)) {
        return attach(name, [object, member](Request& r) { (object->*member)(r); });
    }
    bool detach(const std::string& name);
    bool isAttached(const std::string& name) const;

    // Hands a request to its handler. Sync type 0: posted, returns at once (true if queued).
    // Otherwise waits until the handler answers; true when a response came, which is stored
    // in *response. A request without handler, or to a worker that no longer runs, fails at
    // once. Issued on the worker's own thread, a synchronous request runs its handler at once.
    bool doRequest(const RCPtr<Request>& request, RCPtr<Response>* response = nullptr);

    // Answers the request the response was made for. Safe from any thread, and a no-op for a
    // request nobody waits for.
    static bool sendResponse(const RCPtr<Response>& response);

    const RCPtr<SyncObjectMgr>& getWorker() const { return m_worker; }

  private:
    RCPtr<SyncObjectMgr> m_worker;
    mutable std::mutex m_mutex;
    std::unordered_map<std::string, std::shared_ptr<detail::HandlerEntry>> m_handlers;
};

}  // namespace core
