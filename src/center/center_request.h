// ReadCenterRequest: what the bytes that one connection has delivered so far say about its
// request to the center. A request is one Registration or SignOff frame, told apart by its type
// byte and taken by its fixed length, since a parlon keeps its side open until the reply.
//
// A pure function of the bytes: the server calls it on what each read has gathered, and the
// fuzz target calls it on any bytes at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "common/wire_records.h"

namespace parlon {

struct CenterRequest {
    enum class Kind {
        Incomplete,    // not a whole frame yet: read on up to frameSize (0: the header first)
        Registration,  // `entry` wants to be listed
        SignOff,       // `address` leaves the list
        Refused,       // the bytes cannot be (the start of) a request: `reason` says why
    };

    Kind kind = Kind::Incomplete;
    size_t frameSize = 0;  // the length of the whole frame, once its type is known
    ParlonEntry entry;     // Registration
    PeerAddress address;   // SignOff
    std::string reason;    // Refused
};

// Reads `received`, everything the connection has delivered so far: a request once its whole
// frame is there, Refused for a wrong magic, an unknown type or more bytes than the frame.
CenterRequest ReadCenterRequest(std::span<const uint8_t> received);

}  // namespace parlon
