#include "center/center_request.h"

#include <cstring>

#include "net/wire_format.h"

namespace parlon {

CenterRequest ReadCenterRequest(std::span<const uint8_t> received) {
    CenterRequest request;
    if (received.size() < kFrameHeaderSize) {
        return request;
    }
    uint32_t magic = 0;
    std::memcpy(&magic, received.data(), sizeof magic);
    if (magic != kFrameMagic) {
        request.kind = CenterRequest::Kind::Refused;
        request.reason = "not a frame (wrong magic)";
        return request;
    }
    const uint8_t type = received[kFrameTypeOffset];
    if (type == Registration) {
        request.frameSize = kRegistrationFrameSize;
    } else if (type == static_cast<uint8_t>(SignOff)) {
        request.frameSize = kSignOffFrameSize;
    } else {
        request.kind = CenterRequest::Kind::Refused;
        request.reason = "unknown frame type " + std::to_string(type);
        return request;
    }
    if (received.size() > request.frameSize) {
        request.kind = CenterRequest::Kind::Refused;
        request.reason = "more bytes than a frame of type " + std::to_string(type);
    } else if (received.size() == request.frameSize) {
        const uint8_t* payload = received.data() + kFrameHeaderSize;
        if (type == Registration) {
            request.kind = CenterRequest::Kind::Registration;
            std::memcpy(&request.entry, payload, sizeof request.entry);
        } else {
            request.kind = CenterRequest::Kind::SignOff;
            std::memcpy(&request.address, payload, sizeof request.address);
        }
    }
    return request;
}

}  // namespace parlon
