#include "engine/inject/SealedStreamFraming.h"

#include "engine/inject/InjectionPath.h"
#include "engine/inject/SealedOpener.h"
#include "engine/wire/WireFormat.h"
#include "link/TcpLink.h"
#include "platform/Trace.h"

CSealedStreamFraming::CSealedStreamFraming(int capacity, CSealedOpener& opener,
                                           CInjectionPath& path, CTcpLink& link,
                                           CWorkerThread& thread)
    : m_reader(capacity), m_opener(opener), m_path(path), m_link(link), m_thread(thread) {}

CStreamFraming::Unit CSealedStreamFraming::Next() {
    seal::CSealedStreamReader::Message message;
    switch (m_reader.Next(message)) {
        case seal::CSealedStreamReader::Event::kNeedMore:
            return Unit::kNeedMore;
        case seal::CSealedStreamReader::Event::kBadFrame:
            if (m_reader.LooksUnsealed()) m_unsealedFrames.fetch_add(1, std::memory_order_relaxed);
            return Unit::kBroken;
        case seal::CSealedStreamReader::Event::kMessage:
            break;
    }
    return OpenMessage(message.bytes, message.length) ? Unit::kTaken : Unit::kBroken;
}

bool CSealedStreamFraming::OpenMessage(std::uint8_t* message, int length) {
    // The plaintext lands 16 bytes into the message, so the frame to inject (Ethernet header in
    // the 14 bytes in front of the packet) starts 2 bytes into it, over its own header and never
    // over the frame before, which may still be queued.
    std::uint8_t* out;
    const seal::CSealedChannel::Received received = m_opener.Open(message, length, out);
    switch (received.kind) {
        case seal::CSealedChannel::Received::Kind::kDropped:
            // Never parsed, never injected: a stream carries nothing that may fail, so the
            // connection is recovered as after a bad length. A crossing rekey is only ignored.
            if (received.drop == seal::CSealedChannel::Drop::kCrossing) return true;
            Trace("Sealed frame dropped (%d)\n", static_cast<int>(received.drop));
            return false;
        case seal::CSealedChannel::Received::Kind::kReply:
            m_path.SendQueued();  // the reply may wait for the link's send turn: nothing waits
            m_link.SendAll(reinterpret_cast<const char*>(out), received.length, &m_thread);
            return true;
        case seal::CSealedChannel::Received::Kind::kData:
            break;
    }
    if (received.length == 0) {
        Trace("Keep Alive\n");
        return true;
    }
    m_path.Inject(out - wire::kEthernetHeaderSize, wire::kEthernetHeaderSize + received.length);
    return true;
}
