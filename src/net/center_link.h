// CenterLink: what the session needs of its transport: registering at the center, sending a
// packet to another parlon, and (in the destructor) signing off. CenterConnection is the real
// one; tests substitute fakes.
//
// THREAD SAFETY: one thread (the session's) uses a link.
#pragma once

#include <vector>

#include "common/byte_buffer.h"
#include "common/wire_records.h"

namespace parlon {

class CenterLink {
public:
    virtual ~CenterLink() = default;

    // One registration exchange. True when the center's reply was read into both; false (both
    // untouched) when the center could not be reached, failed mid-exchange, timed out or sent
    // a reply that is not valid.
    [[nodiscard]] virtual bool Register(std::vector<ParlonEntry>& parlons, CenterSchedule& schedule) = 0;

    // Delivers one packet to another parlon in a frame of its own, from the own entry's address
    // when it is one of this machine's (peers check packets against it). True when the frame
    // was written and the connection closed; false when that failed for any reason.
    virtual bool Send(const PeerAddress& destination, const ByteBuffer& packet) = 0;
};

}  // namespace parlon
