// The one TCP connection of the tunnel in TCP mode: listens or connects, retries, sends
// keep-alives, recovers after errors, and keeps a status code and sentence for the dialog.
// A member of CTunnelEngine; its thread runs from the engine's LaunchLink to its destruction.
// Threads: the link's own thread runs the state machine; the forwarder calls SendAll and
// Recover; the injector calls WaitReadable, Receive and Recover; the UI arms, resets and reads
// the status.
// Sealed (a channel set): every record and keep-alive goes out sealed, a new connection begins a
// handshake (the connecting end sends the initiation), and each pass ticks the channel, which may
// rekey or close a connection that has not authenticated (docs/sealed-tunnel.md, section 9).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "link/LinkSocket.h"
#include "link/LinkWatch.h"
#include "platform/Sockets.h"
#include "platform/WorkerThread.h"
#include "seal/SealFormat.h"

namespace seal {
class CSealedChannel;
}

class CTcpLink : public CWorkerThread {
  public:
    //  ArmListener                                   ArmInitiator
    //       |                                              |
    //       v       opened          accepted               v        connected
    //  [1 open listener] --> [2 await peer] --> [3]   [4 connect] -----------> [5]
    //       ^     (fails: stays 1, code 3)       |      ^  ^   |                |
    //       +------------- Recover --------------+      |  |   | counter       |
    //                                                   |  |   v runs out      |
    //                                      60 passes,   |  [6 retry wait]      |
    //                                      Recover -----+                      |
    //                                                   +------ Recover -------+
    //  3 connected as listener, 5 connected as initiator.
    //  [0 idle]: at construction and after Reset (from any state); left only by arming.
    //  Recover leads from any armed state to 1 or 4 by the role.
    enum class State {
        kIdle = 0,
        kOpenListener = 1,
        kAwaitPeer = 2,
        kConnectedAsListener = 3,
        kConnect = 4,
        kConnectedAsInitiator = 5,
        kRetryWait = 6,
    };
    // The status code the dialog reads: "Connected" is shown for kConnected, the status
    // sentence otherwise.
    enum class Status {
        kConnected = 0,  // the connection is up
        kBusy = 1,       // awaiting a peer, connecting, waiting to retry, or just recovered
        kIdle = 2,       // not armed
        kFailed = 3,     // the listening socket cannot be opened
    };

    CTcpLink();
    ~CTcpLink() override;

    void ArmListener(int port);
    void ArmInitiator(std::uint32_t peerAddress, int port);  // peer address in host order
    void Reset();
    void Recover();

    // Sends the whole buffer. Gives up (returning what was sent so far) once `caller` is asked
    // to stop; nullptr means the caller never stops. -1 on a send error other than would-block.
    int SendAll(const char* buffer, int length, CWorkerThread* caller = nullptr);

    // Sealed mode: set by the owner before arming (nullptr: unsealed); Reset lets it go.
    void SetSealedChannel(std::shared_ptr<seal::CSealedChannel> channel);
    // Sealed mode: `size` bytes of frames laid out back to back, each a frame header saying its
    // message's length with its packet at frame + 20 and room for the tag; seals them all in
    // place, in order, once it holds the connection's turn (so a frame never goes out on a
    // connection other than the one its session belongs to), and sends them in one go (a
    // keep-alive never falls between them). Frames after one that cannot be sealed (no session
    // ready; a due handshake is started) are dropped with it. Returns like SendAll; 0 when
    // nothing could be sealed, and without a channel.
    int SendSealedFrames(std::uint8_t* frames, int size, CWorkerThread* caller);

    // Recover, unless the connection of `generation` has been replaced already: a failure met
    // on a connection that is gone must not tear down its successor.
    void RecoverConnection(std::uint32_t generation);

    // One receive of at most `length` bytes: > 0 bytes, 0 nothing yet or no connection, -1 the
    // peer closed (after Recover) or a failure. With a non-zero `generation` that is not the
    // current connection's, returns 0 without reading, so a reader never continues a record
    // into another connection's bytes.
    int Receive(char* buffer, int length, std::uint32_t generation = 0);

    // Up to 250 ms for the connection to be readable; true when it is. A signalled `wake`
    // handle (the injector's resolver) ends the wait early with false.
    bool WaitReadable(SOCKET wake = INVALID_SOCKET);
    bool WaitWritable();

    // Bumped every time a connection comes up; 0 before the first one.
    std::uint32_t GetConnectionGeneration() const;

    Status GetStatusCode() const;
    std::string GetStatusText() const;  // a whole sentence, copied under the link's lock

    // The state machine's state (see above); for the dialog and tests.
    State GetState() const;

    // Also aborts a connection attempt under way: a blocking connect to a peer that never
    // answers lasts about two minutes, and the owner joins this thread right after.
    void RequestStop() override;

    unsigned Run() override;

