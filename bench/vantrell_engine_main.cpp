// Benchmark helper: runs one tunnel end (CTunnelEngine) from command-line arguments until
// SIGTERM or SIGINT, in whatever network namespace it is started in. Not the product program.
//
//   vantrell_engine_main ADAPTER THIS_NET/MASK OTHER_NET/MASK TUNNEL_IP:PORT LISTEN_PORT
//                        VIRTUAL_IP VIRTUAL_MAC udp|listen|connect
#include <arpa/inet.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "engine/TunnelEngine.h"
#include "platform/Pcap.h"

namespace {

bool Address(const std::string& text, std::uint32_t* value) {
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
    *value = ntohl(a.s_addr);
    return true;
}

bool NetAndMask(const std::string& text, std::uint32_t* net, std::uint32_t* mask) {
    size_t slash = text.find('/');
    return slash != std::string::npos && Address(text.substr(0, slash), net) &&
           Address(text.substr(slash + 1), mask);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 9) {
        std::fprintf(stderr,
                     "usage: %s ADAPTER NET/MASK OTHER_NET/MASK TUNNEL_IP:PORT LISTEN_PORT "
                     "VIRTUAL_IP VIRTUAL_MAC udp|listen|connect\n",
                     argv[0]);
        return 2;
    }
    // Block the stop signals before any thread exists, so that only sigwait takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    CTunnelEngine::Settings s;
    std::string tunnel = argv[4];
    size_t colon = tunnel.find(':');
    std::string mode = argv[8];
    if (!NetAndMask(argv[2], &s.thisSubnet, &s.thisMask) ||
        !NetAndMask(argv[3], &s.otherSubnet, &s.otherMask) || colon == std::string::npos ||
        !Address(tunnel.substr(0, colon), &s.tunnelAddress) ||
        !Address(argv[6], &s.virtualAddress)) {
        std::fprintf(stderr, "bad address argument\n");
        return 2;
    }
    s.tunnelPort = std::atoi(tunnel.c_str() + colon + 1);
    s.listenPort = std::atoi(argv[5]);
    s.virtualMac = argv[7];
    s.mode = mode == "listen"    ? CTunnelEngine::Mode::kTcpListener
             : mode == "connect" ? CTunnelEngine::Mode::kTcpInitiator
                                 : CTunnelEngine::Mode::kUdp;

    char errorText[PCAP_ERRBUF_SIZE];
    pcap_if_t* adapters = nullptr;
    if (pcap_findalldevs(&adapters, errorText) != 0) {
        std::fprintf(stderr, "%s\n", errorText);
        return 1;
    }
    for (pcap_if_t* a = adapters; a != nullptr; a = a->next) {
        if (std::strcmp(a->name, argv[1]) == 0) s.adapter = a;
    }
    if (s.adapter == nullptr) {
        std::fprintf(stderr, "no adapter %s\n", argv[1]);
        pcap_freealldevs(adapters);
        return 1;
    }
    {
        CTunnelEngine engine;
        engine.SetSettings(s);
        engine.Start();
        int signal = 0;
        sigwait(&stopSignals, &signal);
        engine.Stop();
    }
    pcap_freealldevs(adapters);
    return 0;
}
