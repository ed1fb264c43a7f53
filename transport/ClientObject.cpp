#include "transport/ClientObject.h"

#include <iterator>

#include "transport/ClientSupport.h"

namespace vela::client {

ClientObjectBase::ClientObjectBase(const char* className, const char* threadName, Naming naming)
    : m_spWorker(new core::SyncObjectMgr(threadName, 0)),
      m_className(className),
      m_suffix(naming == Naming::Suffixed ? identitySuffix(this) : std::string()) {
    bindWorker(m_spWorker);
    allowTryAddref();  // selfRef, and DebugMux's process-wide instance
}

bool ClientObjectBase::call(const core::RCPtr<core::Request>& request,
                            core::RCPtr<core::Response>* response) {
    return m_spService && m_spService->doRequest(request, response);
}

bool ClientObjectBase::post(const core::RCPtr<core::Request>& request) {
    request->setSyncType(core::Request::POSTED);
    return call(request);
}

bool ClientObjectBase::askStatus(const core::RCPtr<core::Request>& request) {
    auto answer = ask<core::Response>(request);
    return answer && answer->getStatus().succeeded();
}

core::EString ClientObjectBase::askString(const char* name) {
    auto answer = ask<core::StringRsp>(new core::Request(requestName(name)));
    return answer ? answer->getString() : core::EString();
}

unsigned long long ClientObjectBase::askNumber(const char* name) {
    auto answer = ask<core::NumberRsp>(new core::Request(requestName(name)));
    if (!answer || !answer->getNumber())
        return 0;
    return answer->getNumber()->toULongLong();
}

void ClientObjectBase::openService() {
    m_spService = new core::ServiceChannel(m_spWorker, false);
}

void ClientObjectBase::attachHandler(const char* name, core::ServiceChannel::Handler handler) {
    if (m_spService->attach(requestName(name), guard(m_className, name, std::move(handler))))
        m_attached.push_back(name);
}

void ClientObjectBase::detachHandlers() {
    for (auto it = m_attached.rbegin(); it != m_attached.rend(); ++it)
        m_spService->detach(requestName(*it));
    m_attached.clear();
}

void ClientObjectBase::startTimer(unsigned long milliseconds, const core::CallBack& callback) {
    stopTimer();
    m_pTimer = new core::WaitableTimer(1, nullptr, nullptr);
    m_pTimer->registerCallBack(callback);
    m_pTimer->setTimer(milliseconds);
    m_spWorker->addSyncObject(m_pTimer);
}

void ClientObjectBase::stopTimer() {
    if (!m_pTimer)
        return;
    m_pTimer->cancelWaitableTimer();
    m_spWorker->removeSyncObject(m_pTimer);
    delete m_pTimer;
    m_pTimer = nullptr;
}

}  // namespace vela::client
