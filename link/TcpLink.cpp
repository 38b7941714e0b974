#include "link/TcpLink.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>

#include <chrono>
#include <cstring>

#include "platform/Thread.h"
#include "platform/Trace.h"
#include "seal/SealedChannel.h"

namespace {

constexpr int kRetryAttempts = 5;
constexpr int kCountdownPasses = 60;
constexpr int kWritableWaits = 40;
constexpr int kWaitMilliseconds = 250;
constexpr unsigned kIdlePause = 500;
constexpr unsigned kFailedAttemptPause = 500;
constexpr unsigned kAcceptPause = 100;
constexpr unsigned kSendTurnPoll = 1;

// The status sentences, as the operator reads them.
constexpr const char kWaitingForConnection[] = "Waiting for connection";
constexpr const char kAttemptingToConnect[] = "Attempting to connect";
constexpr const char kWrongStateToOpen[] = "Socket in wrong state to open";
constexpr const char kCantCreateListening[] = "Cant Create Listening Socket";
constexpr const char kFailedToBind[] = "Failed to bind to port";
constexpr const char kCouldntSetNonBlocking[] = "Couldn't set listen socket top non-blocking";
constexpr const char kListenFailed[] = "Socket Listen Failed";
constexpr const char kWrongStateToConnect[] = "Socket in wrong state to connect";
constexpr const char kFailedToCreateConnect[] = "Failed to create socket to connect";
constexpr const char kFailedToConnect[] = "Failed to connect the socket";
constexpr const char kRetryWaiting[] = "Waiting 1 minute before next connection retry.";
constexpr const char kWaitingAgain[] = "Something went wrong - Waiting again";
constexpr const char kConnectingAgain[] = "Something went wrong - Connecting again";

// The zero-length record.
constexpr char kKeepAlive[4] = {0, 0, 0, 0};

// Unsent bytes the connection's socket holds before a send waits: about 85 records of 1504
// bytes, 1 ms at 1 Gbit/s and 100 ms at 10 Mbit/s. Without it the socket takes up to its send
// buffer (megabytes, seconds of packets on a slow WAN) and every packet waits behind them.
constexpr int kNotSentLowWater = 128 * 1024;

// Socket options of a connection that has come up. Neither changes a byte of the stream, only
// when segments leave: without TCP_NODELAY Nagle's algorithm holds the short tail of every record
// longer than a segment until the previous segment is acknowledged. A failure only costs speed:
// not acted on.
void TuneConnection(SOCKET handle) {
    int on = 1;
    ::setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    int lowWater = kNotSentLowWater;
    ::setsockopt(handle, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &lowWater, sizeof lowWater);
}

sockaddr_in MakeAddress(std::uint32_t hostOrderAddress, int port) {
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(hostOrderAddress);
    address.sin_port = htons(static_cast<std::uint16_t>(port & 0xFFFF));  // low 16 bits only
    return address;
}

SOCKET NewTcpSocket() {
    return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
}

// Detaches a shared socket from its field: shut down at once (wakes anyone in a call on it, and
// the peer sees the end), closed when the last holder lets go.
void Detach(std::shared_ptr<CLinkSocket>& socket) {
    if (socket) {
        socket->Shutdown();
        socket.reset();
    }
}

}  // namespace

CTcpLink::CTcpLink() : CWorkerThread("tcp-link") {}

CTcpLink::~CTcpLink() {
    // The thread has been joined and has closed everything; this only covers a link that was
    // destroyed without its thread ever ending normally.
    std::lock_guard lock(m_lock);
    CloseAllLocked();
}

// ---------------------------------------------------------------------------------------------
// Arming, Reset, Recover (UI thread; Recover from any thread)

void CTcpLink::ArmListener(int port) {
    std::lock_guard lock(m_lock);
    m_listenerRole = true;
    m_port = port;
    m_state = State::kOpenListener;
    SetStatusLocked(kWaitingForConnection);
    ++m_epoch;
    // A connection attempt still under way belongs to the old course: abort it.
    Detach(m_connecting);
}

void CTcpLink::ArmInitiator(std::uint32_t peerAddress, int port) {
    std::lock_guard lock(m_lock);
    m_listenerRole = false;
    m_port = port;
    m_peerAddress = peerAddress;
    m_state = State::kConnect;
    SetStatusLocked(kAttemptingToConnect);
    ++m_epoch;
    Detach(m_connecting);
}

