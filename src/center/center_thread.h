// CenterThread: a real center running on a thread of its own inside this process, for tests
// (and tools) that need a center to register at. It listens on 127.0.0.1 by default, on a free
// port unless told otherwise:
//
//   std::string error;
//   auto center = CenterThread::Start(CenterSettings{}, error);   // null on failure, see error
//   CenterConnection link(ownEntry, center->Address());
//
// Owns its io_context, its CenterServer and the thread that runs them. The log sink is called
// on the center's thread.
//
// THREAD SAFETY: Start, Stop and destruction from one owner thread; Port/Address from any.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "center/center_log_sink.h"
#include "center/center_settings.h"
#include "center/registry_store.h"
#include "common/wire_records.h"

namespace parlon {

class CenterThread {
  public:
    // 127.0.0.1 with port 0: a free port on loopback.
    static PeerAddress LoopbackAnyPort();

    // Starts a center on `listenOn`, keeping its list in `store` (in memory when null). Returns
    // null and sets `error` to a readable reason when it cannot listen there.
    static std::unique_ptr<CenterThread> Start(const CenterSettings& settings, std::string& error,
                                               CenterLogSink log = StderrLogSink(),
                                               const PeerAddress& listenOn = LoopbackAnyPort(),
                                               std::unique_ptr<RegistryStore> store = nullptr);
    CenterThread(const CenterThread&) = delete;
    CenterThread& operator=(const CenterThread&) = delete;
    // Stops the center.
    ~CenterThread();

    // Closes every connection and the listening socket, ends the thread and joins it.
    // Idempotent. The registrations are lost.
    void Stop();

    uint16_t Port() const noexcept;
    // The address a parlon registers at: the listening address and the bound port.
    PeerAddress Address() const noexcept;

  private:
    struct Running;
    CenterThread(std::unique_ptr<Running> running, const PeerAddress& address);

    std::unique_ptr<Running> m_running;
    PeerAddress m_address;
};

}  // namespace parlon
