#include "engine/inject/SealedOpener.h"

CSealedOpener::CSealedOpener(seal::CSealedChannel& channel) : m_channel(channel) {}

seal::CSealedChannel::Received CSealedOpener::Open(std::uint8_t* message, int length,
                                                   std::uint8_t*& out) {
    const bool data = length > 0 && message[0] == seal::kTypeData;
    out = data ? message + seal::kDataHeaderSize : m_reply;
    const int capacity = data ? length - seal::kDataHeaderSize : static_cast<int>(sizeof m_reply);
    return m_channel.Receive(message, length, out, capacity);
}
