// Reading a center reply: Packet::ReadCenterReply of any bytes a center may send back. A reply
// that is read must be exactly what EncodeCenterReply writes for the schedule and list read
// (from the type byte on: the magic is not examined), followed by bytes that are ignored; a
// reply that is refused leaves both outputs untouched.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "net/packet.h"

using parlon::fuzz::FuzzCheck;

namespace {

// Marks the outputs, so that a refused reply can be seen to have left them alone.
const parlon::CenterSchedule kUntouchedSchedule{7, 7, 7, 7, 7, 7};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > parlon::kMaxCenterReplySize) {
        return -1;  // the center connection never reads more than this
    }
    const parlon::Packet reply(parlon::ByteBuffer(data, static_cast<uint32_t>(size)));
    std::vector<parlon::ParlonEntry> parlons(1);
    parlons[0].port = 7;
    parlon::CenterSchedule schedule = kUntouchedSchedule;

    if (!reply.ReadCenterReply(parlons, schedule)) {
        FuzzCheck(parlons.size() == 1 && parlons[0].port == 7, "a refused reply keeps the list");
        FuzzCheck(schedule == kUntouchedSchedule, "a refused reply keeps the schedule");
        return 0;
    }
    const parlon::ByteBuffer again =
        parlon::EncodeCenterReply(schedule, parlons, data[parlon::kFrameTypeOffset]);
    FuzzCheck(again.Length() <= size, "a reply read is no longer than the bytes it came from");
    FuzzCheck(std::memcmp(again.Data() + parlon::kFrameMagicSize, data + parlon::kFrameMagicSize,
                          again.Length() - parlon::kFrameMagicSize) == 0,
              "a reply read is what the center wrote, from the type byte on");
    return 0;
}
