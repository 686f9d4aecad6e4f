// LostMessageWatch: the messages this parlon sent whose replies have not come back. A message
// whose reply has not come within its bound is reported lost, once; a reply that comes later is
// still shown as usual (the route record that reads it is kept), and nothing is ever resent, as
// a second copy could reach the addressee twice.
//
// A message is known by the first link of its path: the first hop and the id of its "F"
// packet. The reply to it is the one "R" packet that arrives from that hop with that id (the
// route table never gives one link two messages), so the watch matches a reply exactly, even
// among messages of the same text.
//
// The bound, from the moment the packet is handed over, by the schedule in force then:
//
//   ReplyBound = 2 * H * (D + P) + P + ceil(R / 1000 s) * 1000 + 1000 + M
//
//   H  the hop count the message was wrapped with: H links out, H links back;
//   D  the deadline of one delivery (TransportDeadlines::peerExchange, 10 s): a link that has
//      not delivered by then has failed;
//   P  the poll period: each receiver handles what arrived at its next tick (H out, H back),
//      and the addressee sends its reply at the tick after its countdown;
//   R  the reply time, counted down in one-second steps, and one step more for the timer's
//      phase;
//   M  kMarginMs, for the ticks' own work and for hops whose schedule differs a little.
//
// THREAD SAFETY: one thread (the session's).
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "common/byte_buffer.h"
#include "common/wire_records.h"
#include "crypto/message_link.h"

namespace parlon {

class LostMessageWatch {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kMarginMs{5000};

    // What the user is told of a lost message.
    struct Sent {
        std::string to;
        std::string text;
        uint64_t number = 0;  // the session's own number for the message
    };

    static std::chrono::milliseconds ReplyBound(const CenterSchedule& schedule, uint32_t hopCount,
                                                std::chrono::milliseconds deliveryDeadline);

    // Watches the message whose "F" packet `packet` was handed over to `firstHop`; it is lost
    // when no reply has settled it by `deadline`. A packet too short to be one is not watched.
    void Watch(const PeerAddress& firstHop, const ByteBuffer& packet, Sent sent,
               Clock::time_point deadline);

    // A reply to one of our messages came in as the "R" packet `packet`: its message is no
    // longer watched and is returned. A reply that matches nothing watched (already reported,
    // or not ours to watch) changes nothing and returns nullopt.
    std::optional<Sent> Settle(const ByteBuffer& packet);

    // Removes and returns the messages whose deadline is not after `now`, in the order they
    // were sent.
    std::vector<Sent> TakeOverdue(Clock::time_point now);
    // Removes and returns every message watched, in the order they were sent.
    std::vector<Sent> TakeAll();

    size_t Size() const noexcept { return m_watched.size(); }

  private:
    struct Watched {
        MessageLink firstLink;
        Clock::time_point deadline;
        Sent sent;
    };
    // In the order sent; deadlines mostly grow with it, and TakeOverdue looks at all.
    std::deque<Watched> m_watched;
};

}  // namespace parlon
