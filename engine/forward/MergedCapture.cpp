#include "engine/forward/MergedCapture.h"

#include <cstdio>
#include <cstring>

#include "platform/PcapCompat.h"
#include "platform/Trace.h"

CMergedCapture::Order CMergedCapture::Compare(const Mark& wanted, const Mark& head) {
    if (head.length == wanted.length && head.captured >= wanted.captured &&
        std::memcmp(head.bytes, wanted.bytes, wanted.captured) == 0) {
        return Order::kSame;
    }
    if (head.seconds != wanted.seconds) {
        return head.seconds < wanted.seconds ? Order::kEarlier : Order::kLater;
    }
    return head.fraction <= wanted.fraction ? Order::kEarlier : Order::kLater;
}

bool CMergedCapture::Open(const pcap_if_t* adapter, const char* filter, int cutLength,
                          char* errorText) {
    Close();
    if (!m_pending) m_pending = std::make_unique<std::uint8_t[]>(kSnapLength);
    char mergedFilter[256];
    std::snprintf(mergedFilter, sizeof mergedFilter, "(%s) and greater %d", filter, cutLength + 1);
    const char* name = adapter != nullptr ? adapter->name : "";
    bool filtered = false;
    platform::OpenFailure failure = platform::OpenFailure::kNone;
    m_capture = platform::OpenFilteredCapture(
        adapter, mergedFilter,
        {kSnapLength, true, 0, platform::CaptureRingBytes(name, kSnapLength, kRingFrames), true},
        &filtered, &failure, errorText);
    if (m_capture != nullptr && !filtered) {
        // Unfiltered it would hold every frame on the LAN; standard error has the reason.
        std::snprintf(errorText, PCAP_ERRBUF_SIZE, "the filter could not be installed");
        Close();
    }
    return m_capture != nullptr;
}

void CMergedCapture::Adopt(pcap_t* capture) {
    Close();
    if (!m_pending) m_pending = std::make_unique<std::uint8_t[]>(kSnapLength);
    m_capture = capture;
}

void CMergedCapture::Close() {
    if (m_capture != nullptr) pcap_close(m_capture);
    m_capture = nullptr;
    m_hasPending = false;
}

CMergedCapture::Mark CMergedCapture::MarkOf(const pcap_pkthdr& header, const std::uint8_t* data) {
    return {header.ts.tv_sec, header.ts.tv_usec, header.len, header.caplen, data};
}

bool CMergedCapture::Take(const pcap_pkthdr& header, const std::uint8_t* data, Deliver deliver,
                          void* user) {
    m_wanted = MarkOf(header, data);
    if (m_hasPending) {
        const Order order = Compare(m_wanted, m_pendingMark);
        if (order == Order::kLater) {  // the wanted one was lost before it
            ++m_lost;
            return false;
        }
        m_hasPending = false;
        if (order == Order::kSame) {
            if (m_pendingMark.captured == m_pendingMark.length) {
                deliver(user, m_pending.get(), m_pendingMark.captured);
                return true;
            }
            ++m_lost;  // cut here too
            return false;
        }
    }
    if (m_capture == nullptr) {
        ++m_lost;
        return false;
    }
    m_deliver = deliver;
    m_user = user;
    // Each look takes one frame off the ring, so the ring's size bounds the loop.
    for (int looked = 0; looked <= kRingFrames; ++looked) {
        m_outcome = Outcome::kNone;
        if (pcap_dispatch(m_capture, 1, &CMergedCapture::OnFrame,
                          reinterpret_cast<u_char*>(this)) <= 0) {
            break;  // not there (or the card failed: the forwarder's capture reports that)
        }
        if (m_outcome == Outcome::kDelivered) return true;
        if (m_outcome != Outcome::kPassedOver) break;
    }
    Trace("A merged frame of %u bytes was not captured whole\n", header.len);
    ++m_lost;
    return false;
}

void CMergedCapture::OnFrame(u_char* user, const pcap_pkthdr* header, const u_char* data) {
    auto* self = reinterpret_cast<CMergedCapture*>(user);
    const Mark head = MarkOf(*header, data);
    switch (Compare(self->m_wanted, head)) {
        case Order::kSame:
            if (head.captured < head.length) {  // longer than this capture takes
                self->m_outcome = Outcome::kCutToo;
                return;
            }
            self->m_deliver(self->m_user, data, head.captured);
            self->m_outcome = Outcome::kDelivered;
            return;
        case Order::kEarlier:
            self->m_outcome = Outcome::kPassedOver;
            return;
        case Order::kLater:
            std::memcpy(self->m_pending.get(), data, head.captured);
            self->m_pendingMark = head;
            self->m_pendingMark.bytes = self->m_pending.get();
            self->m_hasPending = true;
            self->m_outcome = Outcome::kKept;
            return;
    }
}
