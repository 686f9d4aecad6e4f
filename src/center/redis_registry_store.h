// RedisRegistryStore: the registry kept in a Redis server, so that several centers sharing it
// answer as one center. Every change (registration, sign-off, sweep of expired entries) is one
// Lua script run atomically in Redis, so two centers never half-apply a change, the list keeps
// the order of first registration anywhere, and an expired entry is dropped (and reported) by
// exactly one center.
//
// Each center keeps a copy of the listed entries as reply bytes. Every script returns the
// store's version counter, and the whole list only when the version differs from the one of
// this center's copy, so a reply never costs a second round trip and is as fresh as the
// registrant's own write; a center that serves no registration refreshes its copy with its
// next one.
//
// Times are those of the system's UTC clock in ms, the clock every center of a cluster reads
// (their hosts must keep it in step, e.g. with NTP): expiry and the announced switch moments
// agree across centers up to the skew between their clocks.
//
// While the store cannot be reached every change returns Unavailable and changes nothing; the
// store logs one line when it is lost and one when it is back, tries again at most every
// `retryAfter`, and so recovers by itself. Every command blocks the center's thread for at most
// `timeout`.
//
// THREAD SAFETY: none; the center's thread owns it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "center/center_log_sink.h"
#include "center/center_settings.h"
#include "center/redis_connection.h"
#include "center/registry_store.h"

namespace parlon {

// Where a store lives: "redis://HOST:PORT" or "redis://HOST:PORT/DB".
struct StoreAddress {
    std::string host;
    uint16_t port = 0;
    unsigned database = 0;
};

// The address in `text`, or nullopt when it is not of the form above (port 1 to 65535).
std::optional<StoreAddress> ParseStoreAddress(std::string_view text);
std::string StoreAddressText(const StoreAddress& address);

class RedisRegistryStore final : public RegistryStore {
  public:
    struct Options {
        StoreAddress address;
        // From the center's settings: expiry, list bound, and the words every reply announces
        // (the centers of one cluster must announce the same).
        CenterSettings settings;
        std::chrono::milliseconds timeout{500};
        std::chrono::milliseconds retryAfter{250};
    };

    // Connects at once when it can (and logs the line of a lost store when it cannot).
    RedisRegistryStore(Options options, CenterLogSink log);
    ~RedisRegistryStore() override;

    Millis Now() const override;
    Change Register(const ParlonEntry& entry, Millis now) override;
    Change SignOff(const PeerAddress& address) override;
    Change DropExpired(Millis now) override;
    std::optional<Millis> NextExpiry() const override { return m_nextExpiry; }
    const ByteBuffer& ListedBytes() const override { return m_listedBytes; }

    // Whether the last command reached the store.
    bool Reachable() const noexcept { return m_connection != nullptr; }

  private:
    // Runs the change script with `operation` and its arguments; Unavailable when the store
    // cannot be reached.
    Change Run(std::string_view operation, Millis now, std::string_view key,
               std::string_view entry);
    // Opens a connection and prepares it (database, script, settings check), unless the last
    // attempt was less than retryAfter ago. True when connected.
    bool Connect();
    void Lost(const std::string& reason);
    // Compares the words this center announces with the cluster's; logs a mismatch.
    void CheckSettings();

    const Options m_options;
    const CenterLogSink m_log;
    std::unique_ptr<RedisConnection> m_connection;
    std::string m_scriptSha;
    std::chrono::steady_clock::time_point m_nextAttempt{};
    bool m_lostReported = false;
    std::string m_version;  // of m_listedBytes; empty when none is known
    ByteBuffer m_listedBytes;
    std::optional<Millis> m_nextExpiry;
};

}  // namespace parlon
