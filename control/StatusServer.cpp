#include "control/StatusServer.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "control/StatusProtocol.h"

namespace {

constexpr int kPollMs = 250;

bool MakeAddress(const std::string& path, sockaddr_un& address) {
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

}  // namespace

CStatusServer::CStatusServer(const std::string& site, const CStatusBoard& board)
    : CWorkerThread("status"), m_site(control::SiteName(site)), m_board(board) {}

CStatusServer::~CStatusServer() {
    RequestStop();
    Join();
    Close();
}

bool CStatusServer::Open(const std::string& folder) {
    Close();
    const std::string where = folder.empty() ? control::RuntimeFolder() : folder;
    if (where.empty()) {
        m_problem = "neither RUNTIME_DIRECTORY nor XDG_RUNTIME_DIR is set";
        return false;
    }
    ::mkdir(where.c_str(), 0700);  // XDG_RUNTIME_DIR/vantrell; a unit's folder exists already
    const std::string path = where + "/" + m_site + ".sock";
    sockaddr_un address;
    if (!MakeAddress(path, address)) {
        m_problem = path + ": the name is too long";
        return false;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        m_problem = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    int bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (bound != 0 && errno == EADDRINUSE) {
        // A running end answers there: its name is left alone. Nobody does: a dead end's file.
        // Not waiting: a listener whose queue is full (EAGAIN) is alive too.
        const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const bool alive =
            probe >= 0 &&
            (::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
             errno == EAGAIN);
        if (probe >= 0) ::close(probe);
        if (alive) {
            ::close(fd);
            m_problem = path + ": another tunnel end of this site answers there";
            return false;
        }
        ::unlink(path.c_str());
        bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    // Read and write for the owner and its group (connecting needs write permission).
    if (bound != 0 || ::chmod(path.c_str(), 0660) != 0 || ::listen(fd, 128) != 0) {
        m_problem = path + ": " + std::strerror(errno);
        if (bound == 0) ::unlink(path.c_str());
        ::close(fd);
        return false;
    }
    m_listener = fd;
    m_path = path;
    m_problem.clear();
    return true;
}

void CStatusServer::Close() {
    if (m_listener >= 0) ::close(m_listener);
    m_listener = -1;
    if (!m_path.empty()) ::unlink(m_path.c_str());
    m_path.clear();
    for (Client& client : m_clients) Drop(client);
}

unsigned CStatusServer::Run() {
    pollfd fds[kMaxClients + 1];
    while (IsRunning()) {
        if (m_listener < 0) {
            Sleep(kPollMs);
            continue;
        }
        int count = 0;
        fds[count++] = {m_listener, POLLIN, 0};
        int slots[kMaxClients];
        for (int i = 0; i < kMaxClients; ++i) {
            if (m_clients[i].fd < 0) continue;
            slots[count - 1] = i;
            fds[count++] = {m_clients[i].fd, POLLIN, 0};
        }
        if (::poll(fds, static_cast<nfds_t>(count), kPollMs) < 0 && errno != EINTR) {
            Sleep(kPollMs);  // never expected; keeps a failing poll from spinning
            continue;
        }
        for (int k = 1; k < count; ++k) {
            if (fds[k].revents != 0) Serve(m_clients[slots[k - 1]]);
        }
        const auto now = std::chrono::steady_clock::now();
        for (Client& client : m_clients) {
            if (client.fd >= 0 && now >= client.deadline) Drop(client);  // said nothing in time
        }
        if ((fds[0].revents & POLLIN) != 0) AcceptAll();
    }
    for (Client& client : m_clients) Drop(client);
    return 0;
}

void CStatusServer::AcceptAll() {
    for (;;) {
        const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) return;  // none left (or a transient failure: the next poll tries again)
        Client* slot = nullptr;
        for (Client& client : m_clients) {
            if (client.fd < 0) {
                slot = &client;
                break;
            }
            if (slot == nullptr || client.deadline < slot->deadline) slot = &client;
        }
        Drop(*slot);  // full: the oldest client makes room
        slot->fd = fd;
        slot->deadline = std::chrono::steady_clock::now() + kClientTime;
        slot->used = 0;
    }
}

void CStatusServer::Serve(Client& client) {
    const int room = static_cast<int>(sizeof client.request) - client.used;
    const ssize_t got = ::recv(client.fd, client.request + client.used,
                               static_cast<std::size_t>(room), MSG_DONTWAIT);
    if (got <= 0) {
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
        Drop(client);  // closed before a whole line
        return;
    }
    client.used += static_cast<int>(got);
    const void* newline = std::memchr(client.request, '\n', static_cast<std::size_t>(client.used));
    if (newline == nullptr) {
        if (client.used == static_cast<int>(sizeof client.request)) {
            Answer(client, "errno=22\n\n");  // a line longer than a request may be
        }
        return;
    }
    std::string line(client.request,
                     static_cast<std::size_t>(static_cast<const char*>(newline) - client.request));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    Answer(client, line == "get=1" ? control::FormatStatus(m_board.Read()) : "errno=22\n\n");
}

void CStatusServer::Answer(Client& client, const std::string& text) {
    // One non-blocking send: the answer is far below a Unix socket's buffer; what does not fit
    // for a client that never reads is its loss.
    [[maybe_unused]] const ssize_t sent =
        ::send(client.fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    Drop(client);
}

void CStatusServer::Drop(Client& client) {
    if (client.fd >= 0) ::close(client.fd);
    client.fd = -1;
    client.used = 0;
}
