#include "host/HostObserver.h"

namespace host {

void HostObserver::onChannelActiveState(eqbase::Channel& channel, int state) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_states[channel.getChannelName()] = state;
        if (state == dsrc::CHANNEL_STATE_ACTIVE)
            ++m_activations[channel.getChannelName()];
    }
    m_wake.raise();
}

void HostObserver::onApplyResult(eqbase::Channel&, core::PropertyNode::Identity identity,
                                 const core::Status& status) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_results[identity] = status.getCode();
    }
    m_wake.raise();
}

int HostObserver::state(const std::string& channel) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_states.find(channel);
    return it == m_states.end() ? 0 : it->second;
}

int HostObserver::activations(const std::string& channel) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_activations[channel];
}

std::map<unsigned long, long> HostObserver::results(const std::vector<unsigned long>& identities) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::map<unsigned long, long> answer;
    for (auto id : identities)
        if (m_results.count(id))
            answer[id] = m_results[id];
    return answer;
}

void HostObserver::forgetResults() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_results.clear();
}

}  // namespace host
