// How the TCP stream's bytes are cut into what it carries: unsealed records (CRecordFraming) or
// sealed frames (CSealedStreamFraming). The stream receiver fills the framing's buffer, one
// receive at a time, and takes its units one by one; the framing hands their packets to the
// injection path itself, in place.
// Owned by CTunnelToLan beside the stream receiver; the injector's thread only.
#pragma once

#include <cstdint>

class CStreamFraming {
  public:
    enum class Unit {
        kNeedMore,  // no whole unit is buffered: receive
        kTaken,     // one unit taken (injected, answered, dropped or a keep-alive)
        kBroken,    // the stream cannot go on: the connection must be recovered
    };

    virtual ~CStreamFraming() = default;

    virtual void Restart() = 0;  // drops everything buffered (a new connection)
    virtual Unit Next() = 0;
    // After the buffered units are taken and their frames sent, before the next receive.
    virtual void PrepareReceive() {}
    virtual std::uint8_t* Space() = 0;
    virtual int SpaceSize() const = 0;
    virtual void Commit(int received) = 0;
    // The outcome of one receive of `wanted` bytes, for the framing's trace line.
    virtual void TraceReceive(int /*wanted*/, int /*result*/) {}
};