    // Tests only (the program never calls them, so its timers are the defaults): the length of
    // the 1000 ms pauses of the connected states and of the retry wait (60 passes: the keep-alive
    // period and the one-minute retry wait), so that 60 passes can be watched in a second or two.
    // Set before Launch, or before arming an engine's link (CTunnelEngine::Link).
    void SetPassPauseForTests(unsigned milliseconds) { m_passPause.store(milliseconds); }
    // Tests only: shorter limits for a vanished peer, so that they show within seconds.
    void SetLimitsForTests(const CLinkWatch::Limits& limits) { m_watch.SetLimits(limits); }

  private:
    enum class Attempt { kConnected, kFailed, kAbandoned };

    bool OpenListener();  // under m_lock
    bool PollAccept();    // under m_lock
    // Takes m_lock itself, never across connect or a wait; writes the epoch it ran under.
    Attempt ConnectToPeer(std::uint64_t* attemptEpoch);
    void KeepAliveTick();

    // Called with m_lock held.
    void RecoverLocked();
    void CloseAllLocked();
    void SetStatusLocked(const char* text) { m_statusText = text; }
    void ConnectionUpLocked(std::shared_ptr<CLinkSocket> connection, State state);

    // Recover, but only if `connection` is still the link's connection: a call that met the end
    // of a connection somebody else already replaced must not tear down its successor.
    void RecoverIfCurrent(const std::shared_ptr<CLinkSocket>& connection);
    bool IsCurrent(const std::shared_ptr<CLinkSocket>& connection) const;
    std::shared_ptr<CLinkSocket> CurrentConnection() const;
    int WaitOnConnection(bool readable, SOCKET wake = INVALID_SOCKET);
    // The stream's send turn, held for one whole write so that a record and a keep-alive never
    // interleave, with the connection (and channel) it was taken for; empty when there is none.
    struct Turn {
        std::shared_ptr<CLinkSocket> connection;
        std::shared_ptr<seal::CSealedChannel> channel;
        std::unique_lock<std::mutex> lock;
        explicit operator bool() const { return lock.owns_lock(); }
    };
    // Both restart the keep-alive count. WaitForTurn waits while another send holds the turn,
    // until `caller` is asked to stop or the connection is lost; TryTurn takes it only when it
    // is free (a keep-alive is left out while a record is being sent).
    Turn WaitForTurn(CWorkerThread* caller);
    Turn TryTurn();
    // The connection (and channel) to send on, restarting the keep-alive count.
    Turn StartSend();
    // Seals the frames laid out in `frames` in place, in order, and writes them on the turn's
    // connection, after a handshake initiation when one is due.
    int SealAndWrite(Turn& turn, std::uint8_t* frames, int size, CWorkerThread* caller);
    // The whole buffer on `connection`, as long as it stays the link's and `caller` runs.
    int WriteAll(const std::shared_ptr<CLinkSocket>& connection, const char* buffer, int length,
                 CWorkerThread* caller);
    std::shared_ptr<seal::CSealedChannel> Channel() const;
    // The link's thread: sends the initiation that BeginConnection wrote for a new connection.
    void SendInitiation();

    // Link's thread only: attempts left before the retry wait.
    int m_retryCounter = 5;

    // m_lock guards every field below it up to m_sendLock. It is held only for short,
    // non-blocking work (socket, bind, listen, a non-blocking accept, shutdown, close, field
    // changes), never across connect, poll, send, recv or a pause.
    mutable std::mutex m_lock;
    int m_countdown = 60;  // keep-alive passes left, or passes of the retry wait left
    // The connection; also held by callers in the middle of a send, receive or wait on it.
    std::shared_ptr<CLinkSocket> m_connection;
    // The socket of a connection attempt under way, so that Recover and Reset can abort it.
    std::shared_ptr<CLinkSocket> m_connecting;
    SOCKET m_listening = INVALID_SOCKET;  // used only under m_lock, so a plain handle
    Status m_statusCode = Status::kIdle;
    const char* m_statusText = "";  // always one of the fixed sentences (static storage)
    State m_state = State::kIdle;
    int m_port = 0;
    std::uint32_t m_peerAddress = 0;
    bool m_listenerRole = false;
    // Bumped by arming, Reset and Recover: the link's thread stores the outcome of a connection
    // attempt only if no one changed the link's course while it was unlocked.
    std::uint64_t m_epoch = 0;
    std::uint32_t m_generation = 0;  // bumped when a connection comes up; never 0 after that
    // Sealed mode: shared with the engine, which creates it at Start; copied out under m_lock by
    // each caller, so a Reset never frees it under a call in progress.
    std::shared_ptr<seal::CSealedChannel> m_channel;

    // The link's thread only: the handshake initiation of a connection just made, and the
    // channel's handshake messages and sealed keep-alives.
    std::uint8_t m_handshake[seal::kStreamHeaderSize + seal::kInitiationSize] = {};
    int m_handshakeLength = 0;

    // The send turn (see Turn), held for one whole write.
    std::mutex m_sendLock;

    std::atomic<unsigned> m_passPause{1000};
    CLinkWatch m_watch;  // limits for a vanished peer (atomics inside)
};
