// The center's handling of one connection's bytes: ReadCenterRequest, which the center runs on
// what its reads gather, on every length of the bytes as reads may deliver them; then the
// request applied to a registry as the center applies it, and the reply read back.
//
// Promises: a verdict on a prefix never contradicts one on a longer prefix (a refusal stays a
// refusal, a whole request followed by one more byte is refused, the frame's length does not
// change); a registered entry is listed, under its address, and comes back whole in the reply;
// a signed-off address is not listed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "center/center_registry.h"
#include "center/center_request.h"
#include "fuzz_check.h"
#include "net/packet.h"
#include "net/wire_format.h"

using parlon::CenterRequest;
using parlon::fuzz::FuzzCheck;
using Kind = parlon::CenterRequest::Kind;

namespace {

using Millis = parlon::CenterRegistry::Millis;

bool IsWhole(const CenterRequest& request) {
    return request.kind == Kind::Registration || request.kind == Kind::SignOff;
}

void CheckPrefixes(std::span<const uint8_t> bytes) {
    CenterRequest previous = parlon::ReadCenterRequest(bytes.first(0));
    FuzzCheck(previous.kind == Kind::Incomplete && previous.frameSize == 0,
              "no bytes are the start of any request");
    // One byte past the longest frame shows every verdict there is.
    const size_t longest = std::min(bytes.size(), parlon::kRegistrationFrameSize + 1);
    for (size_t length = 1; length <= longest; ++length) {
        const CenterRequest request = parlon::ReadCenterRequest(bytes.first(length));
        if (previous.kind == Kind::Refused || IsWhole(previous)) {
            FuzzCheck(request.kind == Kind::Refused, "more bytes after a verdict are refused");
        }
        if (previous.kind == Kind::Incomplete && previous.frameSize != 0) {
            FuzzCheck(request.frameSize == previous.frameSize, "the frame's length is fixed");
        }
        if (request.kind == Kind::Incomplete) {
            FuzzCheck(length < parlon::kFrameHeaderSize || request.frameSize > length,
                      "a request is incomplete only before its frame's end");
        }
        if (IsWhole(request)) {
            FuzzCheck(request.frameSize == length, "a request is whole at its frame's end");
        }
        FuzzCheck(request.kind != Kind::Refused || !request.reason.empty(), "a refusal says why");
        previous = request;
    }
}

parlon::ParlonEntry Listed(uint16_t port) {
    parlon::ParlonEntry entry;
    entry.ip = parlon::ParseIpv4("127.0.0.1");
    entry.port = port;
    entry.SetNickname("listed");
    entry.SetPublicKey("key");
    return entry;
}

bool IsListed(const parlon::CenterRegistry& registry, const parlon::PeerAddress& address) {
    const auto& entries = registry.Entries();
    return std::any_of(entries.begin(), entries.end(), [&](const parlon::ParlonEntry& entry) {
        return entry.Address() == address;
    });
}

void CheckRegistration(const parlon::ParlonEntry& entry, size_t capacity) {
    parlon::CenterRegistry registry(Millis(30000), capacity);
    registry.Register(Listed(7001), Millis(0));
    registry.Register(Listed(7002), Millis(0));
    const bool wasListed = IsListed(registry, entry.Address());
    const auto outcome = registry.Register(entry, Millis(10));
    FuzzCheck(registry.Size() <= capacity, "the list never outgrows its bound");
    if (outcome == parlon::CenterRegistry::Outcome::Full) {
        FuzzCheck(!wasListed && !IsListed(registry, entry.Address()),
                  "a full list stays as it was");
        return;
    }
    FuzzCheck(IsListed(registry, entry.Address()), "a registered parlon is listed");

    const parlon::CenterSchedule schedule{3, 10, 500, 30000, 10000, 10000};
    const parlon::Packet reply(parlon::EncodeCenterReply(schedule, registry.Entries()));
    std::vector<parlon::ParlonEntry> read;
    parlon::CenterSchedule readSchedule;
    FuzzCheck(reply.ReadCenterReply(read, readSchedule), "the reply reads back");
    FuzzCheck(readSchedule == schedule, "the reply carries the schedule");
    FuzzCheck(std::any_of(read.begin(), read.end(),
                          [&](const parlon::ParlonEntry& listed) {
                              return std::memcmp(&listed, &entry, sizeof entry) == 0;
                          }),
              "the reply carries the entry as it was registered");
}

void CheckSignOff(const parlon::PeerAddress& address) {
    parlon::CenterRegistry registry(Millis(30000), 4);
    registry.Register(Listed(7001), Millis(0));
    const bool wasListed = IsListed(registry, address);
    FuzzCheck(registry.SignOff(address) == wasListed, "only a listed parlon signs off");
    FuzzCheck(!IsListed(registry, address), "a signed-off parlon is not listed");
    FuzzCheck(registry.Size() == (wasListed ? 0u : 1u), "a sign-off removes only its entry");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);
    CheckPrefixes(bytes);

    // The center reads no further than its longest request.
    const CenterRequest request =
        parlon::ReadCenterRequest(bytes.first(std::min(size, parlon::kRegistrationFrameSize)));
    if (request.kind == Kind::Registration) {
        CheckRegistration(request.entry, 2);  // full unless it renews a listed parlon
        CheckRegistration(request.entry, 3);
    } else if (request.kind == Kind::SignOff) {
        CheckSignOff(request.address);
    }
    return 0;
}
