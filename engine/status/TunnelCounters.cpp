#include "engine/status/TunnelCounters.h"

void ForwarderCounters::SampleCapture(pcap_t* capture) {
    const auto now = std::chrono::steady_clock::now();
    if (capture == nullptr || now < m_nextSample) return;
    m_nextSample = now + std::chrono::seconds(1);
    if (capture != m_sampled) {
        m_earlierDrops += m_sampledDrops;
        m_sampledDrops = 0;
        m_sampled = capture;
    }
    pcap_stat stats{};
    if (pcap_stats(capture, &stats) != 0) return;
    if (stats.ps_drop < m_sampledDrops) {  // a new capture at the old one's address
        m_earlierDrops += m_sampledDrops;
    }
    m_sampledDrops = stats.ps_drop;
    captureDropped.Set(m_earlierDrops + m_sampledDrops);
}