void CTcpLink::RequestStop() {
    CWorkerThread::RequestStop();
    std::lock_guard lock(m_lock);
    Detach(m_connecting);
}

void CTcpLink::SetSealedChannel(std::shared_ptr<seal::CSealedChannel> channel) {
    std::lock_guard lock(m_lock);
    m_channel = std::move(channel);
}

std::shared_ptr<seal::CSealedChannel> CTcpLink::Channel() const {
    std::lock_guard lock(m_lock);
    return m_channel;
}

void CTcpLink::Reset() {
    std::lock_guard lock(m_lock);
    CloseAllLocked();
    m_channel.reset();
    m_state = State::kIdle;
    ++m_epoch;
}

void CTcpLink::Recover() {
    std::lock_guard lock(m_lock);
    RecoverLocked();
}

void CTcpLink::RecoverLocked() {
    if (m_state == State::kIdle) {
        // A link that was never armed, or was reset, has no course to go back to: a late Recover
        // from a reader or writer must not re-arm it (nor make it connect to an unset peer).
        CloseAllLocked();
        return;
    }
    m_statusCode = Status::kBusy;
    CloseAllLocked();
    Trace("Disconnected - Redo From Start\n");
    if (m_listenerRole) {
        SetStatusLocked(kWaitingAgain);
        m_state = State::kOpenListener;
    } else {
        SetStatusLocked(kConnectingAgain);
        m_state = State::kConnect;
    }
    ++m_epoch;
}

void CTcpLink::CloseAllLocked() {
    Detach(m_connection);
    Detach(m_connecting);
    if (m_listening != INVALID_SOCKET) {
        closesocket(m_listening);  // only ever used under m_lock, so no one else is in a call on it
        m_listening = INVALID_SOCKET;
    }
}

void CTcpLink::RecoverIfCurrent(const std::shared_ptr<CLinkSocket>& connection) {
    std::lock_guard lock(m_lock);
    if (m_connection == connection) RecoverLocked();
}

bool CTcpLink::IsCurrent(const std::shared_ptr<CLinkSocket>& connection) const {
    std::lock_guard lock(m_lock);
    return m_connection == connection;
}

std::shared_ptr<CLinkSocket> CTcpLink::CurrentConnection() const {
    std::lock_guard lock(m_lock);
    return m_connection;
}

void CTcpLink::ConnectionUpLocked(std::shared_ptr<CLinkSocket> connection, State state) {
    TuneConnection(connection->Handle());
    Detach(m_connection);  // never the case in an orderly course; never leave one behind
    m_connection = std::move(connection);
    if (++m_generation == 0) m_generation = 1;
    m_state = state;
    m_statusCode = Status::kConnected;
    // Sealed: every connection starts from fresh sessions, before anyone reads from it; the
    // connecting end's initiation goes out as soon as the lock is let go (SendInitiation).
    m_handshakeLength = m_channel
                            ? m_channel->BeginConnection(state == State::kConnectedAsInitiator,
                                                         m_handshake, sizeof m_handshake)
                            : 0;
}

void CTcpLink::SendInitiation() {
    if (m_handshakeLength <= 0) return;
    const int length = m_handshakeLength;
    m_handshakeLength = 0;
    SendAll(reinterpret_cast<const char*>(m_handshake), length, this);
}

// ---------------------------------------------------------------------------------------------
// Status (UI thread)

CTcpLink::Status CTcpLink::GetStatusCode() const {
    std::lock_guard lock(m_lock);
    return m_statusCode;
}

std::string CTcpLink::GetStatusText() const {
    const char* text;
    {
        std::lock_guard lock(m_lock);
        text = m_statusText;
    }
    return text;  // static storage: the copy is made outside the lock and is always whole
}

CTcpLink::State CTcpLink::GetState() const {
    std::lock_guard lock(m_lock);
    return m_state;
}

std::uint32_t CTcpLink::GetConnectionGeneration() const {
    std::lock_guard lock(m_lock);
    return m_generation;
}

// ---------------------------------------------------------------------------------------------
// The link's thread

