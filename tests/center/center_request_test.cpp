// ReadCenterRequest, the center's reading of what one connection has delivered so far: whole
// requests of both kinds, then every way the bytes can fall short or be wrong.
#include "center/center_request.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "net/packet.h"
#include "net/wire_format.h"
#include "net_test_support.h"

namespace parlon {
namespace {

using Kind = CenterRequest::Kind;

class CenterRequestTest : public ::testing::Test {
  protected:
    static std::vector<uint8_t> Frame(PacketType type) {
        const ByteBuffer frame = Packet(type, RegistrationRecord{entry_, {}}).Encode();
        return {frame.Bytes().begin(), frame.Bytes().end()};
    }
    static CenterRequest Read(const std::vector<uint8_t>& bytes, size_t length) {
        return ReadCenterRequest(std::span(bytes).first(length));
    }

    static inline const ParlonEntry entry_ = test::MakeEntry(7001, "alice", "key of alice");
};

TEST_F(CenterRequestTest, AWholeRegistrationCarriesTheEntryAsSent) {
    const std::vector<uint8_t> frame = Frame(Registration);
    const CenterRequest request = Read(frame, frame.size());
    ASSERT_EQ(request.kind, Kind::Registration);
    EXPECT_EQ(request.frameSize, kRegistrationFrameSize);
    EXPECT_EQ(std::memcmp(&request.entry, &entry_, sizeof entry_), 0);
}

TEST_F(CenterRequestTest, AWholeSignOffCarriesTheAddress) {
    const std::vector<uint8_t> frame = Frame(SignOff);
    const CenterRequest request = Read(frame, frame.size());
    ASSERT_EQ(request.kind, Kind::SignOff);
    EXPECT_EQ(request.frameSize, kSignOffFrameSize);
    EXPECT_EQ(request.address, entry_.Address());
}

TEST_F(CenterRequestTest, NothingAndAPartialHeaderAskForTheHeader) {
    const std::vector<uint8_t> frame = Frame(Registration);
    for (size_t length = 0; length < kFrameHeaderSize; ++length) {
        const CenterRequest request = Read(frame, length);
        EXPECT_EQ(request.kind, Kind::Incomplete) << length;
        EXPECT_EQ(request.frameSize, 0u) << length;
    }
}

TEST_F(CenterRequestTest, EveryPrefixOfAFrameAsksForTheRestByItsLength) {
    for (const PacketType type : {Registration, SignOff}) {
        const std::vector<uint8_t> frame = Frame(type);
        for (size_t length = kFrameHeaderSize; length < frame.size(); ++length) {
            const CenterRequest request = Read(frame, length);
            EXPECT_EQ(request.kind, Kind::Incomplete) << type << " " << length;
            EXPECT_EQ(request.frameSize, frame.size()) << type << " " << length;
        }
    }
}

TEST_F(CenterRequestTest, AByteMoreThanTheFrameIsRefused) {
    for (const PacketType type : {Registration, SignOff}) {
        std::vector<uint8_t> frame = Frame(type);
        frame.push_back(0);
        const CenterRequest request = Read(frame, frame.size());
        EXPECT_EQ(request.kind, Kind::Refused) << type;
        EXPECT_EQ(request.reason, "more bytes than a frame of type " + std::to_string(frame[4]));
    }
}

TEST_F(CenterRequestTest, AWrongMagicIsRefusedAsSoonAsTheHeaderIsThere) {
    std::vector<uint8_t> frame = Frame(Registration);
    frame[3] ^= 0x01;
    EXPECT_EQ(Read(frame, kFrameHeaderSize - 1).kind, Kind::Incomplete);
    const CenterRequest request = Read(frame, kFrameHeaderSize);
    EXPECT_EQ(request.kind, Kind::Refused);
    EXPECT_EQ(request.reason, "not a frame (wrong magic)");
    EXPECT_EQ(Read(frame, frame.size()).kind, Kind::Refused);
}

TEST_F(CenterRequestTest, AnUnknownTypeIsRefusedByItsNumber) {
    std::vector<uint8_t> frame = Frame(Registration);
    frame[kFrameTypeOffset] = Registration + 1;
    const CenterRequest request = Read(frame, frame.size());
    EXPECT_EQ(request.kind, Kind::Refused);
    EXPECT_EQ(request.reason, "unknown frame type 52");
}

}  // namespace
}  // namespace parlon
