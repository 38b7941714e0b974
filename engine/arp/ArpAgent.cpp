#include "engine/arp/ArpAgent.h"

#include <netinet/in.h>

#include <cstdio>
#include <cstring>

#include "engine/arp/ArpFrames.h"
#include "platform/PcapCompat.h"
#include "platform/Thread.h"
#include "platform/Trace.h"

namespace {

constexpr int kSnapLength = 65536;
constexpr int kReadTimeoutMs = 250;
constexpr unsigned kCapturePollMs = 100;

}  // namespace

CArpAgent::CArpAgent()
    : CWorkerThread("arp-agent"),
      m_adapter(nullptr),
      m_respond(false),
      m_capture(nullptr),
      m_sendHandle(nullptr),
      m_sendOpen(false) {
    CArpFrames::BuildRequestTemplate(m_requestTemplate);
    CArpFrames::BuildReplyTemplate(m_requestTemplate, m_replyTemplate);
}

// The owner joins before deleting, so Run has closed both handles by now.
CArpAgent::~CArpAgent() = default;

void CArpAgent::SetRespond(bool respond) {
    m_respond.store(respond, std::memory_order_relaxed);
}

void CArpAgent::SetVirtualRouter(std::uint32_t address, const std::uint8_t* mac) {
    std::lock_guard lock(m_sendMutex);
    CArpFrames::SetVirtualRouter(m_requestTemplate, m_replyTemplate, htonl(address), mac);
}

void CArpAgent::SetAdapter(pcap_if_t* adapter) {
    m_adapter = adapter;
}

const std::uint8_t* CArpAgent::GetVirtualMac() const {
    return m_requestTemplate + CArpFrames::kEthernetSource;
}

// Gives up, returning nullptr, as soon as the agent's running flag is down: RequestStop lowers
// it, and Run lowers it again when it ends, so an ended thread is seen at once. While the card
// cannot be opened the agent keeps trying and the wait goes on. A thread that never started
// leaves the flag up; the caller's own stop request then ends the wait, with no guess from
// elapsed time (a loaded machine may take long to start a thread).
pcap_t* CArpAgent::WaitForCapture(CWorkerThread* caller) {
    for (;;) {
        pcap_t* capture = m_capture.load(std::memory_order_acquire);
        if (capture != nullptr) return capture;
        if (!IsRunning()) return nullptr;
        if (caller != nullptr && !caller->IsRunning()) return nullptr;
        Sleep(kCapturePollMs);
    }
}

bool CArpAgent::SendRequest(std::uint32_t address, const std::uint8_t* unicastMac) {
    static constexpr std::uint8_t kBroadcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    std::lock_guard lock(m_sendMutex);
    if (!m_sendOpen) return false;
    CArpFrames::SetRequestTarget(m_requestTemplate, address);
    if (unicastMac != nullptr) {
        std::memcpy(m_requestTemplate + CArpFrames::kEthernetDestination, unicastMac, 6);
    }
    const bool sent =
        pcap_sendpacket(m_sendHandle, m_requestTemplate, CArpFrames::kFrameLength) == 0;
    std::memcpy(m_requestTemplate + CArpFrames::kEthernetDestination, kBroadcast, 6);
    return sent;
}

bool CArpAgent::SendFrame(const std::uint8_t* frame, int length) {
    if (frame == nullptr || length <= 0) return false;
    return SendLocked(frame, length);
}

bool CArpAgent::SendLocked(const std::uint8_t* frame, int length) {
    std::lock_guard lock(m_sendMutex);
    return m_sendOpen && pcap_sendpacket(m_sendHandle, frame, length) == 0;
}

