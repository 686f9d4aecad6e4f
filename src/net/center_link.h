// CenterLink: what the session needs of its transport: registering at the center, sending a
// packet to another parlon, and (in the destructor) signing off. None of these waits on the
// network: each exchange is handed over and runs elsewhere; the answer to a registration is
// fetched later. PooledCenterLink is the real one; tests substitute fakes.
//
// THREAD SAFETY: one thread (the session's) uses a link.
#pragma once

#include <chrono>
#include <optional>
#include <vector>

#include "common/byte_buffer.h"
#include "common/wire_records.h"

namespace parlon {

// How one registration exchange ended. When it was not accepted (the center could not be
// reached, failed mid-exchange, timed out or sent a reply that is not valid), the list and the
// schedule are empty and must not be used.
struct RegistrationOutcome {
    bool accepted = false;
    std::vector<ParlonEntry> parlons;
    CenterSchedule schedule;
};

class CenterLink {
public:
    // Hands the sign-off over; does not wait for it.
    virtual ~CenterLink() = default;

    // Starts one registration exchange. REQUIRES: no registration of this link in flight.
    virtual void StartRegistration() = 0;
    // The outcome of the registration in flight once it has ended, else nullopt. Every started
    // registration yields exactly one outcome, within its deadline.
    virtual std::optional<RegistrationOutcome> TakeRegistration() = 0;

    // Hands one packet over for delivery to another parlon in a frame of its own. A delivery
    // that fails is silent: the packet is lost.
    virtual void Send(const PeerAddress& destination, const ByteBuffer& packet) = 0;
    // How long after its hand-over a delivery may still succeed.
    virtual std::chrono::milliseconds DeliveryDeadline() const = 0;
};

}  // namespace parlon
