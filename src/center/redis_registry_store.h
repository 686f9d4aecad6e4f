// RedisRegistryStore: the registry kept in a Redis server, so that several centers sharing it
// answer as one center. Every write (registration, sign-off, a batch of renewals with the sweep
// of expired entries) is one Lua script run atomically in Redis, so two centers never
// half-apply a change, the list keeps the order of first registration anywhere, and an expired
// entry is dropped (and reported) by exactly one center.
//
// Each center keeps a copy of the listed entries as reply bytes. Every script returns the
// store's version counter, and the whole list only when the version differs from the one of
// this center's copy, so a reply never costs a second round trip.
//
// Renewals are the bulk of a network's registrations and most change nothing but a time, so
// they are not written one by one. A registration whose entry the copy lists unchanged (same
// address, port, key and nickname) is answered from the copy at once, without a round trip,
// when the copy is fresh and the entry is far from expiring:
//   - fresh: the store confirmed the copy's version at most `batchInterval` ago;
//   - far from expiring: the earliest expiry in the store, as of that confirmation, is more
//     than `batchInterval + timeout` away, so no center can drop the entry before its renewal
//     is written (renewal times only grow, so every entry expires at that moment or later).
// Its renewal time is written later, together with every other one waiting, by DropExpired,
// which the center runs at NextDeferredWrite(): `batchInterval / 2` after the last
// confirmation, so within `batchInterval / 2` of the renewal (plus the script's own time). That
// batch also returns the version (and the list when it changed), which keeps the copy fresh
// while renewals keep coming. Any other registration, every sign-off and every registration
// while the copy is stale runs its script at once. So every reply lists the cluster as of at
// most `batchInterval` before it, and the registrant's own write is the only round trip a reply
// ever costs. A batched renewal of an entry that has meanwhile left the store adds it again at
// the end of the list, unless it was signed off after that renewal. `batchInterval` must stay
// far below the expiry time (with the defaults, 100 ms against 30 s); with an expiry time at or
// below `batchInterval + timeout` no renewal is ever answered from the copy.
//
// Times are those of the system's UTC clock in ms, the clock every center of a cluster reads
// (their hosts must keep it in step, e.g. with NTP): expiry and the announced switch moments
// agree across centers up to the skew between their clocks.
//
// While the store cannot be reached every change returns Unavailable and changes nothing; the
// store logs one line when it is lost and one when it is back, tries again at most every
// `retryAfter`, and so recovers by itself. A store that closed the connection is noticed before
// any renewal is answered from the copy; one that stopped answering, within `batchInterval`.
// Renewals waiting for their batch wait on through an outage and are written once it is back.
// Every command blocks the center's thread for at most `timeout`.
//
// Admission's queries (IsListed, CountAtIp, WouldChange, ListedCount) answer from the copy, so
// they do not cost a round trip: while registrations come, it is at most `batchInterval` (100 ms
// by default) older than the store. Two centers may thus each admit one more entry on an address
// at its bound within that moment; the bound is exceeded by at most one entry per center.
//
// THREAD SAFETY: none; the center's thread owns it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

#include "center/center_log_sink.h"
#include "center/center_settings.h"
#include "center/listed_index.h"
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
        // How old the copy of the list may be when a renewal is answered from it; see above.
        std::chrono::milliseconds batchInterval{100};
    };

    // Connects at once when it can (and logs the line of a lost store when it cannot).
    RedisRegistryStore(Options options, CenterLogSink log);
    ~RedisRegistryStore() override;

    Millis Now() const override;
    Change Register(const ParlonEntry& entry, Millis now) override;
    Change SignOff(const PeerAddress& address) override;
    Change DropExpired(Millis now) override;
    std::optional<Millis> NextExpiry() const override { return m_nextExpiry; }
    std::optional<Millis> NextDeferredWrite() const override;
    const ByteBuffer& ListedBytes() const override { return m_listedBytes; }
    bool IsListed(const PeerAddress& address) const override {
        return m_listedIndex.IsListed(address);
    }
    size_t CountAtIp(uint32_t ip) const override { return m_listedIndex.CountAtIp(ip); }
    bool WouldChange(const ParlonEntry& entry) const override;
    size_t ListedCount() const override { return m_listedIndex.Size(); }

    // Whether the last command reached the store.
    bool Reachable() const noexcept { return m_connection != nullptr; }

  private:
    // A renewal answered from the copy and not yet written.
    struct DeferredRenewal {
        ParlonEntry entry;
        Millis renewedAt;
    };

    // Whether a registration of `entry` at `now` may be answered from the copy: see the header
    // comment.
    bool MayAnswerFromCopy(const ParlonEntry& entry, Millis now);
    // Runs the change script with `operation` and its arguments; Unavailable when the store
    // cannot be reached.
    Change Run(std::string_view operation, Millis now, std::span<const std::string_view> arguments);
    // Keeps `list` (reply bytes) as the copy at `version`.
    void KeepCopy(std::string_view list, std::string_view version);
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
    ListedIndex m_listedIndex;            // of the entries in m_listedBytes
    std::optional<Millis> m_confirmedAt;  // when the store last confirmed m_version
    std::optional<Millis> m_nextExpiry;
    std::unordered_map<std::string, DeferredRenewal> m_deferred;  // by address key
};

}  // namespace parlon
