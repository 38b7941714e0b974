// A program's status socket in two calls: Open makes the board and the server for the site and
// launches the server's thread; Publish, from the owner's timer or loop, puts the engine's
// snapshot and the status sentence on the board. The dialog and the daemon use it alike.
// Owned by the program, beside its engine; every call on the owner's thread. The server's
// thread is stopped and joined (and the socket removed) by the destructor.
#pragma once

#include <memory>
#include <string>

#include "control/StatusBoard.h"
#include "control/StatusServer.h"

class CTunnelEngine;

class CStatusService {
  public:
    CStatusService() = default;
    ~CStatusService();
    CStatusService(const CStatusService&) = delete;
    CStatusService& operator=(const CStatusService&) = delete;

    // Serves <runtime folder>/<site>.sock (site: the working folder's name when empty). False,
    // with one line on standard error, when it cannot: the tunnel runs without it.
    bool Open(const std::string& site = std::string());
    // The engine's status with the sentence the operator sees; nothing before Open succeeded.
    void Publish(const CTunnelEngine& engine, const std::string& sentence);
    const std::string& Path() const;

  private:
    std::string m_site;
    CStatusBoard m_board;                     // declared before the server, which reads it
    std::unique_ptr<CStatusServer> m_server;  // only once opened
    TunnelStatus m_scratch;  // filled and swapped at every Publish, so it keeps its storage
};
