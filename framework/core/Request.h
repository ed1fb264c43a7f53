// Named requests and their responses. A request travels to a worker through a ServiceChannel;
// posted requests (sync type 0) carry no answer, synchronous ones wait for a response.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "framework/core/RCObject.h"
#include "framework/core/Status.h"
#include "framework/core/Values.h"
#include "framework/core/XML.h"

namespace core {

class Response;

namespace detail {

// The meeting point of a synchronous request's caller and the worker that answers it. The
// caller is released by the first response sent, or with failure once the handler has
// returned and no response object for the request is left to be sent.
class RequestCompletion {
  public:
    void responseCreated();
    void responseDropped();
    void complete(const RCPtr<Response>& response);
    void handlerReturned();
    void fail();
    // Blocks until completed; true and the response when one was sent.
    bool wait(RCPtr<Response>* response);
    bool isDone() const { return m_state.load() != 0; }

  private:
    void finish(int state);  // caller holds m_mutex
    std::mutex m_mutex;
    // The caller sleeps here after its spin: a condition variable rather than a wait on the
    // atomic, whose library fallback where the system has no futex (mingw-w64's, GCC 12) can
    // miss a notify and leave the caller asleep.
    std::condition_variable m_done;
    std::atomic<int> m_state{0};  // 0 waiting, 1 answered, 2 failed
    int m_liveResponses = 0;
    bool m_handlerReturned = false;
    RCPtr<Response> m_response;
};

}  // namespace detail

class Request : public XMLObject {
  public:
    // Sync types.
    static constexpr int POSTED = 0;
    static constexpr int SYNCHRONOUS = 1;

    Request();
    explicit Request(const std::string& name);
    Request(const Request& other);
    Request& operator=(const Request& other);

    // The key by which the request finds its handler.
    const std::string& getName() const { return m_name; }
    void setName(const std::string& name) { m_name = name; }
    int getSyncType() const { return m_syncType; }
    void setSyncType(int type) { m_syncType = type; }

    Object* copy() const override { return new Request(*this); }

  protected:
    bool attributesToElement(XMLElement& element) const override;
    bool attributesFromElement(const XMLElement& element) override;

  private:
    friend class Response;
    friend class ServiceChannel;
    std::string m_name;
    int m_syncType = SYNCHRONOUS;
    std::shared_ptr<detail::RequestCompletion> m_completion;
};

class StringReq : public Request {
  public:
    StringReq() = default;
    StringReq(const std::string& name, const EString& value) : Request(name), m_value(value) {}
    const EString& getString() const { return m_value; }
    void setString(const EString& value) { m_value = value; }
    Object* copy() const override { return new StringReq(*this); }

  private:
    EString m_value;
};

class NumberReq : public Request {
  public:
    NumberReq() = default;
    NumberReq(const std::string& name, const RCPtr<ENumber>& number)
        : Request(name), m_number(number) {}
    const RCPtr<ENumber>& getNumber() const { return m_number; }
    void setNumber(const RCPtr<ENumber>& number) { m_number = number; }
    Object* copy() const override { return new NumberReq(*this); }

  private:
    RCPtr<ENumber> m_number;
};

class RCObjectReq : public Request {
  public:
    RCObjectReq() = default;
    RCObjectReq(const std::string& name, const RCPtr<RCObject>& object)
        : Request(name), m_object(object) {}
    const RCPtr<RCObject>& getObject() const { return m_object; }
    void setObject(const RCPtr<RCObject>& object) { m_object = object; }
    Object* copy() const override { return new RCObjectReq(*this); }

  private:
    RCPtr<RCObject> m_object;
};

class MultiParamReq : public Request {
  public:
    MultiParamReq() = default;
    explicit MultiParamReq(const std::string& name) : Request(name) {}
    void addParam(const RCPtr<RCObject>& param) { m_params.push_back(param); }
    std::size_t getParamCount() const { return m_params.size(); }
    RCPtr<RCObject> getParam(std::size_t i) const {
        return i < m_params.size() ? m_params[i] : nullptr;
    }
    Object* copy() const override { return new MultiParamReq(*this); }

  private:
    std::vector<RCPtr<RCObject>> m_params;
};

// The answer to one request, made for that request and sent with ServiceChannel::sendResponse.
// A handler may keep it and send it later; dropping it unsent fails the waiting caller.
class Response : public RCObject {
  public:
    explicit Response(Request& request, const Status& status = Status(1));
    ~Response() override;
    Response(const Response&) = delete;
    Response& operator=(const Response&) = delete;

    const Status& getStatus() const { return m_status; }
    void setStatus(const Status& status) { m_status = status; }

  private:
    friend class ServiceChannel;
    Status m_status;
    std::shared_ptr<detail::RequestCompletion> m_completion;
};

class StringRsp : public Response {
  public:
    StringRsp(Request& request, const EString& value, const Status& status = Status(1))
        : Response(request, status), m_value(value) {}
    const EString& getString() const { return m_value; }

  private:
    EString m_value;
};

class NumberRsp : public Response {
  public:
    explicit NumberRsp(Request& request, const RCPtr<ENumber>& number = nullptr,
                       const Status& status = Status(1))
        : Response(request, status), m_number(number) {}
    const RCPtr<ENumber>& getNumber() const { return m_number; }
    void setNumber(const RCPtr<ENumber>& number) { m_number = number; }

  private:
    RCPtr<ENumber> m_number;
};

class RCObjectRsp : public Response {
  public:
    RCObjectRsp(Request& request, const RCPtr<RCObject>& object, const Status& status = Status(1))
        : Response(request, status), m_object(object) {}
    const RCPtr<RCObject>& getObject() const { return m_object; }

  private:
    RCPtr<RCObject> m_object;
};

}  // namespace core