unsigned CTcpLink::Run() {
    while (IsRunning()) {
        std::unique_lock lock(m_lock);
        switch (m_state) {
            case State::kIdle:
                m_statusCode = Status::kIdle;
                lock.unlock();
                Sleep(kIdlePause);
                break;
            case State::kOpenListener:
                if (OpenListener()) {
                    m_state = State::kAwaitPeer;
                } else {
                    m_statusCode = Status::kFailed;
                    lock.unlock();
                    Sleep(kIdlePause);
                }
                break;
            case State::kAwaitPeer:
                if (!PollAccept()) {
                    m_statusCode = Status::kBusy;
                    lock.unlock();
                    Sleep(kAcceptPause);
                }
                break;
            case State::kConnectedAsListener:
            case State::kConnectedAsInitiator:
                m_statusCode = Status::kConnected;
                lock.unlock();
                Sleep(m_passPause.load());
                KeepAliveTick();
                break;
            case State::kConnect: {
                lock.unlock();
                std::uint64_t epoch = 0;
                const Attempt attempt = ConnectToPeer(&epoch);
                if (attempt == Attempt::kConnected) SendInitiation();
                if (attempt != Attempt::kFailed) break;
                Sleep(kFailedAttemptPause);
                lock.lock();
                // Only if nobody reset, re-armed or recovered the link meanwhile: then the attempt
                // belongs to a course that has ended, and it neither counts nor moves the state.
                if (m_epoch == epoch && --m_retryCounter <= 0) {
                    m_countdown = kCountdownPasses;
                    m_retryCounter = kRetryAttempts;
                    m_state = State::kRetryWait;
                }
                break;
            }
            case State::kRetryWait:
                // The status code stays at the 1 of the failed attempt.
                SetStatusLocked(kRetryWaiting);
                if (--m_countdown <= 0) {
                    m_countdown = kCountdownPasses;
                    RecoverLocked();
                    m_retryCounter = kRetryAttempts;
                }
                lock.unlock();
                Sleep(m_passPause.load());
                break;
            default:
                Trace("Oops! we shouldn't be here");
                m_statusCode = Status::kFailed;
                lock.unlock();
                Sleep(kIdlePause);
                break;
        }
    }
    std::lock_guard lock(m_lock);
    CloseAllLocked();
    return 0;
}

void CTcpLink::KeepAliveTick() {
    std::shared_ptr<seal::CSealedChannel> channel = Channel();
    if (channel) {
        // Sealed: a connection without a usable session for too long (a stranger, another key)
        // is closed; a due handshake (a rekey, a retry) goes out now.
        std::shared_ptr<CLinkSocket> connection = CurrentConnection();
        seal::CSealedChannel::TickResult tick = channel->Tick(m_handshake, sizeof m_handshake);
        if (tick.close) {
            Trace("No authenticated peer on this connection - closing it\n");
            if (connection) RecoverIfCurrent(connection);
            return;
        }
        if (tick.length > 0) SendAll(reinterpret_cast<const char*>(m_handshake), tick.length, this);
    }
    std::shared_ptr<CLinkSocket> connection;
    {
        std::lock_guard lock(m_lock);
        // A Recover or Reset during the pause ended the connected state: nothing to keep alive.
        if (m_state != State::kConnectedAsListener && m_state != State::kConnectedAsInitiator)
            return;
        connection = m_connection;
    }
    // A peer that sends nothing at all, not even its keep-alives, has vanished.
    if (connection && m_watch.IsSilent(connection->Handle())) {
        Trace("Nothing from the peer for too long\n");
        RecoverIfCurrent(connection);
        return;
    }
    {
        std::lock_guard lock(m_lock);
        if (m_state != State::kConnectedAsListener && m_state != State::kConnectedAsInitiator)
            return;
        if (--m_countdown > 0) return;
        m_countdown = kCountdownPasses;
    }
    // Not examined: the reader or the forwarder finds a broken connection. If a record is being
    // sent right now the stream is not idle, so the keep-alive is simply left out.
    Turn turn = TryTurn();
    if (!turn) return;
    if (channel) {
        // A data message with no plaintext: one frame, sealed by the channel in place.
        seal::PutStreamHeader(m_handshake, seal::kDataOverhead);
        SealAndWrite(turn, m_handshake, seal::kStreamHeaderSize + seal::kDataOverhead, this);
    } else {
        WriteAll(turn.connection, kKeepAlive, sizeof kKeepAlive, this);
    }
}

