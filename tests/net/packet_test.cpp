#include "net/packet.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace parlon {
namespace {

std::vector<uint8_t> BytesOf(const ByteBuffer& buffer) {
    return {buffer.Data(), buffer.Data() + buffer.Length()};
}

ParlonEntry MakeEntry(const char* ip, uint16_t port, const char* nickname, char keyFill) {
    ParlonEntry entry;
    entry.ip = ParseIpv4(ip);
    entry.port = port;
    entry.SetPublicKey(std::string(398, keyFill));
    entry.SetNickname(nickname);
    return entry;
}

RegistrationRecord MakeRecord() {
    RegistrationRecord record{};
    record.ownEntry = MakeEntry("127.0.0.1", 8888, "TwelveChars!", 'k');
    record.center = {ParseIpv4("10.1.2.3"), 7878};
    return record;
}

TEST(PacketFrames, RegistrationFrameCarriesTheWholeOwnEntry) {
    const RegistrationRecord record = MakeRecord();
    Packet packet(Registration, record);
    const std::vector<uint8_t> frame = BytesOf(packet.Encode());

    ASSERT_EQ(frame.size(), 422u);
    const std::vector<uint8_t> header = {0xAA, 0x01, 0xEF, 0xAA, 0x33, 0x7F,
                                         0x00, 0x00, 0x01, 0xB8, 0x22};
    EXPECT_EQ(std::vector<uint8_t>(frame.begin(), frame.begin() + 11), header);
    EXPECT_EQ(frame[11], 'k');
    EXPECT_EQ(frame[11 + 397], 'k');
    EXPECT_EQ(frame[11 + 398], 0);  // the key text's NUL
    // A 12-character nickname fills its field to the last byte, with no NUL.
    EXPECT_EQ(std::string(frame.end() - 12, frame.end()), "TwelveChars!");
    EXPECT_EQ(packet.Buffer(), ByteBuffer(frame.data(), 422));
}

TEST(PacketFrames, SignOffFrameCarriesTheOwnAddressNotTheCenters) {
    RegistrationRecord record = MakeRecord();
    record.ownEntry.port = 7878;
    Packet packet(SignOff, record);
    const std::vector<uint8_t> expected = {0xAA, 0x01, 0xEF, 0xAA, 0xFF, 0x7F,
                                           0x00, 0x00, 0x01, 0xC6, 0x1E};
    EXPECT_EQ(BytesOf(packet.Encode()), expected);
}

TEST(PacketFrames, OtherTypesFrameAnEmptyPayload) {
    Packet packet(static_cast<PacketType>(7), MakeRecord());
    const std::vector<uint8_t> expected = {0xAA, 0x01, 0xEF, 0xAA, 0x07};
    EXPECT_EQ(BytesOf(packet.Encode()), expected);
}

TEST(PacketFrames, EncodeThenDecodeGivesBackPayloadAndTypeLowByte) {
    const uint8_t payload[] = {'F', 1, 2, 3, 4, 5};
    Packet outgoing(ByteBuffer(payload, sizeof payload), 0x1234);
    Packet incoming(outgoing.Encode());
    const auto decoded = incoming.Decode();
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(*decoded, ByteBuffer(payload, sizeof payload));
    EXPECT_EQ(incoming.Type(), 0x34);
}

TEST(PacketFrames, DecodeTakesFramesByPositionAndRefusesShortOnes) {
    // Any magic is accepted: the payload is everything after the fifth byte.
    const uint8_t foreign[] = {1, 2, 3, 4, 9, 'R'};
    Packet packet{ByteBuffer(foreign, sizeof foreign)};
    const auto payload = packet.Decode();
    ASSERT_TRUE(payload.has_value());
    EXPECT_EQ(BytesOf(*payload), std::vector<uint8_t>{'R'});

    // A bare header decodes to an empty payload; anything shorter is not a frame.
    Packet header{ByteBuffer(foreign, 5)};
    ASSERT_TRUE(header.Decode().has_value());
    EXPECT_EQ(header.Buffer().Length(), 0u);
    for (uint32_t length = 0; length < 5; ++length) {
        Packet shortFrame{ByteBuffer(foreign, length)};
        EXPECT_FALSE(shortFrame.Decode().has_value()) << length;
        EXPECT_EQ(shortFrame.Buffer().Length(), length);
    }
}

class CenterReplyTest : public ::testing::Test {
  protected:
    const CenterSchedule schedule_{3, 1000, 500, 30000, 10000, 11000};
    const CenterSchedule untouchedSchedule_{9, 9, 9, 9, 9, 9};
    const std::vector<ParlonEntry> untouchedList_{MakeEntry("1.1.1.1", 1, "old", 'o')};
};

TEST_F(CenterReplyTest, ScheduleWordsSitAtTheirOffsets) {
    const std::vector<uint8_t> reply = BytesOf(EncodeCenterReply(schedule_, {}));
    ASSERT_EQ(reply.size(), 33u);
    uint32_t word = 0;
    std::memcpy(&word, &reply[5], 4);
    EXPECT_EQ(word, 3u);
    std::memcpy(&word, &reply[13], 4);
    EXPECT_EQ(word, 500u);
    std::memcpy(&word, &reply[25], 4);
    EXPECT_EQ(word, 11000u);
    std::memcpy(&word, &reply[29], 4);
    EXPECT_EQ(word, 0u);
}

TEST_F(CenterReplyTest, CountZeroEmptiesTheListAndStillReplacesTheSchedule) {
    std::vector<ParlonEntry> list = untouchedList_;
    CenterSchedule schedule = untouchedSchedule_;
    ASSERT_TRUE(Packet(EncodeCenterReply(schedule_, {})).ReadCenterReply(list, schedule));
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(schedule, schedule_);
}

TEST_F(CenterReplyTest, RepeatedEntriesAreKeptInTheOrderReceived) {
    const ParlonEntry a = MakeEntry("10.0.0.7", 9001, "A", 'a');
    const ParlonEntry b = MakeEntry("10.0.0.8", 65535, "B", 'b');
    std::vector<ParlonEntry> list;
    CenterSchedule schedule;
    ASSERT_TRUE(Packet(EncodeCenterReply(schedule_, {a, b, a})).ReadCenterReply(list, schedule));
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(std::memcmp(&list[0], &a, sizeof a), 0);
    EXPECT_EQ(std::memcmp(&list[1], &b, sizeof b), 0);
    EXPECT_EQ(std::memcmp(&list[2], &a, sizeof a), 0);
    EXPECT_EQ(uint16_t{list[1].port}, 65535);
    EXPECT_EQ(list[0].Address().IpText(), "10.0.0.7");
}

TEST_F(CenterReplyTest, TruncatedRepliesAreNotValidAndTouchNothing) {
    const ParlonEntry a = MakeEntry("10.0.0.7", 9001, "A", 'a');
    const ByteBuffer full = EncodeCenterReply(schedule_, {a, a});
    // Every length class: inside the header, inside the count, inside each entry, one short.
    for (uint32_t length :
         {0u, 4u, 5u, 28u, 29u, 32u, 33u, 33u + 416u, 33u + 417u, full.Length() - 1}) {
        std::vector<ParlonEntry> list = untouchedList_;
        CenterSchedule schedule = untouchedSchedule_;
        EXPECT_FALSE(Packet(ByteBuffer(full.Data(), length)).ReadCenterReply(list, schedule))
            << length;
        EXPECT_EQ(schedule, untouchedSchedule_) << length;
        ASSERT_EQ(list.size(), 1u) << length;
        EXPECT_EQ(std::memcmp(&list[0], &untouchedList_[0], sizeof(ParlonEntry)), 0) << length;
    }
    // One byte long: the surplus is not an entry and is ignored.
    std::vector<uint8_t> longer = BytesOf(full);
    longer.push_back(0x5A);
    std::vector<ParlonEntry> list;
    CenterSchedule schedule;
    EXPECT_TRUE(Packet(ByteBuffer(longer.data(), static_cast<uint32_t>(longer.size())))
                    .ReadCenterReply(list, schedule));
    EXPECT_EQ(list.size(), 2u);
}

TEST_F(CenterReplyTest, ACountBeyondTheReplyBoundIsNotValid) {
    std::vector<uint8_t> reply = BytesOf(EncodeCenterReply(schedule_, {}));
    const uint32_t hugeCount = 0xFFFFFFFF;
    std::memcpy(&reply[29], &hugeCount, 4);
    std::vector<ParlonEntry> list = untouchedList_;
    CenterSchedule schedule = untouchedSchedule_;
    EXPECT_FALSE(Packet(ByteBuffer(reply.data(), 33)).ReadCenterReply(list, schedule));
    EXPECT_EQ(list.size(), 1u);
    EXPECT_EQ(schedule, untouchedSchedule_);
}

}  // namespace
}  // namespace parlon
