// RegistryStore: where a center keeps its registrations. The center's request handling sees
// only this interface; MemoryRegistryStore keeps the list inside one center, RedisRegistryStore
// in a Redis server that several centers share, so that they answer as one.
//
// Every store keeps the list in the order of first registration, renews an entry in its place,
// drops an entry not renewed within the expiry time, and hands out the list as the bytes of a
// reply. It also owns the clock in which its times are kept (Now()), because centers sharing a
// store must agree on expiry and on the switch moments they announce.
//
// The queries of RegistryView (and WouldChange, ListedCount) answer from what this center knows
// of the list: exactly for a store in memory, from a copy at most a moment old for a shared one,
// so admission works whatever keeps the list.
//
// THREAD SAFETY: none; the center's thread owns its store.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "center/registration_admission.h"
#include "common/byte_buffer.h"
#include "common/wire_records.h"

namespace parlon {

class RegistryStore : public RegistryView {
  public:
    using Millis = std::chrono::milliseconds;

    enum class Outcome {
        Added,        // a new entry at the end of the list
        Renewed,      // an entry with this address and port was replaced in its place
        Full,         // new, but the list already holds its maximum: nothing changed
        NotListed,    // a sign-off of an address that is not registered
        SignedOff,    // the entry with this address and port was removed
        Swept,        // the expired entries were dropped
        Unavailable,  // the store cannot be reached: nothing changed
    };

    // The result of one change. `expired` holds the entries dropped because their time was up
    // (each is reported by exactly one of the centers sharing a store); `listed` is the size of
    // the list afterwards.
    struct Change {
        Outcome outcome = Outcome::Unavailable;
        std::vector<ParlonEntry> expired;
        size_t listed = 0;
    };

    virtual ~RegistryStore() = default;

    // The store's clock, ms. Every `now` handed to the store is a reading of it.
    virtual Millis Now() const = 0;

    // Drops what has expired by `now`, then adds `entry` or renews the entry with its address
    // and port in its place (new key, new nickname). Outcome: Added, Renewed, Full, Unavailable.
    virtual Change Register(const ParlonEntry& entry, Millis now) = 0;

    // Removes the entry with this address and port. Outcome: SignedOff, NotListed, Unavailable.
    virtual Change SignOff(const PeerAddress& address) = 0;

    // Writes the renewals the store has put off, if any, then drops every entry last renewed
    // `expire` or longer before `now`. Outcome: Swept or Unavailable (nothing is lost: the
    // renewals put off wait for the next call).
    virtual Change DropExpired(Millis now) = 0;

    // When the next entry expires as far as this center knows, or nullopt when it knows none.
    virtual std::optional<Millis> NextExpiry() const = 0;

    // When DropExpired must next run to write the renewals put off, or nullopt when none wait.
    // A store may answer a renewal from what it knows and write it later in one batch with
    // others; one that never does so keeps the default.
    virtual std::optional<Millis> NextDeferredWrite() const { return std::nullopt; }

    // The listed entries as the bytes of a reply (417 bytes each, in list order), as of the
    // last change this center made or learned of. The buffer is shared, never changed in place.
    virtual const ByteBuffer& ListedBytes() const = 0;

    // Whether Register(entry) would change the listed bytes: a new entry, or a listed one with
    // another key or nickname.
    virtual bool WouldChange(const ParlonEntry& entry) const = 0;
    // How many entries are listed.
    virtual size_t ListedCount() const = 0;
};

}  // namespace parlon
