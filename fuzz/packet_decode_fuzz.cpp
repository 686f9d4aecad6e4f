// Unframing a received frame: Packet::Decode of any bytes a peer may send. A frame shorter than
// the header is not valid; any other yields exactly the bytes after the header, and the type
// from the byte before them.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz_check.h"
#include "net/packet.h"

using parlon::fuzz::FuzzCheck;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > parlon::kMaxPeerFrameSize) {
        return -1;  // the listener never reads more than this: not an input a parlon sees
    }
    const parlon::ByteBuffer frame(data, static_cast<uint32_t>(size));
    parlon::Packet packet(frame);
    const std::optional<parlon::ByteBuffer> payload = packet.Decode();
    if (size < parlon::kFrameHeaderSize) {
        FuzzCheck(!payload, "a frame shorter than its header is not valid");
        FuzzCheck(packet.Buffer() == frame, "a refused frame leaves the packet as it was");
        return 0;
    }
    FuzzCheck(payload.has_value(), "a frame with a whole header is unframed");
    FuzzCheck(payload->Length() == size - parlon::kFrameHeaderSize, "the payload is the rest");
    FuzzCheck(
        payload->Length() == 0 ||
            std::memcmp(payload->Data(), data + parlon::kFrameHeaderSize, payload->Length()) == 0,
        "the payload holds the bytes after the header");
    FuzzCheck(packet.Type() == data[parlon::kFrameTypeOffset], "the type is the header's byte");
    FuzzCheck(packet.Buffer() == *payload, "the packet then holds the payload");
    FuzzCheck(frame.Length() == size, "the received frame is not changed");
    return 0;
}
