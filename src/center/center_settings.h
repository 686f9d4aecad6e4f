// CenterSettings: what a center announces in its schedule and how it keeps its list and its
// connections. Every time is in milliseconds. Filled from the command line of parlon-center,
// or directly by tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

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
    // More entries than this would not fit in a reply a parlon accepts.
    size_t maxEntries = kMaxReplyEntries;

    // A connection must deliver its whole request (and take the reply) within this time.
    uint32_t requestDeadline = 10000;
    // Connections beyond this many open ones are closed at once.
    size_t maxConnections = 1024;

    // When not empty, every connection must come from one of these IPv4 addresses (network
    // order, as in PeerAddress) and begin with a PROXY protocol header naming the client.
    std::vector<uint32_t> proxies = {};
};

}  // namespace parlon
