// The sealed TCP stream: frames (seal::CSealedStreamReader), each message opened where it
// landed and its packet injected there; handshake replies go back on the link. A frame that is
// not sealed or does not open breaks the stream (the connection is recovered), except a
// crossing rekey, which is only ignored. Frames queued for injection wait in the path's batch
// until the buffer is compacted before the next receive.
// Owned by CTunnelToLan in sealed TCP mode; the injector's thread only, except the counter.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/inject/StreamFraming.h"
#include "seal/SealedStreamReader.h"

class CInjectionPath;
class CSealedOpener;
class CTcpLink;
class CWorkerThread;

class CSealedStreamFraming : public CStreamFraming {
  public:
    // All not owned; they outlive the framing. `thread`: the injector, whose stop request ends
    // a reply's wait for the link.
    CSealedStreamFraming(int capacity, CSealedOpener& opener, CInjectionPath& path, CTcpLink& link,
                         CWorkerThread& thread);

    void Restart() override { m_reader.Restart(); }
    Unit Next() override;
    // Handed-out messages may be written over from here on.
    void PrepareReceive() override { m_reader.Compact(); }
    std::uint8_t* Space() override { return m_reader.Space(); }
    int SpaceSize() const override { return m_reader.SpaceSize(); }
    void Commit(int received) override { m_reader.Commit(received); }

    // Frames whose header was an unsealed record's (a peer without a key); any thread.
    std::uint32_t GetUnsealedFrames() const {
        return m_unsealedFrames.load(std::memory_order_relaxed);
    }

  private:
    // Opens one message and injects, answers or drops it; false when the stream is broken.
    bool OpenMessage(std::uint8_t* message, int length);

    seal::CSealedStreamReader m_reader;
    CSealedOpener& m_opener;
    CInjectionPath& m_path;
    CTcpLink& m_link;
    CWorkerThread& m_thread;
    // Added to by the injector, read by the owner: atomic.
    std::atomic<std::uint32_t> m_unsealedFrames{0};
};
