// The unsealed TCP stream: records (CRecordStream), each packet injected where it landed and
// sent before the next record's header can be written over its end; keep-alives only traced.
// Owned by CTunnelToLan in unsealed TCP mode; the injector's thread only.
#pragma once

#include "engine/inject/RecordStream.h"
#include "engine/inject/StreamFraming.h"

class CInjectionPath;

class CRecordFraming : public CStreamFraming {
  public:
    // `capacity`: bytes one receive may bring. `path` is not owned and outlives the framing.
    CRecordFraming(int capacity, CInjectionPath& path);

    void Restart() override { m_records.Restart(); }
    Unit Next() override;
    std::uint8_t* Space() override { return m_records.Space(); }
    int SpaceSize() const override { return m_records.SpaceSize(); }
    void Commit(int received) override { m_records.Commit(received); }
    void TraceReceive(int wanted, int result) override;

  private:
    CRecordStream m_records;
    CInjectionPath& m_path;
};