pcap_t* CArpAgent::OpenCapture() {
    bool filtered = false;
    platform::OpenFailure failure = platform::OpenFailure::kNone;
    char errorText[PCAP_ERRBUF_SIZE];
    // Every frame is handed over at once: the capture runs in immediate mode, which stands in
    // for a 1-byte minimum copy size.
    pcap_t* capture = platform::OpenFilteredCapture(
        m_adapter, "arp", {kSnapLength, true, kReadTimeoutMs, 0}, &filtered, &failure, errorText);
    if (capture == nullptr) {
        m_keeper.OpenFailed(*this, failure, errorText);
        return nullptr;
    }
    // Every send goes through a second, send-only handle opened with the capture, so that no
    // sender ever shares the reading handle with this thread. Without it there is no capture.
    pcap_t* sendHandle = platform::OpenSendHandle(m_adapter->name, errorText, &failure);
    if (sendHandle == nullptr) {
        pcap_close(capture);
        m_keeper.OpenFailed(*this, failure, errorText);
        return nullptr;
    }
    if (!m_keeper.Opened(*this)) {  // went down or away meanwhile: closed, tried again
        pcap_close(sendHandle);
        pcap_close(capture);
        return nullptr;
    }
    // The reading handle sees only frames that arrive: the replies and requests this agent
    // sends through the other handle would otherwise be learned (the virtual address) or even
    // answered, which a single handle that does not see its own frames never did.
    if (pcap_setdirection(capture, PCAP_D_IN) != 0) {
        Trace("Unable to capture inbound frames only: %s\n", pcap_geterr(capture));
    }
    {
        std::lock_guard lock(m_sendMutex);
        m_sendHandle = sendHandle;
        m_sendOpen = true;
    }
    // Without its filter the agent goes on: the rules recognise ARP frames by their bytes.
    m_cardEpoch.fetch_add(1, std::memory_order_release);
    m_capture.store(capture, std::memory_order_release);
    return capture;
}

void CArpAgent::CloseCapture(pcap_t* capture) {
    {
        // After this block no sender can reach the send handle, whoever still holds the
        // pointer that WaitForCapture gave out.
        std::lock_guard lock(m_sendMutex);
        m_sendOpen = false;
        if (m_sendHandle != nullptr) pcap_close(m_sendHandle);
        m_sendHandle = nullptr;
    }
    m_capture.store(nullptr, std::memory_order_release);
    pcap_close(capture);
}

unsigned CArpAgent::Run() {
    // The card may be missing or refused at first, or go away and come back while running:
    // each time the handles are opened again, about twice a second, until a stop request.
    m_keeper.Begin(m_adapter != nullptr ? m_adapter->name : nullptr);
    while (IsRunning()) {
        pcap_t* capture = OpenCapture();
        if (capture == nullptr) continue;  // the keeper has waited before the next attempt
        ReadFrames(capture);
        CloseCapture(capture);
    }
    // Asked to stop: WaitForCapture must stop waiting, so the running flag stays down (it is
    // already); Launch raises it again.
    CWorkerThread::RequestStop();
    return 0;
}

void CArpAgent::ReadFrames(pcap_t* capture) {
    for (;;) {
        pcap_pkthdr* header;
        const u_char* data;
        int result = platform::NextFrame(capture, &header, &data, kReadTimeoutMs);
        if (!IsRunning()) return;
        if (!m_keeper.StillThere(result, capture)) return;
        if (result == 0) continue;
        if (header->caplen < static_cast<bpf_u_int32>(CArpFrames::kFrameLength)) continue;

        if (CArpFrames::IsReply(data, header->caplen)) {
            Trace("Packet appears to be valid ARP IP= %d.%d.%d.%d\n",
                  data[CArpFrames::kSenderAddress], data[CArpFrames::kSenderAddress + 1],
                  data[CArpFrames::kSenderAddress + 2], data[CArpFrames::kSenderAddress + 3]);
        }
        // Every request and reply tells who holds its sender address: a new neighbour, a
        // confirmation, or a changed MAC. The resolver judges it on the injector's thread.
        std::uint32_t sender;
        std::uint8_t senderMac[6];
        if (CArpFrames::SenderOf(data, header->caplen, &sender, senderMac)) {
            m_neighbours.Post(sender, senderMac);
        }
        if (CArpFrames::ShouldAnswer(data, header->caplen, m_replyTemplate,
                                     m_respond.load(std::memory_order_relaxed))) {
            CArpFrames::FillReply(m_replyTemplate, data);
            SendLocked(m_replyTemplate, CArpFrames::kFrameLength);  // result ignored
        }
    }
}
