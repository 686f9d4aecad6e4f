// The key texts, read back by a Base64 and DER reader of the test's own: line layout, the
// X.509 and PKCS #8 structures, exponent 17, a 2048-bit modulus, private matching public.
#include <gtest/gtest.h>

#include <cryptopp/osrng.h>
#include <cryptopp/queue.h>
#include <cryptopp/rsa.h>

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "crypto/key_pair.h"
#include "test_network.h"

namespace parlon::test {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr std::string_view kBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const Bytes kRsaEncryptionOid = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};

// The lines of `text`, each without its line feed; nullopt when the text does not end in one.
std::optional<std::vector<std::string>> Lines(const std::string& text) {
    if (text.empty() || text.back() != '\n') {
        return std::nullopt;
    }
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();) {
        const size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string WithoutLineFeeds(std::string text) {
    std::erase(text, '\n');
    return text;
}

// Strict Base64: alphabet characters in groups of four, "=" padding only at the end.
std::optional<Bytes> DecodeBase64(const std::string& text) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    Bytes out;
    uint32_t bits = 0;
    int count = 0;
    for (size_t index = 0; index < text.size(); ++index) {
        if (text[index] == '=') {
            if (index + 2 < text.size() || (index + 1 < text.size() && text[index + 1] != '=')) {
                return std::nullopt;
            }
            break;
        }
        const size_t value = kBase64Alphabet.find(text[index]);
        if (value == std::string_view::npos) {
            return std::nullopt;
        }
        bits = (bits << 6) | static_cast<uint32_t>(value);
        if (++count == 4) {
            out.push_back(static_cast<uint8_t>(bits >> 16));
            out.push_back(static_cast<uint8_t>(bits >> 8));
            out.push_back(static_cast<uint8_t>(bits));
            bits = 0;
            count = 0;
        }
    }
    if (count == 3) {
        out.push_back(static_cast<uint8_t>(bits >> 10));
        out.push_back(static_cast<uint8_t>(bits >> 2));
    } else if (count == 2) {
        out.push_back(static_cast<uint8_t>(bits >> 4));
    }
    return out;
}

// One DER element: its tag and its content.
struct Der {
    uint8_t tag = 0;
    Bytes content;
};

// Reads the element at the front of `input` and moves past it; nullopt if it does not fit.
std::optional<Der> ReadDer(std::span<const uint8_t>& input) {
    if (input.size() < 2) {
        return std::nullopt;
    }
    const uint8_t tag = input[0];
    size_t length = input[1];
    size_t header = 2;
    if (length & 0x80) {
        const size_t lengthBytes = length & 0x7F;
        if (lengthBytes == 0 || lengthBytes > 2 || input.size() < 2 + lengthBytes) {
            return std::nullopt;
        }
        length = 0;
        for (size_t index = 0; index < lengthBytes; ++index) {
            length = (length << 8) | input[2 + index];
        }
        header += lengthBytes;
    }
    if (input.size() - header < length) {
        return std::nullopt;
    }
    Der element{tag, Bytes(input.begin() + static_cast<ptrdiff_t>(header),
                           input.begin() + static_cast<ptrdiff_t>(header + length))};
    input = input.subspan(header + length);
    return element;
}

// The elements of a constructed element's content, which they must fill exactly.
std::vector<Der> Children(const Bytes& content) {
    std::span<const uint8_t> rest(content);
    std::vector<Der> children;
    while (!rest.empty()) {
        std::optional<Der> child = ReadDer(rest);
        if (!child) {
            ADD_FAILURE() << "DER content does not parse";
            return {};
        }
        children.push_back(std::move(*child));
    }
    return children;
}

// The single top-level element of `der`, which must fill it exactly.
Der Whole(const Bytes& der) {
    std::span<const uint8_t> rest(der);
    std::optional<Der> element = ReadDer(rest);
    EXPECT_TRUE(element.has_value() && rest.empty());
    return element.value_or(Der{});
}

constexpr uint8_t kSequence = 0x30, kInteger = 0x02, kOid = 0x06, kNull = 0x05, kBitString = 0x03,
                  kOctetString = 0x04;

void ExpectRsaAlgorithm(const Der& algorithm) {
    ASSERT_EQ(algorithm.tag, kSequence);
    const std::vector<Der> parts = Children(algorithm.content);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].tag, kOid);
    EXPECT_EQ(parts[0].content, kRsaEncryptionOid);
    EXPECT_EQ(parts[1].tag, kNull);
    EXPECT_TRUE(parts[1].content.empty());
}

// Modulus and exponent of a SubjectPublicKeyInfo.
struct PublicNumbers {
    Bytes modulus;
    Bytes exponent;
};

