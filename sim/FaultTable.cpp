#include "sim/FaultTable.h"

#include <algorithm>

namespace sim {

void FaultTable::add(const std::string& method, const void* scope, HRESULT hr, bool answerFalse,
                     bool persistent) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_rules.push_back(Rule{method, scope, Fault{answerFalse ? S_OK : hr, answerFalse}, persistent});
}

void FaultTable::clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_rules.clear();
}

void FaultTable::clearScope(const void* scope) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_rules.erase(std::remove_if(m_rules.begin(), m_rules.end(),
                                 [&](const Rule& r) { return r.scope == scope; }),
                  m_rules.end());
}

std::optional<FaultTable::Fault> FaultTable::check(std::initializer_list<const char*> interfaces,
                                                   const char* method,
                                                   std::initializer_list<const void*> scopes,
                                                   bool boolMethod) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_rules.begin(); it != m_rules.end(); ++it) {
        if (it->fault.answerFalse && !boolMethod)
            continue;
        bool named = it->method == method;
        for (const char* itf : interfaces)
            named = named || it->method == std::string(itf) + "." + method;
        if (!named)
            continue;
        bool inScope = it->scope == nullptr;
        for (const void* s : scopes)
            inScope = inScope || (s && it->scope == s);
        if (!inScope)
            continue;
        Fault fault = it->fault;
        if (!it->persistent)
            m_rules.erase(it);
        return fault;
    }
    return std::nullopt;
}

}  // namespace sim
