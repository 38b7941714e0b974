// Serves a tunnel end's status, read-only, on a Unix stream socket named after its site in the
// runtime folder (control::RuntimeFolder(), mode 0660): a client sends `get=1` and gets the
// snapshot last published on the board as key=value lines (docs/status-socket.md). Nothing a
// client sends can change the tunnel. A request is one line of at most 64 bytes that must
// arrive within a second of connecting; at most kMaxClients are served at once (a new one
// pushes out the oldest), so clients that send nothing, garbage or a flood, or hold the socket
// open, cost a bounded few descriptors and never reach the packet threads.
// Owned by the program that owns the engine (the dialog, the daemon): Open, then Launch, on the
// owner's thread; the server's own thread runs the poll loop (250 ms bound); RequestStop, Join
// and the destructor (which removes the socket file) on the owner's thread.
#pragma once

#include <chrono>
#include <string>

#include "control/StatusBoard.h"
#include "control/StatusProtocol.h"
#include "platform/WorkerThread.h"

class CStatusServer : public CWorkerThread {
  public:
    static constexpr int kMaxClients = 16;
    static constexpr std::chrono::milliseconds kClientTime{1000};

    // `board` is not owned and outlives the server.
    CStatusServer(const std::string& site, const CStatusBoard& board);
    ~CStatusServer() override;

    // Makes the folder (0700) when it is the user's, and listens on <folder>/<site>.sock, in
    // `folder` or else control::RuntimeFolder(). False, with the reason in Problem(), when there
    // is no runtime folder, the socket cannot be made, or another running end already answers
    // on that name (a socket left by an end that died is replaced).
    bool Open(const std::string& folder = std::string());
    const std::string& Path() const { return m_path; }
    const std::string& Problem() const { return m_problem; }

    unsigned Run() override;

  private:
    struct Client {
        int fd = -1;
        std::chrono::steady_clock::time_point deadline{};
        char request[control::kMaxRequest];
        int used = 0;
    };

    void AcceptAll();
    // Reads what the client sent; answers and closes it once a line is whole (or too long).
    void Serve(Client& client);
    void Answer(Client& client, const std::string& text);
    static void Drop(Client& client);
    void Close();

    std::string m_site;
    const CStatusBoard& m_board;  // not owned
    std::string m_path;           // set by Open; removed by the destructor
    std::string m_problem;
    int m_listener = -1;  // opened by Open, then the server's thread until Join
    // The server's thread only.
    Client m_clients[kMaxClients];
};
