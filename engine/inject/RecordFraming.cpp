#include "engine/inject/RecordFraming.h"

#include "engine/inject/InjectionPath.h"
#include "engine/wire/WireFormat.h"
#include "platform/Trace.h"

CRecordFraming::CRecordFraming(int capacity, CInjectionPath& path)
    : m_records(capacity), m_path(path) {}

CStreamFraming::Unit CRecordFraming::Next() {
    CRecordStream::Packet packet;
    switch (m_records.Next(packet)) {
        case CRecordStream::Event::kNeedMore:
            return Unit::kNeedMore;
        case CRecordStream::Event::kKeepAlive:
            Trace("Keep Alive\n");
            return Unit::kTaken;
        case CRecordStream::Event::kBadLength:
            // Longer than the frame buffer can hold: no resynchronisation within a connection.
            return Unit::kBroken;
        case CRecordStream::Event::kPacket:
            break;
    }
    const CInjectionPath::Injected injected =
        m_path.Inject(packet.frame, wire::kEthernetHeaderSize + packet.length);
    // Out before the next record's header is written over this one's end.
    m_path.SendQueued();
    if (injected.resolved) Trace("Break here to check it.\n");  // the injection's trace line
    return Unit::kTaken;
}

void CRecordFraming::TraceReceive(int wanted, int result) {
    Trace("%d byte Read returned %d\n", wanted, result);
}
