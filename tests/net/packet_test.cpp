// Frames and center replies against hand-written bytes.
#include "net/packet.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/test_support.h"

namespace parlon {
namespace {

using Bytes = std::vector<uint8_t>;
using test::BytesOf;

TEST(PacketFrames, RegistrationAndSignOffCarryTheOwnEntryNotTheCenter) {
    RegistrationRecord record{test::MakeEntry(8888, "TwelveChars!", std::string(398, 'k')),
                              {ParseIpv4("10.1.2.3"), 7878}};
    const Bytes frame = BytesOf(Packet(Registration, record).Encode());
    ASSERT_EQ(frame.size(), 422u);
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 11),
              (Bytes{0xAA, 0x01, 0xEF, 0xAA, 0x33, 0x7F, 0x00, 0x00, 0x01, 0xB8, 0x22}));
    EXPECT_EQ(std::string(frame.begin() + 11, frame.begin() + 410), std::string(398, 'k') + '\0');
    // A 12-character nickname fills its field to the last byte, with no NUL.
    EXPECT_EQ(std::string(frame.end() - 12, frame.end()), "TwelveChars!");

    record.ownEntry.port = 7878;
    EXPECT_EQ(BytesOf(Packet(SignOff, record).Encode()),
              (Bytes{0xAA, 0x01, 0xEF, 0xAA, 0xFF, 0x7F, 0x00, 0x00, 0x01, 0xC6, 0x1E}));
}

const CenterSchedule kSent{3, 0x01020304, 500, 30000, 10000, 11000};

// What a reply reads as; its refusals are the center reply fuzz target's promises.
std::optional<std::vector<ParlonEntry>> Read(const ByteBuffer& reply) {
    std::vector<ParlonEntry> list;
    CenterSchedule schedule;
    if (!Packet(reply).ReadCenterReply(list, schedule)) {
        return std::nullopt;
    }
    EXPECT_EQ(schedule, kSent);
    return list;
}

TEST(CenterReplyTest, ReadsTheScheduleAndEveryEntryInOrder) {
    // Header, then hopCount, centerTime, pollPeriod, replyTime, registerPeriod, switchTime, count.
    const ByteBuffer empty = EncodeCenterReply(kSent, {});
    EXPECT_EQ(BytesOf(empty),
              (Bytes{0xAA, 0x01, 0xEF, 0xAA, 0x33, 0x03, 0x00, 0x00, 0x00, 0x04, 0x03,
                     0x02, 0x01, 0xF4, 0x01, 0x00, 0x00, 0x30, 0x75, 0x00, 0x00, 0x10,
                     0x27, 0x00, 0x00, 0xF8, 0x2A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Read(empty).value_or(std::vector<ParlonEntry>(1)).size(), 0u);

    const ParlonEntry a = test::MakeEntry(9001, "A", std::string(398, 'a'));
    const ParlonEntry b = test::MakeEntry(65535, "B", "b");
    // One byte long: the surplus is not an entry and is ignored. Repeated entries are kept.
    const auto listed = Read(ByteBuffer::Join(EncodeCenterReply(kSent, {a, b, a}), ByteBuffer(1)));
    ASSERT_TRUE(listed && listed->size() == 3);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(std::memcmp(&(*listed)[i], i == 1 ? &b : &a, sizeof a), 0) << i;
    }
}

}  // namespace
}  // namespace parlon
