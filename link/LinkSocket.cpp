#include "link/LinkSocket.h"

CLinkSocket::~CLinkSocket() {
    closesocket(m_handle);
}

void CLinkSocket::Shutdown() const {
    ::shutdown(m_handle, SHUT_RDWR);
}
