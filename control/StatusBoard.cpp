#include "control/StatusBoard.h"

#include <utility>

void CStatusBoard::Publish(TunnelStatus& status) {
    std::lock_guard lock(m_mutex);
    std::swap(m_status, status);
}

TunnelStatus CStatusBoard::Read() const {
    std::lock_guard lock(m_mutex);
    return m_status;
}
