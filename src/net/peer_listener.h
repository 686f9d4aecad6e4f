// PeerListener: accepts connections from other parlons on the own port, reads each frame to
// its end and pushes its payload, with the address of the connection's other end, onto a
// GuardedQueue, on a thread of its own.
//
// Connections are served concurrently, each with a first-byte deadline, a whole deadline and
// a size bound, up to a bound on their number in all and from one source address; a payload is
// pushed when its connection has closed, so payloads arrive in the order their connections
// completed. Frames shorter than the frame header or longer than kMaxPeerFrameSize are dropped.
// Accepting follows ConnectionAcceptor's rules: a shortage of descriptors or memory only pauses
// it, any other accept error ends the listener for good.
//
// The queue is not owned and must outlive the listener. After Stop() (or destruction) the
// listener never touches the queue again.
//
// THREAD SAFETY: Start/Stop/destruction from one owner thread; Failed()/FailureText() from any.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/wire_records.h"

namespace parlon {

class GuardedQueue;

// Declared outside PeerListener (and named there as PeerListener::Options) because GCC cannot
// use the member initialisers of a nested struct in a default argument of its enclosing class.
struct PeerListenerOptions {
    std::chrono::milliseconds connectionDeadline{10000};  // a whole incoming connection
    // A sender writes its frame as soon as it is connected: one that stays silent this long
    // gives its slot back.
    std::chrono::milliseconds firstByteDeadline{1000};
    // Connections read at the same time. One more is closed as soon as it is accepted, so a
    // crowd of silent or slow senders holds at most this many descriptors and frame buffers.
    size_t maxConnections = 256;
    // Connections from one source address read at the same time, so that one host cannot take
    // every slot: an eighth of them. An honest parlon opens one connection per frame and
    // closes it within milliseconds, so 32 parlons behind one NAT may all deliver at once.
    size_t maxConnectionsPerSource = 32;
};

class PeerListener {
  public:
    using Options = PeerListenerOptions;

    // Binds and listens on `own`'s port, then serves on a new thread. It binds `own`'s
    // address when that is one of this machine's, else every local address. Returns null and
    // sets `error` to a readable reason ("cannot listen on port N: ...") when the port cannot
    // be bound.
    static std::unique_ptr<PeerListener> Start(const PeerAddress& own, GuardedQueue& queue,
                                               std::string& error, Options options = {});

    // Stops accepting, ends the thread and joins it. Idempotent.
    virtual ~PeerListener() = default;
    virtual void Stop() = 0;

    virtual uint16_t Port() const noexcept = 0;
    // True once the listener has ended by itself (an accept failure); FailureText says why.
    virtual bool Failed() const noexcept = 0;
    virtual std::string FailureText() const = 0;

  protected:
    PeerListener() = default;
};

}  // namespace parlon
