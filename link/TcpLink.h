// The one TCP connection of the tunnel in TCP mode: listens or connects, retries, sends
// keep-alives, recovers after errors, and keeps a status code and sentence for the dialog.
// A member of the dialog; its thread runs from dialog initialisation to destruction.
// Threads: the link's own thread runs the state machine; the forwarder calls SendAll and
// Recover; the injector calls WaitReadable, Receive and Recover; the UI arms, resets and reads
// the status.
#pragma once

#include <cstdint>
#include <string>

#include "engine/WorkerThread.h"
#include "platform/Sockets.h"

class CTcpLink : public CWorkerThread {
public:
    CTcpLink();
    ~CTcpLink() override;

    void ArmListener(int port);
    void ArmInitiator(std::uint32_t peerAddress, int port);  // peer address in host order
    void Reset();
    void Recover();

    // Sends the whole buffer. Gives up (returning what was sent so far) once `caller` is asked
    // to stop; nullptr means the caller never stops. -1 on a send error other than would-block.
    int SendAll(const char* buffer, int length, CWorkerThread* caller = nullptr);

    // One receive of at most `length` bytes: > 0 bytes, 0 nothing yet or no connection, -1 the
    // peer closed (after Recover) or a failure. With a non-zero `generation` that is not the
    // current connection's, returns 0 without reading, so a reader never continues a record
    // into another connection's bytes.
    int Receive(char* buffer, int length, std::uint32_t generation = 0);

    bool WaitReadable();
    bool WaitWritable();

    // Bumped every time a connection comes up; 0 before the first one.
    std::uint32_t GetConnectionGeneration() const;

    int GetStatusCode() const;
    std::string GetStatusText() const;  // a whole sentence, copied under the link's lock

    unsigned Run() override;
};
