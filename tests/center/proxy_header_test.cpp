// The PROXY header reader on exact-size buffers (ASan shows an overread); a center behind a proxy.
#include <gtest/gtest.h>

#include <asio/write.hpp>

#include "center/center_thread.h"
#include "center/proxy_header.h"
#include "net/asio_endpoint.h"
#include "net/packet.h"
#include "net/socket_stream.h"
#include "support/log_lines.h"
#include "support/test_support.h"

namespace parlon {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Kind = ProxyHeader::Kind;

Bytes Text(std::string_view text) {
    return {text.begin(), text.end()};
}

Bytes Joined(Bytes first, const Bytes& second) {
    first.reserve(first.size() + second.size());  // spares GCC 12 a false bounds warning
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

const Bytes kV2Signature = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};

// A v2 header: command byte, family byte, then `body` (addresses and TLVs).
Bytes Version2(uint8_t command, uint8_t family, const Bytes& body) {
    const auto size = static_cast<uint16_t>(body.size());
    const Bytes head = {command, family, static_cast<uint8_t>(size >> 8),
                        static_cast<uint8_t>(size)};
    return Joined(Joined(kV2Signature, head), body);
}

// Client 10.1.2.3:4444 to proxy 127.0.0.1:7878, network order.
const Bytes kIpv4Addresses = {10, 1, 2, 3, 127, 0, 0, 1, 0x11, 0x5C, 0x1E, 0xC6};
const std::string kV1 = "PROXY TCP4 10.1.2.3 127.0.0.1 4444 7878\r\n";
const Bytes kV2 = Version2(0x21, 0x11, kIpv4Addresses);

struct HeaderCase {
    const char* name;
    Bytes bytes;
    Kind kind;
    size_t size;         // when whole
    std::string client;  // when Proxied
};

HeaderCase Wrong(const char* name, Bytes bytes) {
    return {name, std::move(bytes), Kind::Refused, 0, ""};
}

std::vector<HeaderCase> HeaderCases() {
    const Bytes cut(kIpv4Addresses.begin(), kIpv4Addresses.end() - 1);
    return {
        {"v1", Text(kV1), Kind::Proxied, kV1.size(), "10.1.2.3:4444"},
        {"v1 unknown", Text("PROXY UNKNOWN\r\n"), Kind::Local, 15, ""},
        {"v2", kV2, Kind::Proxied, 28, "10.1.2.3:4444"},
        {"v2 with a TLV", Version2(0x21, 0x11, Joined(kIpv4Addresses, {4, 0, 2, 'i', 'd'})),
         Kind::Proxied, 33, "10.1.2.3:4444"},
        {"v2 local", Version2(0x20, 0x00, {}), Kind::Local, 16, ""},
        Wrong("v1 of IPv6", Text("PROXY TCP6 ::1 ::1 1 2\r\n")),
        Wrong("v1 octet 256", Text("PROXY TCP4 10.1.2.256 127.0.0.1 4444 7878\r\n")),
        Wrong("v1 port 65536", Text("PROXY TCP4 10.1.2.3 127.0.0.1 65536 7878\r\n")),
        Wrong("v1 five octets", Text("PROXY TCP4 10.1.2.3.4 127.0.0.1 4444 7878\r\n")),
        Wrong("v1 double blank", Text("PROXY TCP4  10.1.2.3 127.0.0.1 4444 7878\r\n")),
        Wrong("v1 without end", Text("PROXY TCP4 " + std::string(100, '1'))),
        Wrong("v2 version 1", Version2(0x11, 0x11, kIpv4Addresses)),
        Wrong("v2 command 2", Version2(0x22, 0x11, kIpv4Addresses)),
        Wrong("v2 UDP", Version2(0x21, 0x12, kIpv4Addresses)),
        Wrong("v2 addresses cut", Version2(0x21, 0x11, cut)),
        Wrong("v2 too long", Version2(0x21, 0x11, Bytes(kProxyV2MaxSize, 0))),
        Wrong("a request, no header", {0xAA, 0x01, 0xEF, 0xAA, 0x33}),
        Wrong("signature wrong in its last byte",
              Joined(Bytes(kV2Signature.begin(), kV2Signature.end() - 1), {0x0B})),
    };
}

// Reads a copy of `bytes` of exactly their length.
ProxyHeader Read(const Bytes& bytes) {
    const auto copy = std::make_unique<uint8_t[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), copy.get());
    return ReadProxyHeader({copy.get(), bytes.size()});
}

