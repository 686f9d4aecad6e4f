// CenterSettings: what a center announces in its schedule and how it keeps its list and its
// connections. Every time is in milliseconds. Filled from the command line of parlon-center,
// or directly by tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "center/registration_admission.h"
#include "net/wire_format.h"

namespace parlon {

struct CenterSettings {
    // Announced in every reply.
    uint32_t hopCount = 3;
    uint32_t pollPeriod = 500;
    uint32_t replyTime = 30000;
    uint32_t registerPeriod = 10000;
    // Every parlon switches to a new list at each multiple of this period of the center's clock.
    uint32_t switchPeriod = 10000;

    // An entry not renewed for this long is dropped.
    uint32_t expire = 3 * 10000;
    // New entries beyond this many are refused. A reply then takes 33 + 417 x 1000 = 417,033
    // bytes, and a center whose parlons renew every 10 s sends 1000^2 x 417 / 10 s, about
    // 42 MB/s: beyond that its link, not its memory, is what runs out.
    size_t maxEntries = 1000;
    // Who may register what (address, key, entries per address).
    AdmissionOptions admission = {};
    // List changes (a new entry, a new key or nickname) from one source address: up to
    // admission.maxPerAddress at once, refilled at this rate. A parlon changes its entry once
    // per Connect; renewals change nothing and are never limited.
    uint32_t changesPerMinute = 60;
    // Bytes of list encodings that replies not yet written may keep alive; a registration that
    // would need more is refused and changes nothing. 64 MiB hold 160 lists of the default
    // bound, each held at most for one request deadline by its slowest reader.
    size_t maxHeldReplyBytes = size_t{64} << 20;

    // A connection must deliver its first byte within this time, and its whole request (and
    // take the reply) within requestDeadline. An honest parlon writes its request at once.
    uint32_t firstByteDeadline = 1000;
    uint32_t requestDeadline = 10000;
    // Connections beyond this many open ones are closed at once.
    size_t maxConnections = 1024;
    // Connections from one source address beyond this many are closed at once, so one host
    // cannot take every slot: as many as the entries one address may hold, so that every
    // parlon behind one NAT can register at the same moment.
    size_t maxConnectionsPerSource = 64;

    // When not empty, every connection must come from one of these IPv4 addresses (network
    // order, as in PeerAddress) and begin with a PROXY protocol header naming the client.
    std::vector<uint32_t> proxies = {};
};

}  // namespace parlon
