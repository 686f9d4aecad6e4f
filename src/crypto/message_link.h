// MessageLink: one link of a message's path, as the parlon that sent the message on knows it:
// the hop it went to and the id it carried there. Its reply comes back from that hop with that
// id. A plain value.
#pragma once

#include <cstdint>

#include "common/wire_records.h"

namespace parlon {

struct MessageLink {
    PeerAddress to;
    uint32_t msgId = 0;
    friend bool operator==(const MessageLink&, const MessageLink&) = default;
};

}  // namespace parlon
