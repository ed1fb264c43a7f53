// What the host sees of a phone's channels: their active states, how many times each became
// active, and the results of applied settings. The framework calls it on the channels'
// workers; every change raises the wake flag that the run's waits watch.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "framework/eqbase/Equipment.h"
#include "host/HostPlatform.h"

namespace host {

class HostObserver : public eqbase::ChannelObserver {
  public:
    explicit HostObserver(WakeFlag& wake) : m_wake(wake) {}

    void onChannelActiveState(eqbase::Channel& channel, int state) override;
    void onApplyResult(eqbase::Channel& channel, core::PropertyNode::Identity identity,
                       const core::Status& status) override;

    // The channel's last state, 0 before any.
    int state(const std::string& channel);
    // How many times the channel became active.
    int activations(const std::string& channel);
    // The results that came of the identities; missing ones are absent from the answer.
    std::map<unsigned long, long> results(const std::vector<unsigned long>& identities);
    void forgetResults();

  private:
    WakeFlag& m_wake;
    std::mutex m_mutex;
    std::map<std::string, int> m_states;
    std::map<std::string, int> m_activations;
    std::map<unsigned long, long> m_results;
};

}  // namespace host