PublicNumbers ReadPublicKey(const Bytes& der) {
    const Der info = Whole(der);
    EXPECT_EQ(info.tag, kSequence);
    const std::vector<Der> parts = Children(info.content);
    if (parts.size() != 2) {
        ADD_FAILURE() << "SubjectPublicKeyInfo has " << parts.size() << " parts";
        return {};
    }
    ExpectRsaAlgorithm(parts[0]);
    EXPECT_EQ(parts[1].tag, kBitString);
    EXPECT_EQ(parts[1].content.at(0), 0u) << "unused bits";
    const Der rsaKey = Whole(Bytes(parts[1].content.begin() + 1, parts[1].content.end()));
    const std::vector<Der> numbers = Children(rsaKey.content);
    if (rsaKey.tag != kSequence || numbers.size() != 2 || numbers[0].tag != kInteger ||
        numbers[1].tag != kInteger) {
        ADD_FAILURE() << "RSAPublicKey is not SEQUENCE { INTEGER, INTEGER }";
        return {};
    }
    return {numbers[0].content, numbers[1].content};
}

class KeyText : public ::testing::Test {
protected:
    EncryptionContext& context = TestNetwork::Get().Context(0);
};

TEST_F(KeyText, PublicKeyIsSixLinesOf72CharactersWithTheLastOf32) {
    const std::optional<std::vector<std::string>> lines = Lines(context.GetPublicKey());
    ASSERT_TRUE(lines.has_value());
    EXPECT_EQ(context.GetPublicKey().size(), 398u);
    ASSERT_EQ(lines->size(), 6u);
    for (size_t line = 0; line < 5; ++line) {
        EXPECT_EQ((*lines)[line].size(), 72u);
    }
    EXPECT_EQ(lines->back().size(), 32u);
}

TEST_F(KeyText, PublicKeyIsSubjectPublicKeyInfoWith2048BitModulusAndExponent17) {
    const std::optional<Bytes> der = DecodeBase64(WithoutLineFeeds(context.GetPublicKey()));
    ASSERT_TRUE(der.has_value());
    EXPECT_EQ(der->size(), 292u);
    const PublicNumbers numbers = ReadPublicKey(*der);
    ASSERT_EQ(numbers.modulus.size(), 257u);  // a zero byte keeps the number positive
    EXPECT_EQ(numbers.modulus[0], 0u);
    EXPECT_GE(numbers.modulus[1], 0x80u);  // so exactly 2048 bits
    EXPECT_EQ(numbers.exponent, Bytes{17});
}

TEST_F(KeyText, PrivateKeyIsPkcs8OfTheSameKey) {
    const CryptoPP::SecByteBlock& text = context.GetKeyPair().PrivateKeyText();
    const std::string privateText(reinterpret_cast<const char*>(text.data()), text.size());
    const std::optional<std::vector<std::string>> lines = Lines(privateText);
    ASSERT_TRUE(lines.has_value());
    std::string base64;
    for (size_t line = 0; line < lines->size(); ++line) {
        EXPECT_LE((*lines)[line].size(), 72u);
        if (line + 1 < lines->size()) {
            EXPECT_EQ((*lines)[line].size(), 72u);
        }
        base64 += (*lines)[line];
    }
    const std::optional<Bytes> der = DecodeBase64(base64);
    ASSERT_TRUE(der.has_value());

    // PrivateKeyInfo: version 0, rsaEncryption, OCTET STRING with the RSAPrivateKey.
    const Der info = Whole(*der);
    ASSERT_EQ(info.tag, kSequence);
    const std::vector<Der> parts = Children(info.content);
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[0].tag, kInteger);
    EXPECT_EQ(parts[0].content, Bytes{0});
    ExpectRsaAlgorithm(parts[1]);
    ASSERT_EQ(parts[2].tag, kOctetString);
    const Der rsaKey = Whole(parts[2].content);
    const std::vector<Der> fields = Children(rsaKey.content);
    ASSERT_EQ(fields.size(), 9u);  // version, n, e, d, p, q, dp, dq, qinv
    EXPECT_EQ(fields[0].content, Bytes{0});

    const PublicNumbers publicNumbers =
        ReadPublicKey(DecodeBase64(WithoutLineFeeds(context.GetPublicKey())).value());
    EXPECT_EQ(fields[1].content, publicNumbers.modulus);
    EXPECT_EQ(fields[2].content, publicNumbers.exponent);

    // The numbers make one consistent key: Crypto++'s full check (primes, d, CRT values).
    CryptoPP::ByteQueue queue;
    queue.Put(der->data(), der->size());
    CryptoPP::InvertibleRSAFunction key;
    key.BERDecode(queue);
    CryptoPP::AutoSeededRandomPool rng;
    EXPECT_TRUE(key.Validate(rng, 2));
}

TEST_F(KeyText, EveryParlonHasItsOwnKey) {
    TestNetwork& network = TestNetwork::Get();
    for (size_t first = 0; first < kNetworkSize; ++first) {
        for (size_t second = first + 1; second < kNetworkSize; ++second) {
            EXPECT_NE(network.Context(first).GetPublicKey(),
                      network.Context(second).GetPublicKey());
        }
    }
}

TEST_F(KeyText, GetPublicKeyReturnsAnIndependentCopy) {
    std::string copy = context.GetPublicKey();
    const std::string original = copy;
    copy[0] = copy[0] == 'A' ? 'B' : 'A';
    EXPECT_EQ(context.GetPublicKey(), original);
}

}  // namespace
}  // namespace parlon::test
