// EncryptionContext::Unwrap of any bytes, as a parlon opens every packet that reaches it. The
// parlon is Own of UnwrapFixture: fixed key pair, seeded draws, three route records (its
// messages to Second and Third, and one it relayed from Second to Third). The seeds reach every
// outcome: a message for Own, a message to pass on, a reply to pass back, a reply for Own.
//
// Every input meets the same context: one that an input has changed (a record made or used) is
// rebuilt, equal to the first, before the next input. The outcome must be one that Unwrap
// promises, and a dropped packet must change nothing.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "crypto/message_format.h"
#include "fuzz_check.h"
#include "net/wire_format.h"
#include "unwrap_fixture.h"

using parlon::fuzz::FuzzCheck;
using parlon::fuzz::UnwrapFixture;
namespace mf = parlon::message_format;

namespace {

const UnwrapFixture& Fixture() {
    static const UnwrapFixture fixture;
    return fixture;
}

// Own's context as every input meets it; null after an input changed it.
std::unique_ptr<parlon::EncryptionContext>& Own() {
    static std::unique_ptr<parlon::EncryptionContext> own;
    return own;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    Own() = Fixture().OwnWithRecords();  // the key generation, before the first input
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > parlon::kMaxPeerFrameSize - parlon::kFrameHeaderSize) {
        return -1;  // no frame carries such a packet
    }
    std::unique_ptr<parlon::EncryptionContext>& own = Own();
    if (own == nullptr) {
        own = Fixture().OwnWithRecords();
    }
    const size_t recordsBefore = own->RouteCount();
    const parlon::ByteBuffer packet(data, static_cast<uint32_t>(size));
    parlon::PeerAddress nextHop;
    parlon::ReplyHandle message;
    const std::optional<parlon::ByteBuffer> result =
        own->Unwrap(packet, UnwrapFixture::Source(), nextHop, message);
    const uint32_t messageId = message.MessageId();

    if (!result) {
        FuzzCheck(own->RouteCount() == recordsBefore, "a dropped packet changes no record");
        FuzzCheck(nextHop.IsNone() && !message.NamesARecord(), "a dropped packet reports nothing");
        return 0;
    }
    const size_t recordsAfter = own->RouteCount();
    own.reset();  // its records changed: the next input meets a fresh one

    const uint8_t tag = data[mf::kTagOffset];
    FuzzCheck(tag == mf::kForwardTag || tag == mf::kReplyTag, "only F and R packets open");
    if (tag == mf::kForwardTag) {
        FuzzCheck(recordsAfter == recordsBefore + 1, "an opened message leaves a record");
        FuzzCheck(messageId == 0 || messageId == mf::LoadMessageId(data + mf::kForwardIdOffset),
                  "a message for us carries the id it came with");
        if (!nextHop.IsNone()) {
            FuzzCheck(messageId == 0, "a message to pass on names no id for us");
            FuzzCheck(result->Length() > mf::kForwardLayerOffset &&
                          (result->Length() - mf::kForwardLayerOffset) % mf::kBlockSize == 0 &&
                          result->Length() < size && result->Data()[0] == mf::kForwardTag,
                      "a message passed on is a thinner F packet");
        } else {
            FuzzCheck(message.NamesARecord() && messageId != 0, "a message for us names its id");
            FuzzCheck(result->Length() == parlon::kTextFieldSize, "a message for us is its text");
        }
        return 0;
    }
    FuzzCheck(recordsAfter + 1 == recordsBefore, "a reply uses up its record");
    FuzzCheck(!message.NamesARecord(), "a reply names no message record");
    if (!nextHop.IsNone()) {
        FuzzCheck(result->Length() == mf::kReplyPacketSize && result->Data()[0] == mf::kReplyTag,
                  "a reply passed back is an R packet");
        FuzzCheck(mf::LoadAddress(result->Data() + mf::kReplySenderOffset) ==
                      Fixture().Parlons()[UnwrapFixture::kOwn].Address(),
                  "a reply passed back names us as its sender");
    } else {
        FuzzCheck(result->Length() == mf::kReplyResultSize,
                  "a reply for us is our text and the reply");
    }
    return 0;
}
