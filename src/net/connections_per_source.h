// ConnectionsPerSource: how many connections each source address has open, with a bound, so
// that one host cannot take every connection slot of a server.
//
// A connection takes a Slot when it is accepted and gives it back when the Slot is destroyed,
// however the connection ends. Pure bookkeeping: no sockets, no clock.
//
// The counter must outlive its Slots.
//
// THREAD SAFETY: none; the server's thread owns the counter and its Slots.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>

namespace parlon {

class ConnectionsPerSource {
  public:
    // One open connection from one source; gives its place back when destroyed.
    class Slot {
      public:
        Slot(Slot&& other) noexcept;
        Slot& operator=(Slot&& other) noexcept;
        Slot(const Slot&) = delete;
        Slot& operator=(const Slot&) = delete;
        ~Slot();

      private:
        friend class ConnectionsPerSource;
        Slot(ConnectionsPerSource& owner, uint32_t source) : m_owner(&owner), m_source(source) {}
        void Release() noexcept;

        ConnectionsPerSource* m_owner;  // null once moved from
        uint32_t m_source;
    };

    // REQUIRES: maxPerSource > 0.
    explicit ConnectionsPerSource(size_t maxPerSource);

    // A slot for one more connection from `source` (IPv4, network order), or nullopt when it
    // already holds maxPerSource.
    [[nodiscard]] std::optional<Slot> TryOpen(uint32_t source);

    size_t OpenFrom(uint32_t source) const;
    // Sources with at least one open connection.
    size_t SourceCount() const noexcept { return m_open.size(); }

  private:
    void Close(uint32_t source);

    size_t m_maxPerSource;
    std::unordered_map<uint32_t, size_t> m_open;  // only sources with open connections
};

}  // namespace parlon
