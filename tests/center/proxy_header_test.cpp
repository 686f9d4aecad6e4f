// The PROXY header reader, byte by byte: the headers a proxy sends, each way one can be wrong,
// every prefix of a good one, and random and mutated bytes, read from buffers of their exact
// length so that a read past the end shows under ASan. Then a center behind a proxy: whose
// address it uses, what it refuses, and the proxy's health check.
#include <gtest/gtest.h>

#include <random>

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

// A v2 header: command byte, family byte, then `body` (addresses and TLVs).
Bytes Version2(uint8_t command, uint8_t family, const Bytes& body) {
    Bytes bytes = {0x0D,
                   0x0A,
                   0x0D,
                   0x0A,
                   0x00,
                   0x0D,
                   0x0A,
                   0x51,
                   0x55,
                   0x49,
                   0x54,
                   0x0A,
                   command,
                   family,
                   static_cast<uint8_t>(body.size() >> 8),
                   static_cast<uint8_t>(body.size())};
    bytes.reserve(bytes.size() + body.size());  // also spares GCC 12 a false bounds warning
    bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
}

// Client 10.1.2.3:4444 to proxy 127.0.0.1:7878, network order.
const Bytes kIpv4Addresses = {10, 1, 2, 3, 127, 0, 0, 1, 0x11, 0x5C, 0x1E, 0xC6};

Bytes Joined(Bytes first, const Bytes& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

struct HeaderCase {
    const char* name;
    Bytes bytes;
    Kind kind;
    size_t size;         // when whole
    std::string client;  // when Proxied
};

std::vector<HeaderCase> HeaderCases() {
    const std::string v1 = "PROXY TCP4 10.1.2.3 127.0.0.1 4444 7878\r\n";
    const Bytes tlv = {0x04, 0x00, 0x02, 'i', 'd'};
    return {
        {"v1", Text(v1), Kind::Proxied, v1.size(), "10.1.2.3:4444"},
        {"v1 then a request", Joined(Text(v1), Bytes{0xAA, 0x01, 0xEF, 0xAA}), Kind::Proxied,
         v1.size(), "10.1.2.3:4444"},
        {"v1 unknown", Text("PROXY UNKNOWN\r\n"), Kind::Local, 15, ""},
        {"v1 of IPv6", Text("PROXY TCP6 ::1 ::1 1 2\r\n"), Kind::Refused, 0, ""},
        {"v1 octet 256", Text("PROXY TCP4 10.1.2.256 127.0.0.1 4444 7878\r\n"), Kind::Refused, 0,
         ""},
        {"v1 port 65536", Text("PROXY TCP4 10.1.2.3 127.0.0.1 65536 7878\r\n"), Kind::Refused, 0,
         ""},
        {"v1 double blank", Text("PROXY TCP4  10.1.2.3 127.0.0.1 4444 7878\r\n"), Kind::Refused, 0,
         ""},
        {"v1 word missing", Text("PROXY TCP4 10.1.2.3 127.0.0.1 4444\r\n"), Kind::Refused, 0, ""},
        {"v1 five octets", Text("PROXY TCP4 10.1.2.3.4 127.0.0.1 4444 7878\r\n"), Kind::Refused, 0,
         ""},
        {"v1 without end", Text("PROXY TCP4 " + std::string(100, '1')), Kind::Refused, 0, ""},
        {"v1 lower case", Text("proxy TCP4 10.1.2.3 127.0.0.1 4444 7878\r\n"), Kind::Refused, 0,
         ""},
        {"v2", Version2(0x21, 0x11, kIpv4Addresses), Kind::Proxied, 28, "10.1.2.3:4444"},
        {"v2 with a TLV", Version2(0x21, 0x11, Joined(kIpv4Addresses, tlv)), Kind::Proxied, 33,
         "10.1.2.3:4444"},
        {"v2 local", Version2(0x20, 0x00, {}), Kind::Local, 16, ""},
        {"v2 version 1", Version2(0x11, 0x11, kIpv4Addresses), Kind::Refused, 0, ""},
        {"v2 command 2", Version2(0x22, 0x11, kIpv4Addresses), Kind::Refused, 0, ""},
        {"v2 UDP", Version2(0x21, 0x12, kIpv4Addresses), Kind::Refused, 0, ""},
        {"v2 IPv6", Version2(0x21, 0x21, Bytes(36, 1)), Kind::Refused, 0, ""},
        {"v2 addresses cut",
         Version2(0x21, 0x11, Bytes(kIpv4Addresses.begin(), kIpv4Addresses.end() - 1)),
         Kind::Refused, 0, ""},
        {"v2 too long", Version2(0x21, 0x11, Bytes(kProxyV2MaxSize, 0)), Kind::Refused, 0, ""},
        {"a request, no header", Bytes{0xAA, 0x01, 0xEF, 0xAA, 0x33}, Kind::Refused, 0, ""},
        {"signature wrong in its last byte",
         Bytes{0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0B},
         Kind::Refused, 0, ""},
    };
}

// Reads a copy of `bytes` of exactly their length.
ProxyHeader Read(const Bytes& bytes) {
    const auto copy = std::make_unique<uint8_t[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), copy.get());
    return ReadProxyHeader({copy.get(), bytes.size()});
}