TEST(ProxyHeaderTest, ReadsEachGoodHeaderAndAsksForMoreOnEachPrefixAndRefusesEachWrongOne) {
    for (const HeaderCase& test : HeaderCases()) {
        SCOPED_TRACE(test.name);
        const ProxyHeader header = Read(test.bytes);
        EXPECT_EQ(header.kind, test.kind) << header.reason;
        if (test.kind == Kind::Refused) {
            EXPECT_FALSE(header.reason.empty());
            continue;
        }
        EXPECT_EQ(header.size, test.size);
        if (test.kind == Kind::Proxied) {
            EXPECT_EQ(EndpointText(header.client), test.client);
        }
        for (size_t length = 0; length < test.size; ++length) {
            const Bytes prefix(test.bytes.begin(),
                               test.bytes.begin() + static_cast<std::ptrdiff_t>(length));
            EXPECT_EQ(Read(prefix).kind, Kind::Incomplete) << "cut to " << length;
        }
    }
}

// A center that takes PROXY headers from 127.0.0.1 only.
class BehindProxyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        m_center = CenterThread::Start({.proxies = {ParseIpv4("127.0.0.1")}}, error, m_log.Sink());
        ASSERT_NE(m_center, nullptr) << error;
    }
    // Sends `bytes` and reads the reply to the end, or only ends the connection.
    size_t Exchange(const Bytes& bytes, bool readReply = true) {
        const auto deadline = SocketStream::Clock::now() + 3s;
        SocketStream stream(m_center->Address(), deadline);
        stream.WriteAll(bytes, deadline);
        if (!readReply) {
            stream.Finish();
            return 0;
        }
        return stream.ReadToEnd(1 << 20, deadline).Length();
    }
    bool Logged(const std::string& text) {
        return test::Eventually([&] { return m_log.Count(text) == 1; });
    }

    test::LogLines m_log;  // outlives the center
    std::unique_ptr<CenterThread> m_center;
};

TEST_F(BehindProxyTest, UsesTheClientsAddressRefusesAnythingElseAndTakesHealthChecksQuietly) {
    // The center admits the entry only from the address it names: the client the header names.
    ParlonEntry alice = test::MakeEntry(7001, "alice", test::KeyText(0));
    alice.ip = ParseIpv4("10.1.2.3");
    const Bytes registration =
        test::BytesOf(Packet(Registration, RegistrationRecord{alice, {}}).Encode());
    const size_t replySize = kReplyEntriesOffset + kParlonEntrySize;
    EXPECT_EQ(Exchange(Joined(Text(kV1), registration)), replySize);
    // The header's client is the one a log line names.
    EXPECT_EQ(Exchange(Joined(kV2, Bytes{1, 2, 3, 4, 5})), 0u);
    EXPECT_TRUE(Logged("refused connection from 10.1.2.3:4444: not a frame")) << m_log.All();
    // Without a header: refused, though the request is good.
    EXPECT_EQ(Exchange(registration), 0u);
    EXPECT_TRUE(Logged(": no PROXY header"));
    // The proxy's health check, a LOCAL header and then the end, is not worth a line.
    const size_t lines = m_log.Count("");
    Exchange(Version2(0x20, 0x00, {}), false);
    EXPECT_EQ(Exchange(Joined(kV2, registration)), replySize);  // served after the check
    EXPECT_EQ(m_log.Count(""), lines + 1) << m_log.All();       // the renewal only
    // A header from an address not named is refused.
    asio::ip::tcp::socket other = test::ConnectFrom(ParseIpv4("127.0.0.2"), m_center->Address());
    asio::write(other, asio::buffer(Text(kV1)));
    EXPECT_TRUE(Logged("refused connection from 127.0.0.2:")) << m_log.All();
    EXPECT_TRUE(Logged("not one of the proxies the center takes")) << m_log.All();
}

}  // namespace
}  // namespace parlon
