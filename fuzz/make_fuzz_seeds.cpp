// make_fuzz_seeds DIRECTORY: writes the seed corpus of every fuzz target, one folder per target
// (DIRECTORY/packet_decode_fuzz/..., and so on), each seed a file named after what it is. The
// seeds are the inputs a parlon or a center meets in a normal run, and a few of each way they
// can be wrong; the fuzzer takes it from there. The output is the same on every run, so the
// committed corpus can be made again and compared (scripts/fuzz --make-seeds).
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/byte_buffer.h"
#include "common/wire_records.h"
#include "net/packet.h"
#include "net/wire_format.h"
#include "unwrap_fixture.h"

namespace parlon::fuzz {
namespace {

namespace fs = std::filesystem;

class SeedWriter {
  public:
    SeedWriter(const fs::path& root, std::string_view target) : m_folder(root / target) {
        fs::create_directories(m_folder);
    }

    void Write(std::string_view name, std::span<const uint8_t> bytes) const {
        std::ofstream file(m_folder / name, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        if (!file) {
            throw std::runtime_error("cannot write " + (m_folder / name).string());
        }
    }
    void Write(std::string_view name, const ByteBuffer& bytes) const { Write(name, bytes.Bytes()); }
    void Write(std::string_view name, std::string_view text) const {
        Write(name, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    }

  private:
    fs::path m_folder;
};

std::vector<uint8_t> BytesOf(const ByteBuffer& buffer) {
    return {buffer.Bytes().begin(), buffer.Bytes().end()};
}

ParlonEntry Entry(uint16_t port, std::string_view nickname) {
    ParlonEntry entry;
    entry.ip = ParseIpv4("127.0.0.1");
    entry.port = port;
    entry.SetNickname(nickname);
    entry.SetPublicKey(std::string(398, 'K'));
    return entry;
}

std::vector<uint8_t> RegistrationFrame() {
    return BytesOf(Packet(Registration, RegistrationRecord{Entry(7001, "Alice"), {}}).Encode());
}

std::vector<uint8_t> SignOffFrame() {
    return BytesOf(Packet(SignOff, RegistrationRecord{Entry(7001, "Alice"), {}}).Encode());
}

void WritePacketDecodeSeeds(const fs::path& root) {
    const SeedWriter seeds(root, "packet_decode_fuzz");
    seeds.Write("registration-frame", RegistrationFrame());
    seeds.Write("signoff-frame", SignOffFrame());
    seeds.Write("header-only", Packet(ByteBuffer(), 70).Encode());
    std::vector<uint8_t> shortFrame = SignOffFrame();
    shortFrame.resize(kFrameHeaderSize - 1);
    seeds.Write("one-byte-short-of-a-header", shortFrame);
}

void WriteCenterReplySeeds(const fs::path& root) {
    const SeedWriter seeds(root, "center_reply_fuzz");
    const CenterSchedule schedule{3, 1000, 500, 30000, 10000, 10000};
    const std::vector<ParlonEntry> two = {Entry(7001, "Alice"), Entry(7002, "Bob")};
    seeds.Write("no-entries", EncodeCenterReply(schedule, {}));
    seeds.Write("two-entries", EncodeCenterReply(schedule, two));
    std::vector<uint8_t> shortReply = BytesOf(EncodeCenterReply(schedule, two));
    shortReply.pop_back();
    seeds.Write("two-entries-one-byte-short", shortReply);
    std::vector<uint8_t> longReply = BytesOf(EncodeCenterReply(schedule, two));
    longReply.push_back(0);
    seeds.Write("two-entries-one-byte-long", longReply);
    std::vector<uint8_t> header = BytesOf(EncodeCenterReply(schedule, {}));
    header.pop_back();
    seeds.Write("header-one-byte-short", header);
}

void WriteUnwrapSeeds(const fs::path& root) {
    const SeedWriter seeds(root, "unwrap_fuzz");
    const UnwrapFixture fixture;
    UnwrapFixture::OwnTraffic traffic;
    fixture.OwnWithRecords(&traffic);

    // Messages that Own opens: one for itself, one to pass on.
    std::unique_ptr<EncryptionContext> third = fixture.Context(UnwrapFixture::kThird);
    PeerAddress firstHop;
    const std::optional<ByteBuffer> forOwn =
        third->WrapMessage(UnwrapFixture::Text("from Third to Own"), UnwrapFixture::kOwn, firstHop);
    seeds.Write("message-for-own", forOwn.value());
    seeds.Write("message-through-own", fixture.SecondToThirdThroughOwn());

    // Replies to Own's records: the addressees answer what Own sent them.
    auto answer = [&](uint32_t row, const ByteBuffer& message, std::string_view text) {
        std::unique_ptr<EncryptionContext> addressee = fixture.Context(row);
        PeerAddress nextHop;
        ReplyHandle handle;
        const std::optional<ByteBuffer> opened =
            addressee->Unwrap(message, UnwrapFixture::Source(), nextHop, handle);
        if (!opened || !handle.NamesARecord()) {
            throw std::logic_error("an addressee of the fixture could not open its message");
        }
        PeerAddress previousHop;
        return addressee->WrapReply(UnwrapFixture::Text(text), handle, previousHop).value();
    };
    const ByteBuffer replyForOwn = answer(UnwrapFixture::kSecond, traffic.toSecond, "Second here");
    const ByteBuffer replyThroughOwn =
        answer(UnwrapFixture::kThird, traffic.passedToThird, "Third here");
    seeds.Write("reply-for-own", replyForOwn);
    seeds.Write("reply-through-own", replyThroughOwn);

    // Each seed must reach its outcome in the context the fuzz target starts every input with.
    enum class Outcome { ForUs, PassOn, Dropped };
    auto expect = [&](const ByteBuffer& packet, Outcome expected, std::string_view what) {
        std::unique_ptr<EncryptionContext> own = fixture.OwnWithRecords();
        PeerAddress nextHop;
        ReplyHandle message;
        const std::optional<ByteBuffer> result =
            own->Unwrap(packet, UnwrapFixture::Source(), nextHop, message);
        const Outcome outcome = !result            ? Outcome::Dropped
                                : nextHop.IsNone() ? Outcome::ForUs
                                                   : Outcome::PassOn;
        if (outcome != expected) {
            throw std::logic_error("the seed " + std::string(what) + " misses its outcome");
        }
    };
    expect(*forOwn, Outcome::ForUs, "message-for-own");
    expect(fixture.SecondToThirdThroughOwn(), Outcome::PassOn, "message-through-own");
    expect(replyForOwn, Outcome::ForUs, "reply-for-own");
    expect(replyThroughOwn, Outcome::PassOn, "reply-through-own");

    // Dropped before any decryption.
    std::vector<uint8_t> cut = BytesOf(*forOwn);
    cut.pop_back();
    seeds.Write("message-one-byte-short", cut);
    std::vector<uint8_t> unknown = BytesOf(*forOwn);
    unknown[0] = 'X';
    seeds.Write("unknown-tag", unknown);
}

void WriteSettingsSeeds(const fs::path& root) {
    const SeedWriter seeds(root, "settings_fuzz");
    seeds.Write("parlon-ini",
                "[Client Params]\n"
                "Port Num=8888\n"
                "IP Address=127.0.0.1\n"
                "Nickname=Insert Nick\n"
                "\n"
                "[Server Params]\n"
                "Port Num=7878\n"
                "IP Address=127.0.0.1\n");
    seeds.Write("quoted-crlf-comments",
                "; the settings of a parlon\r\n"
                "[ client params ]\r\n"
                "nickname = \"A quoted nick\"\r\n"
                "port num = -65535\r\n"
                "# a comment\r\n"
                "Port Num=1\r\n"
                "[Server Params\r\n"
                "IP Address='10.0.0.1'\r\n");
    seeds.Write("no-section", "Nickname=nobody\n=\n[]\n[Client Params]x\nPort Num=\n");
}

void WriteCenterRequestSeeds(const fs::path& root) {
    const SeedWriter seeds(root, "center_request_fuzz");
    seeds.Write("registration", RegistrationFrame());
    seeds.Write("signoff", SignOffFrame());
    std::vector<uint8_t> shortRegistration = RegistrationFrame();
    shortRegistration.pop_back();
    seeds.Write("registration-one-byte-short", shortRegistration);
    std::vector<uint8_t> longSignOff = SignOffFrame();
    longSignOff.push_back(0);
    seeds.Write("signoff-one-byte-long", longSignOff);
    std::vector<uint8_t> wrongMagic = RegistrationFrame();
    wrongMagic[0] ^= 0xFF;
    seeds.Write("wrong-magic", wrongMagic);
    std::vector<uint8_t> unknownType = SignOffFrame();
    unknownType[kFrameTypeOffset] = 52;
    seeds.Write("unknown-type", unknownType);
}

void WriteCommandParserSeeds(const fs::path& root) {
    const SeedWriter seeds(root, "command_parser_fuzz");
    seeds.Write("send", "send 3 Hello D, this is A");
    seeds.Write("reply", "reply 4082 Hello D here, got it");
    seeds.Write("send-utf8-crlf", "send 0 \xc3\xa9t\xc3\xa9 \xe2\x82\xac\r");
    seeds.Write("list", "list");
    seeds.Write("quit-with-blanks", " \tquit \t");
    seeds.Write("connect", "connect");
    seeds.Write("disconnect", "disconnect now");
    seeds.Write("reply-id-too-large", "reply 4294967296 x");
    seeds.Write("send-text-too-long", "send 1 " + std::string(111, 'x'));
}

}  // namespace
}  // namespace parlon::fuzz

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    try {
        const std::filesystem::path root = argv[1];
        parlon::fuzz::WritePacketDecodeSeeds(root);
        parlon::fuzz::WriteCenterReplySeeds(root);
        parlon::fuzz::WriteUnwrapSeeds(root);
        parlon::fuzz::WriteSettingsSeeds(root);
        parlon::fuzz::WriteCenterRequestSeeds(root);
        parlon::fuzz::WriteCommandParserSeeds(root);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "make_fuzz_seeds: %s\n", error.what());
        return 1;
    }
    return 0;
}