TEST(ProxyHeaderTest, ReadsEachHeaderAndRefusesEachWrongOne) {
    for (const HeaderCase& test : HeaderCases()) {
        const ProxyHeader header = Read(test.bytes);
        EXPECT_EQ(header.kind, test.kind) << test.name << ": " << header.reason;
        if (test.kind == Kind::Proxied || test.kind == Kind::Local) {
            EXPECT_EQ(header.size, test.size) << test.name;
        }
        if (test.kind == Kind::Proxied) {
            EXPECT_EQ(EndpointText(header.client), test.client) << test.name;
        }
        if (test.kind == Kind::Refused) {
            EXPECT_FALSE(header.reason.empty()) << test.name;
        }
    }
}

TEST(ProxyHeaderTest, EveryPrefixOfAGoodHeaderAsksForMore) {
    for (const HeaderCase& test : HeaderCases()) {
        if (test.kind == Kind::Refused) {
            continue;
        }
        for (size_t length = 0; length < test.size; ++length) {
            const Bytes prefix(test.bytes.begin(),
                               test.bytes.begin() + static_cast<ptrdiff_t>(length));
            EXPECT_EQ(Read(prefix).kind, Kind::Incomplete) << test.name << " cut to " << length;
        }
    }
}

// Random bytes, and good headers with bytes changed, cut or added: the reader never claims a
// header longer than what it was given, asks for more only below the longest header, and never
// reads past the end.
TEST(ProxyHeaderTest, RandomAndMutatedBytesStayWithinTheirLength) {
    std::mt19937 random(20240611);
    std::vector<Bytes> inputs;
    for (int index = 0; index < 2000; ++index) {
        Bytes bytes(random() % (kProxyHeaderMaxSize + 40));
        for (uint8_t& byte : bytes) {
            byte = static_cast<uint8_t>(random());
        }
        inputs.push_back(bytes);
    }
    for (const HeaderCase& test : HeaderCases()) {
        for (int index = 0; index < 300; ++index) {
            Bytes bytes = test.bytes;
            const size_t changes = 1 + random() % 3;
            for (size_t change = 0; change < changes && !bytes.empty(); ++change) {
                const size_t at = random() % bytes.size();
                switch (random() % 3) {
                    case 0:
                        bytes[at] = static_cast<uint8_t>(random());
                        break;
                    case 1:
                        bytes.resize(at);
                        break;
                    default:
                        bytes.insert(bytes.begin() + static_cast<ptrdiff_t>(at),
                                     static_cast<uint8_t>(random()));
                }
            }
            inputs.push_back(bytes);
        }
    }
    for (const Bytes& bytes : inputs) {
        const ProxyHeader header = Read(bytes);
        if (header.kind == Kind::Proxied || header.kind == Kind::Local) {
            EXPECT_GT(header.size, 0u);
            EXPECT_LE(header.size, bytes.size());
        }
        if (header.kind == Kind::Incomplete) {
            EXPECT_LT(bytes.size(), kProxyHeaderMaxSize);
        }
    }
}

