// A request that carries a string and a counted object (a port name and an equipment, a
// channel name and a channel).
#pragma once

#include <string>

#include "framework/core/Request.h"
#include "framework/core/Values.h"
#include "framework/core/XML.h"

namespace vela {

class StringRCObjectReq : public core::Request {
  public:
    // Named after its class, as requests made from XML are.
    StringRCObjectReq();
    StringRCObjectReq(const std::string& name, const core::EString& value,
                      const core::RCPtr<core::RCObject>& object);
    StringRCObjectReq(const StringRCObjectReq& other);
    StringRCObjectReq& operator=(const StringRCObjectReq& other);
    ~StringRCObjectReq() override;

    const core::EString& getString() const { return m_string; }
    void setString(const core::EString& value) { m_string = value; }
    core::RCPtr<core::RCObject> getObject() const { return m_spObject; }
    void setObject(const core::RCPtr<core::RCObject>& object) { m_spObject = object; }

    Object* copy() const override { return new StringRCObjectReq(*this); }

    // The request's element with the string in "STRING" and, when an object is held, the
    // object in a child element "RCOBJECT". True only when the object was written too.
    bool toXMLElement(core::XMLElement& element) const override;
    // Reads the request, the string and the object; true when an object is held afterwards.
    bool fromXMLElement(const core::XMLElement& element) override;

    // The creator registered under "vela::StringRCObjectReq".
    static core::Object* createObject();
    static bool registerClass();
    static bool unRegisterClass();

  private:
    core::EString m_string;
    core::RCPtr<core::RCObject> m_spObject;
};

}  // namespace vela
