// Failures injected into the simulated service: a method (by name) answers an error HRESULT,
// or VARIANT_FALSE where it answers a VARIANT_BOOL, for its next call or for every call, on
// every object or only on the objects of one phone or one data provider.
#pragma once

#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/com/ComBase.h"

namespace sim {

class FaultTable {
  public:
    struct Fault {
        HRESULT hr = S_OK;         // an error to return, or S_OK with answerFalse
        bool answerFalse = false;  // answer VARIANT_FALSE
    };

    // method: the member name ("Connect", "Targets", "_NewEnum", "Data", "PutData", or a
    // class name for creation: "DebugMuxServer", "DataBlock"), optionally qualified with an
    // interface ("IDataProviderStream.Connect"). scope: null for every object, else the
    // phone or data provider it is limited to.
    void add(const std::string& method, const void* scope, HRESULT hr, bool answerFalse,
             bool persistent);
    void clear();
    // Drops the rules limited to a scope (when its phone or provider goes).
    void clearScope(const void* scope);

    // The fault for a call of method through one of the given interfaces on an object of the
    // given scopes, or none. A one-shot rule is used up. Rules that answer VARIANT_FALSE apply
    // only to methods that answer one (boolMethod).
    std::optional<Fault> check(std::initializer_list<const char*> interfaces, const char* method,
                               std::initializer_list<const void*> scopes, bool boolMethod);

  private:
    struct Rule {
        std::string method;
        const void* scope;
        Fault fault;
        bool persistent;
    };
    std::mutex m_mutex;
    std::vector<Rule> m_rules;
};

}  // namespace sim