bool CTcpLink::OpenListener() {
    if (m_listening != INVALID_SOCKET) {
        closesocket(m_listening);
        m_listening = INVALID_SOCKET;
        SetStatusLocked(kWrongStateToOpen);
        return false;
    }
    m_listening = NewTcpSocket();
    if (m_listening == INVALID_SOCKET) {
        SetStatusLocked(kCantCreateListening);
        return false;
    }
    Trace("Listening socket handle <%d>\n", m_listening);
    // Lets a listener that restarts bind while the previous connection on this port is still in
    // TIME_WAIT. On Linux it never lets two live listeners share the port.
    int reuse = 1;
    ::setsockopt(m_listening, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in address = MakeAddress(INADDR_ANY, m_port);
    int result = ::bind(m_listening, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    Trace("Bind To TCP port returned <%d>\n", result);
    if (result != 0) {
        SetStatusLocked(kFailedToBind);
    } else if (!platform::SetNonBlocking(m_listening, true)) {
        SetStatusLocked(kCouldntSetNonBlocking);
    } else if (::listen(m_listening, 1) != 0) {
        SetStatusLocked(kListenFailed);
    } else {
        return true;
    }
    closesocket(m_listening);
    m_listening = INVALID_SOCKET;
    return false;
}

bool CTcpLink::PollAccept() {
    // Non-blocking: returns at once, so it may run under the lock.
    SOCKET accepted = ::accept4(m_listening, nullptr, nullptr, SOCK_CLOEXEC);
    Trace("sock = %d\n", accepted);
    if (accepted == INVALID_SOCKET) return false;
    m_watch.Prepare(accepted);
    ConnectionUpLocked(std::make_shared<CLinkSocket>(accepted), State::kConnectedAsListener);
    return true;
}

CTcpLink::Attempt CTcpLink::ConnectToPeer(std::uint64_t* attemptEpoch) {
    std::shared_ptr<CLinkSocket> socket;
    sockaddr_in address;
    std::uint64_t epoch;
    {
        std::lock_guard lock(m_lock);
        if (m_state != State::kConnect) return Attempt::kAbandoned;
        epoch = *attemptEpoch = m_epoch;
        if (m_connection) {
            SetStatusLocked(kWrongStateToConnect);
            Detach(m_connection);
            m_statusCode = Status::kBusy;
            return Attempt::kFailed;
        }
        SOCKET handle = NewTcpSocket();
        if (handle == INVALID_SOCKET) {
            SetStatusLocked(kFailedToCreateConnect);
            m_statusCode = Status::kBusy;
            return Attempt::kFailed;
        }
        // Held in a field while the lock is let go, so that Recover and Reset can abort the
        // attempt (shutdown wakes a blocking connect) and no socket is ever left unreferenced.
        socket = std::make_shared<CLinkSocket>(handle);
        Detach(m_connecting);
        m_connecting = socket;
        address = MakeAddress(m_peerAddress, m_port);
    }
    Trace("Connecting\n");

    // Stores the outcome only if the attempt still belongs to the link's present course.
    auto fail = [&]() {
        std::lock_guard lock(m_lock);
        if (m_epoch != epoch || !IsRunning()) return Attempt::kAbandoned;
        Detach(m_connecting);
        SetStatusLocked(kFailedToConnect);
        m_statusCode = Status::kBusy;
        return Attempt::kFailed;
    };

    // Blocking: as long as the system's own attempt takes, unless Reset or Recover shut it down.
    int result =
        ::connect(socket->Handle(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (result != 0 && WSAGetLastError() != WSAEWOULDBLOCK) return fail();

    for (int wait = 0; wait < kWritableWaits; ++wait) {
        if (!IsRunning()) return Attempt::kAbandoned;
        {
            std::lock_guard lock(m_lock);
            if (m_epoch != epoch) return Attempt::kAbandoned;
        }
        int ready = platform::WaitWritable(socket->Handle(), kWaitMilliseconds);
        if (ready == SOCKET_ERROR) return fail();
        if (ready > 0) {
            std::lock_guard lock(m_lock);
            if (m_epoch != epoch) return Attempt::kAbandoned;
            m_connecting.reset();
            m_watch.Prepare(socket->Handle());
            ConnectionUpLocked(std::move(socket), State::kConnectedAsInitiator);
            return Attempt::kConnected;
        }
    }
    return fail();
}

// ---------------------------------------------------------------------------------------------
// Send, receive and wait (forwarder, injector and link threads)

int CTcpLink::WaitOnConnection(bool readable, SOCKET wake) {
    std::shared_ptr<CLinkSocket> connection = CurrentConnection();
    if (!connection) {
        if (readable) Trace("selectread on invalid socket.\n");
        if (wake == INVALID_SOCKET) {
            Sleep(kWaitMilliseconds);
        } else {
            platform::WaitReadableOrWoken(INVALID_SOCKET, wake, kWaitMilliseconds);
        }
        return 0;
    }
    int result = !readable ? platform::WaitWritable(connection->Handle(), kWaitMilliseconds)
                 : wake == INVALID_SOCKET
                     ? platform::WaitReadable(connection->Handle(), kWaitMilliseconds)
                     : platform::WaitReadableOrWoken(connection->Handle(), wake, kWaitMilliseconds);
    if (readable) Trace("selectread on good socket returned %d.\n", result);
    if (result == SOCKET_ERROR) {
        RecoverIfCurrent(connection);
        return 0;
    }
    return result;
}

bool CTcpLink::WaitReadable(SOCKET wake) {
    return WaitOnConnection(true, wake) != 0;
}

bool CTcpLink::WaitWritable() {
    return WaitOnConnection(false) != 0;
}

int CTcpLink::Receive(char* buffer, int length, std::uint32_t generation) {
    Trace("Read of %d bytes requested to %X\n", length,
          static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(buffer)));
    std::shared_ptr<CLinkSocket> connection;
    {
        std::lock_guard lock(m_lock);
        if (!m_connection) return 0;
        if (generation != 0 && generation != m_generation) return 0;
        connection = m_connection;
    }
    if (length <= 0) return 0;  // a zero-byte recv would read as the peer's close
    // Never blocks, whatever mode the socket is in.
    long received =
        ::recv(connection->Handle(), buffer, static_cast<std::size_t>(length), MSG_DONTWAIT);
    if (received > 0) return static_cast<int>(received);
    int error = WSAGetLastError();
    if (received < 0 && error == WSAEWOULDBLOCK) return 0;
    // The connection was shut down by Recover or Reset while we read: it is gone already, and a
    // second Recover would only tear down whatever the link has started since.
    if (!IsCurrent(connection)) return 0;
    if (received == 0) {
        RecoverIfCurrent(connection);
        Trace("return was 0 - (socket closed?]. WSAGetLastError = %d\n", error);
        return -1;
    }
    Trace("WSAGetLastError = %d\n", error);
    return -1;
}

int CTcpLink::SendAll(const char* buffer, int length, CWorkerThread* caller) {
    if (length <= 0) {
        StartSend();  // restarts the keep-alive count all the same
        return 0;
    }
    Turn turn = WaitForTurn(caller);
    if (!turn) return 0;
    return WriteAll(turn.connection, buffer, length, caller);
}

int CTcpLink::SendSealedFrames(std::uint8_t* frames, int size, CWorkerThread* caller) {
    if (size <= 0) return 0;
    Turn turn = WaitForTurn(caller);
    if (!turn) return 0;
    return SealAndWrite(turn, frames, size, caller);
}

void CTcpLink::RecoverConnection(std::uint32_t generation) {
    std::lock_guard lock(m_lock);
    if (m_generation == generation) RecoverLocked();
}

CTcpLink::Turn CTcpLink::StartSend() {
    Turn turn;
    std::lock_guard lock(m_lock);
    // Restarts the keep-alive count; never prolongs the retry wait, which shares the field.
    if (m_state != State::kRetryWait) m_countdown = kCountdownPasses;
    turn.connection = m_connection;
    turn.channel = m_channel;
    return turn;
}

CTcpLink::Turn CTcpLink::WaitForTurn(CWorkerThread* caller) {
    Turn turn = StartSend();
    if (!turn.connection) return Turn{};
    // One whole record at a time on the stream. Waiting for the turn is bounded in the same way
    // as waiting for the socket: a stop request or the loss of the connection ends it. Polled
    // rather than a timed lock (which ThreadSanitizer cannot follow here); the turn is usually
    // free, and a keep-alive holds it only for four bytes.
    turn.lock = std::unique_lock(m_sendLock, std::try_to_lock);
    while (!turn.lock.owns_lock()) {
        if ((caller != nullptr && !caller->IsRunning()) || !IsCurrent(turn.connection)) {
            return Turn{};
        }
        Sleep(kSendTurnPoll);
        turn.lock.try_lock();
    }
    return turn;
}

CTcpLink::Turn CTcpLink::TryTurn() {
    Turn turn = StartSend();
    if (!turn.connection) return Turn{};
    turn.lock = std::unique_lock(m_sendLock, std::try_to_lock);
    if (!turn.lock.owns_lock()) return Turn{};
    return turn;
}

int CTcpLink::SealAndWrite(Turn& turn, std::uint8_t* frames, int size, CWorkerThread* caller) {
    if (!turn.channel) return 0;
    seal::CSealedChannel& channel = *turn.channel;
    // Sealed while holding the turn: frames leave in counter order on this connection. Each
    // frame in place, in order; what follows a frame left unsealed is not sent.
    bool handshakeDue = false;
    int sealed = 0;
    while (sealed + seal::kStreamHeaderSize <= size) {
        std::uint8_t* frame = frames + sealed;
        const int message = seal::StreamMessageLength(frame);
        const int room = seal::kStreamHeaderSize + message;
        if (message < 0 || sealed + room > size) break;
        const seal::CSealedChannel::Sealed one = channel.Seal(
            frame + channel.PayloadOffset(), message - seal::kDataOverhead, frame, room);
        handshakeDue = handshakeDue || one.handshakeDue;
        if (one.length == 0) break;
        sealed += one.length;
    }
    if (handshakeDue) {
        std::uint8_t initiation[seal::CSealedChannel::kHandshakeRoom];
        const int initiationLength = channel.Initiate(initiation, sizeof initiation);
        if (initiationLength > 0 &&
            WriteAll(turn.connection, reinterpret_cast<const char*>(initiation), initiationLength,
                     caller) < 0) {
            return -1;
        }
    }
    if (sealed == 0) return 0;
    return WriteAll(turn.connection, reinterpret_cast<const char*>(frames), sealed, caller);
}

int CTcpLink::WriteAll(const std::shared_ptr<CLinkSocket>& connection, const char* buffer,
                       int length, CWorkerThread* caller) {
    auto keepGoing = [&]() {
        return (caller == nullptr || caller->IsRunning()) && IsCurrent(connection);
    };

    int total = 0;
    // The first pass sends at once: a socket with room takes the record without a readiness
    // wait (one system call per record instead of two). Every later pass, after a short or
    // refused send, waits for room as before, so a wait is still bounded by 250 ms and followed
    // by a look at the stop request.
    bool waitFirst = false;
    // A send that moves nothing for the stalled-send limit gives the connection up (Recover)
    // and reports what went out, so that no caller recovers it a second time.
    const auto stalledSend = std::chrono::milliseconds(m_watch.StalledSendMs());
    auto lastProgress = std::chrono::steady_clock::now();
    while (length > 0 && keepGoing()) {
        Trace("Doing WriteLoop\n");
        if (std::chrono::steady_clock::now() - lastProgress >= stalledSend) {
            Trace("A send made no progress for too long\n");
            RecoverIfCurrent(connection);
            break;
        }
        if (waitFirst) {
            int ready = platform::WaitWritable(connection->Handle(), kWaitMilliseconds);
            if (ready == SOCKET_ERROR) {
                RecoverIfCurrent(connection);
                continue;
            }
            if (ready == 0) continue;
        }
        waitFirst = true;
        long sent = ::send(connection->Handle(), buffer, static_cast<std::size_t>(length),
                           MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (WSAGetLastError() != WSAEWOULDBLOCK) {
                // Closed under us by Recover or Reset: report what went out, as for a socket that
                // became invalid, so that no one recovers the link a second time.
                if (!IsCurrent(connection)) break;
                return -1;
            }
            sent = 0;
        }
        if (sent > 0) lastProgress = std::chrono::steady_clock::now();
        total += static_cast<int>(sent);
        buffer += sent;
        length -= static_cast<int>(sent);
    }
    return total;
}
