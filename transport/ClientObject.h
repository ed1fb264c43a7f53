// The shape every client object of the debug-multiplexer service (DebugMux, Target,
// DataProvider) has: an own worker that is started at construction, a service channel made on
// that worker, handlers bound to request names (with the instance's identity number appended
// when the names must be distinct per instance) that contain the COM errors raised inside
// them, synchronous and posted requests, getters that are one request answered by one type of
// response, and a start-up timer.
#pragma once

#include <string>
#include <vector>

#include "framework/core/CallBack.h"
#include "framework/core/RCObject.h"
#include "framework/core/Request.h"
#include "framework/core/ServiceChannel.h"
#include "framework/core/SyncObject.h"
#include "framework/core/SyncObjectMgr.h"
#include "framework/core/Values.h"
#include "framework/core/WorkerBound.h"

namespace vela::client {

// Its final release stops the worker before any destructor runs (core::WorkerBound).
class ClientObjectBase : public core::WorkerBound {
  public:
    // Whether the request names carry the instance's identity number.
    enum class Naming { Plain, Suffixed };
    // Whether a handler holds a counted reference to its object while it runs (for an
    // object whose handlers hand references to themselves to others).
    enum class HandlerLifetime { Borrowed, Kept };

  protected:
    // className: the prefix of the traces of contained COM errors; threadName: the worker's.
    ClientObjectBase(const char* className, const char* threadName, Naming naming);

    std::string requestName(const char* name) const { return name + m_suffix; }
    const std::string& suffix() const { return m_suffix; }

    // ---- Any thread ----
    // Hands a request to the worker; false when it could not be performed.
    bool call(const core::RCPtr<core::Request>& request,
              core::RCPtr<core::Response>* response = nullptr);
    // Posts without waiting; false when the worker no longer takes requests.
    bool post(const core::RCPtr<core::Request>& request);
    // Waits for the request; its response when it came and is of class Rsp, else none.
    template <class Rsp>
    core::RCPtr<Rsp> ask(const core::RCPtr<core::Request>& request) {
        core::RCPtr<core::Response> response;
        if (!call(request, &response))
            return {};
        return core::rcCast<Rsp>(response);
    }
    // True when the request was answered with a status that succeeded.
    bool askStatus(const core::RCPtr<core::Request>& request);
    bool askStatus(const char* name) { return askStatus(new core::Request(requestName(name))); }
    // The string of the answer (a StringRsp); empty when there is none.
    core::EString askString(const char* name);
    // The number of the answer (a NumberRsp); 0 when there is none.
    unsigned long long askNumber(const char* name);
    // The object of the answer (an RCObjectRsp) as T; none when it is missing or another class.
    template <class T>
    core::RCPtr<T> askObject(const core::RCPtr<core::Request>& request) {
        auto answer = ask<core::RCObjectRsp>(request);
        return answer ? core::rcCast<T>(answer->getObject()) : nullptr;
    }

    // ---- On the worker ----
    // Binds the name (with the suffix) to a handler that contains COM errors raised inside.
    void attachHandler(const char* name, core::ServiceChannel::Handler handler);
    // Detaches every bound name, in the reverse order of attaching.
    void detachHandlers();
    // The start-up timer: fires once after `milliseconds` and runs `callback`.
    void startTimer(unsigned long milliseconds, const core::CallBack& callback);
    // Cancels and deletes the start-up timer, if it exists.
    void stopTimer();

    core::RCPtr<core::SyncObjectMgr> m_spWorker;
    // Made on the worker when it starts; kept until destruction, since callers on other
    // threads read it to reach the worker.
    core::RCPtr<core::ServiceChannel> m_spService;

    // Runs first on the worker: makes the service channel.
    void openService();

  private:
    const char* m_className;
    const std::string m_suffix;
    core::WaitableTimer* m_pTimer = nullptr;
    std::vector<const char*> m_attached;  // names without suffix, in attach order
};

// Binds the worker and the handlers to the member functions of Derived, which declares
// ClientObject<Derived> a friend and has `bool onBeginWorkThread()` and
// `bool onEndWorkThread()`.
template <class Derived>
class ClientObject : public ClientObjectBase {
  protected:
    using Handler = void (Derived::*)(core::Request&);

    ClientObject(const char* className, const char* threadName, Naming naming,
                 HandlerLifetime lifetime = HandlerLifetime::Borrowed)
        : ClientObjectBase(className, threadName, naming), m_lifetime(lifetime) {}

    // Starts the worker (waiting up to 2 s for it to run); called last in Derived's
    // constructor, once everything the worker's start reads is set.
    void startWorker() {
        m_spWorker->attachBegin(core::BoolCallBack(this, &ClientObject::beginWork));
        m_spWorker->attachEnd(core::BoolCallBack(derived(), &Derived::onEndWorkThread));
        m_spWorker->start(2000);
    }

    void attach(const char* name, Handler handler) {
        attachHandler(name, [this, handler](core::Request& request) {
            core::RCPtr<Derived> keep;
            if (m_lifetime == HandlerLifetime::Kept)
                keep = selfRef();
            (derived()->*handler)(request);
        });
    }

    // A counted reference to this object, or none once its final release has begun.
    core::RCPtr<Derived> selfRef() {
        if (!tryAddref())
            return {};
        core::RCPtr<Derived> self(derived());
        release();  // the reference tryAddref took; self holds its own
        return self;
    }

  private:
    Derived* derived() { return static_cast<Derived*>(this); }
    bool beginWork() {
        openService();
        return derived()->onBeginWorkThread();
    }

    const HandlerLifetime m_lifetime;
};

}  // namespace vela::client
