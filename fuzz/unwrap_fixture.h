// UnwrapFixture: the fixed little network of the Unwrap fuzz target and its seed maker. Three
// parlons on 127.0.0.1 ("Own", "Second", "Third"), each with a key pair made from a generator
// seeded with a fixed key, so that every run of the target and of the seed maker has the same
// keys, the same draws and so the same ids. Key generation is slow: make one fixture per process.
//
// The parlon under test is Own. Before each input it holds three route records: the sender's
// records of a message to Second and one to Third, and the relay record of a message from Second
// to Third that passed through it. Replies to all three, and messages for Own and through Own,
// are what the seed maker writes, so both the "F" and the "R" paths of Unwrap are reached.
//
// The fixture owns the list the contexts route over; it must outlive them.
//
// THREAD SAFETY: const members may be called from any thread once it is made.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "common/byte_buffer.h"
#include "common/wire_records.h"
#include "crypto/encryption_context.h"
#include "crypto/key_pair.h"

namespace parlon::fuzz {

class UnwrapFixture {
  public:
    // Rows of the list, and their count.
    enum Row : uint32_t { kOwn, kSecond, kThird, kParlonCount };

    // What Own sent while it made its records: its messages to Second and to Third, and the
    // message from Second that it passed on to Third.
    struct OwnTraffic {
        ByteBuffer toSecond;
        ByteBuffer toThird;
        ByteBuffer passedToThird;
    };

    UnwrapFixture();

    const std::vector<ParlonEntry>& Parlons() const noexcept { return m_parlons; }

    // The context of parlon `row` on its fixed key pair with a freshly seeded generator and
    // no records: the same draws every time. REQUIRES: row < kParlonCount.
    std::unique_ptr<EncryptionContext> Context(uint32_t row) const;

    // Own's context holding its three records, each made the same way every time; what it sent
    // while making them goes to `traffic` when given.
    std::unique_ptr<EncryptionContext> OwnWithRecords(OwnTraffic* traffic = nullptr) const;

    // The message that Second sent through Own to Third (an "F" packet for Own to open).
    const ByteBuffer& SecondToThirdThroughOwn() const noexcept { return m_throughOwn; }

    // `text` as a queued text field (its characters, a NUL, zero filler).
    static TextField Text(std::string_view text);

    // Where every packet comes from: all three parlons are on 127.0.0.1.
    static PeerAddress Source();

  private:
    std::vector<KeyPair> m_keys;
    std::vector<ParlonEntry> m_parlons;  // contexts point here: never resized after construction
    ByteBuffer m_throughOwn;
};

}  // namespace parlon::fuzz
