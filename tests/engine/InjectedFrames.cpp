#include "tests/engine/InjectedFrames.h"

#include <string>

#include "platform/PcapCompat.h"

namespace forwardtest {

CInjectedFrames::CInjectedFrames(const testsupport::CNetNamespace& host, const char* virtualMac) {
    testsupport::CNetNamespace::Enter inside(host);
    if (!inside.Ok()) return;
    char errorText[PCAP_ERRBUF_SIZE];
    m_capture = platform::OpenLiveCapture("eth0", 65536, false, 250, errorText);
    if (m_capture == nullptr) return;
    std::string filter = std::string("ether src ") + virtualMac + " and ip";
    bpf_program program;
    bool filtered = pcap_compile(m_capture, &program, filter.c_str(), 1, PCAP_NETMASK_UNKNOWN) == 0;
    if (filtered) {
        filtered = pcap_setfilter(m_capture, &program) == 0;
        pcap_freecode(&program);
    }
    if (!filtered) {
        pcap_close(m_capture);
        m_capture = nullptr;
    }
}

CInjectedFrames::~CInjectedFrames() {
    if (m_capture != nullptr) pcap_close(m_capture);
}

std::string CInjectedFrames::Next(int milliseconds) {
    for (int waited = 0; m_capture != nullptr && waited < milliseconds; waited += 50) {
        pcap_pkthdr* header;
        const u_char* data;
        int result = platform::NextFrame(m_capture, &header, &data, 50);
        if (result < 0) break;
        if (result == 1) return std::string(reinterpret_cast<const char*>(data), header->caplen);
    }
    return {};
}

}  // namespace forwardtest
