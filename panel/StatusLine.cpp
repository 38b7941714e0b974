#include "panel/StatusLine.h"

#include <cstdio>

#include "engine/TunnelEngine.h"

namespace panel {
namespace {

// The sentence for a LAN card that is not capturing; empty while it is.
const char* CardSentence(CLanCard::State state) {
    switch (state) {
        case CLanCard::State::kUp:
            return "";
        case CLanCard::State::kLost:
            return "LAN card lost: waiting for it to return.";
        case CLanCard::State::kNoPrivileges:
            return "LAN card not opened: missing privileges.";
        case CLanCard::State::kNoSuchCard:
            return "LAN card not opened: no such card.";
        case CLanCard::State::kDown:
            return "LAN card not opened: the card is down.";
        case CLanCard::State::kNotOpened:
            break;
    }
    return "LAN card not opened: capture failed.";
}

}  // namespace

void CStatusLine::Log(const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
}

std::string CStatusLine::RunningSentence(CTunnelEngine& engine) {
    const std::string card = CardSentence(engine.GetCardState());
    std::string problem = engine.PollSealProblem();
    if (!card.empty()) return card;
    if (!problem.empty()) return problem;
    if (engine.GetSettings().mode == CTunnelEngine::Mode::kUdp) return engine.UdpStatus();
    CTcpLink& link = engine.Link();
    return link.GetStatusCode() != CTcpLink::Status::kConnected ? link.GetStatusText()
                                                                : std::string(kConnected);
}

bool CStatusLine::Set(const std::string& text) {
    if (text == m_text) return false;
    m_text = text;
    Log(text);
    m_notifier.Status(text);
    return true;
}

}  // namespace panel