// A center that takes PROXY headers from 127.0.0.1 only.
class BehindProxyTest : public ::testing::Test {
  protected:
    void Start(const std::string& proxy) {
        std::string error;
        m_center = CenterThread::Start({.proxies = {ParseIpv4(proxy)}}, error, m_log.Sink());
        ASSERT_NE(m_center, nullptr) << error;
    }
    // Sends `bytes` on a new connection and reads what comes back until the center closes.
    size_t Exchange(const Bytes& bytes) {
        const auto deadline = SocketStream::Clock::now() + 3s;
        SocketStream stream(m_center->Address(), deadline);
        stream.WriteAll(bytes, deadline);
        return stream.ReadToEnd(1 << 20, deadline).Length();
    }
    // Sends `bytes` on a new connection and closes it, as a proxy's health check does.
    void Check(const Bytes& bytes) {
        const auto deadline = SocketStream::Clock::now() + 3s;
        SocketStream stream(m_center->Address(), deadline);
        stream.WriteAll(bytes, deadline);
        stream.Finish();
    }

    test::LogLines m_log;  // outlives the center
    std::unique_ptr<CenterThread> m_center;
};

TEST_F(BehindProxyTest, UsesTheClientsAddressRefusesAnythingElseAndTakesHealthChecksQuietly) {
    Start("127.0.0.1");
    // The center admits the entry only from the address it names: the client the header names.
    ParlonEntry alice = test::MakeEntry(7001, "alice", test::KeyText(0));
    alice.ip = ParseIpv4("10.1.2.3");
    const ByteBuffer frame = Packet(Registration, RegistrationRecord{alice, {}}).Encode();
    const Bytes registration(frame.Bytes().begin(), frame.Bytes().end());
    EXPECT_EQ(Exchange(Joined(Text("PROXY TCP4 10.1.2.3 127.0.0.1 4444 7878\r\n"), registration)),
              kReplyEntriesOffset + kParlonEntrySize);
    EXPECT_EQ(Exchange(Joined(Version2(0x21, 0x11, kIpv4Addresses), registration)),
              kReplyEntriesOffset + kParlonEntrySize);
    // The header's client is the one a log line names.
    EXPECT_EQ(Exchange(Joined(Version2(0x21, 0x11, kIpv4Addresses), Bytes{1, 2, 3, 4, 5})), 0u);
    EXPECT_TRUE(test::Eventually([&] {
        return m_log.Count("refused connection from 10.1.2.3:4444: not a frame") == 1;
    })) << m_log.All();
    // Without a header: refused, though the request is good.
    EXPECT_EQ(Exchange(registration), 0u);
    EXPECT_TRUE(test::Eventually([&] { return m_log.Count(": no PROXY header") == 1; }));
    // The proxy's health check: a LOCAL header, then the end. Not worth a line.
    const size_t lines = m_log.Count("");
    Check(Version2(0x20, 0x00, {}));
    EXPECT_EQ(Exchange(Joined(Version2(0x21, 0x11, kIpv4Addresses), registration)),
              kReplyEntriesOffset + kParlonEntrySize);     // served after the check
    EXPECT_EQ(m_log.Count(""), lines + 1) << m_log.All();  // the renewal only
}

TEST_F(BehindProxyTest, RefusesAHeaderFromAnAddressNotNamed) {
    Start("127.0.0.2");
    EXPECT_EQ(Exchange(Text("PROXY TCP4 10.1.2.3 127.0.0.1 4444 7878\r\n")), 0u);
    EXPECT_TRUE(test::Eventually([&] {
        return m_log.Count("refused connection from 127.0.0.1:") == 1 &&
               m_log.Count("not one of the proxies the center takes") == 1;
    })) << m_log.All();
}

}  // namespace
}  // namespace parlon
