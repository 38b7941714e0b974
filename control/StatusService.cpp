#include "control/StatusService.h"

#include <unistd.h>

#include <cstdio>

#include "control/StatusProtocol.h"
#include "engine/TunnelEngine.h"

CStatusService::~CStatusService() {
    m_server.reset();  // joined before the board goes
}

bool CStatusService::Open(const std::string& site) {
    if (m_server) return true;
    m_site = site;
    if (m_site.empty()) {
        char folder[4096];
        m_site = control::SiteOfFolder(::getcwd(folder, sizeof folder) != nullptr ? folder : "");
    }
    m_site = control::SiteName(m_site);
    m_scratch.site = m_site;  // answered until the first Publish
    m_board.Publish(m_scratch);
    auto server = std::make_unique<CStatusServer>(m_site, m_board);
    if (!server->Open()) {
        std::fprintf(stderr, "Vantrell: no status socket: %s.\n", server->Problem().c_str());
        return false;
    }
    server->Launch();
    m_server = std::move(server);
    return true;
}

void CStatusService::Publish(const CTunnelEngine& engine, const std::string& sentence) {
    if (!m_server) return;
    engine.FillStatus(m_scratch);
    m_scratch.site = m_site;
    m_scratch.sentence = sentence;
    m_board.Publish(m_scratch);
}

const std::string& CStatusService::Path() const {
    static const std::string kNone;
    return m_server ? m_server->Path() : kNone;
}
