#include "framework/core/ServiceChannel.h"

namespace core {

ServiceChannel::ServiceChannel(const RCPtr<SyncObjectMgr>& worker, bool) : m_worker(worker) {}

bool ServiceChannel::attach(const std::string& name, Handler handler) {
    if (!handler)
        return false;
    auto entry = std::make_shared<detail::HandlerEntry>();
    entry->fn = std::move(handler);
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_handlers.emplace(name, std::move(entry)).second;
}

bool ServiceChannel::detach(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_handlers.find(name);
    if (it == m_handlers.end())
        return false;
    it->second->attached = false;  // a request already queued for it will not run it
    m_handlers.erase(it);
    return true;
}

bool ServiceChannel::isAttached(const std::string& name) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_handlers.count(name) != 0;
}

bool ServiceChannel::doRequest(const RCPtr<Request>& request, RCPtr<Response>* response) {
    if (!request || !m_worker)
        return false;
    std::shared_ptr<detail::HandlerEntry> handler;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_handlers.find(request->getName());
        if (it == m_handlers.end())
            return false;
        handler = it->second;
    }
    if (request->getSyncType() == Request::POSTED) {
        request->m_completion.reset();
        return m_worker->postRequest(request, std::move(handler), nullptr);
    }

    auto completion = std::make_shared<detail::RequestCompletion>();
    request->m_completion = completion;
    if (m_worker->isCurrentThread()) {
        // Waiting for our own thread would never end: run the handler here. A handler that
        // keeps the response to answer later cannot be waited for, so that fails.
        handler->fn(*request);
        completion->handlerReturned();
        if (!completion->isDone())
            completion->fail();
    } else if (!m_worker->postRequest(request, std::move(handler), completion)) {
        request->m_completion.reset();
        return false;
    }
    RCPtr<Response> answer;
    bool ok = completion->wait(&answer);
    if (ok && response)
        *response = answer;
    return ok;
}

bool ServiceChannel::sendResponse(const RCPtr<Response>& response) {
    if (!response)
        return false;
    auto completion = std::move(response->m_completion);
    if (!completion)
        return true;
    completion->complete(response);
    return true;
}

}  // namespace core
