#include "framework/core/Request.h"

#include "framework/core/SpinningLock.h"

namespace core {

namespace detail {

void RequestCompletion::responseCreated() {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_liveResponses;
}

void RequestCompletion::responseDropped() {
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_liveResponses;
    if (m_state == 0 && m_handlerReturned && m_liveResponses == 0)
        finish(2);
}

void RequestCompletion::complete(const RCPtr<Response>& response) {
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_liveResponses;
    if (m_state != 0)
        return;  // a second answer to the same request is ignored
    m_response = response;
    finish(1);
}

void RequestCompletion::handlerReturned() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_handlerReturned = true;
    if (m_state == 0 && m_liveResponses == 0)
        finish(2);
}

void RequestCompletion::fail() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_state == 0)
        finish(2);
}

void RequestCompletion::finish(int state) {
    m_state.store(state);
    m_done.notify_all();
}

// Iterations of the spin before blocking: a few microseconds.
constexpr int kSpins = 300;

bool RequestCompletion::wait(RCPtr<Response>* response) {
    int s = m_state.load();
    // A short spin catches the common case of a worker that answers within microseconds
    // without putting the caller to sleep; then block.
    for (int i = 0; s == 0 && i < kSpins; ++i) {
        pauseProcessor();
        s = m_state.load(std::memory_order_acquire);
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    if (s == 0) {
        m_done.wait(lock, [this] { return m_state.load() != 0; });
        s = m_state.load();
    }
    if (s == 1 && response)
        *response = m_response;
    m_response.reset();  // the response refers back to this completion
    return s == 1;
}

}  // namespace detail

Request::Request() : m_name(getClassName()) {}

Request::Request(const std::string& name) : m_name(name) {}

Request::Request(const Request& other)
    : XMLObject(other), m_name(other.m_name), m_syncType(other.m_syncType) {}

Request& Request::operator=(const Request& other) {
    m_name = other.m_name;
    m_syncType = other.m_syncType;
    return *this;
}

bool Request::attributesToElement(XMLElement& element) const {
    element.setAttribute("NAME", m_name);
    element.setAttribute("SYNC_TYPE", m_syncType);
    return true;
}

bool Request::attributesFromElement(const XMLElement& element) {
    std::string name;
    if (element.getAttribute("NAME", name))
        m_name = name;
    long long sync;
    if (element.getAttribute("SYNC_TYPE", sync))
        m_syncType = static_cast<int>(sync);
    return true;
}

Response::Response(Request& request, const Status& status)
    : m_status(status), m_completion(request.m_completion) {
    if (m_completion)
        m_completion->responseCreated();
}

Response::~Response() {
    if (m_completion)
        m_completion->responseDropped();
}

}  // namespace core
