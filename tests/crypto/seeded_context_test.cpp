// Contexts made on a given key pair and generator (the constructor that tests and fuzz targets
// use to get the same keys and draws in every run): they open what is wrapped for their key,
// and every draw comes from the generator they were given.
#include <cryptopp/aes.h>
#include <cryptopp/modes.h>
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <optional>
#include <vector>

#include "crypto/encryption_context.h"
#include "crypto/key_pair.h"
#include "test_network.h"

namespace parlon::test {
namespace {

std::unique_ptr<CryptoPP::RandomNumberGenerator> Seeded(uint8_t seed) {
    std::array<uint8_t, CryptoPP::AES::DEFAULT_KEYLENGTH> key{};
    key.fill(seed);
    const std::array<uint8_t, CryptoPP::AES::BLOCKSIZE> iv{};
    auto generator = std::make_unique<CryptoPP::OFB_Mode<CryptoPP::AES>::Encryption>();
    generator->SetKeyWithIV(key.data(), key.size(), iv.data(), iv.size());
    return generator;
}

// Two parlons, each with a key pair made from a seeded generator; contexts are made on them.
class SeededContext : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        for (uint8_t row = 0; row < 2; ++row) {
            keys_.emplace_back(*Seeded(static_cast<uint8_t>(0x40 + row)));
            ParlonEntry entry;
            entry.ip = ParseIpv4("127.0.0.1");
            entry.port = static_cast<uint16_t>(7101 + row);
            entry.SetPublicKey(keys_.back().PublicKeyText());
            list_.push_back(entry);
        }
    }
    static void TearDownTestSuite() {
        keys_.clear();
        list_.clear();
    }

    static std::unique_ptr<EncryptionContext> Context(size_t row, uint8_t seed) {
        return std::make_unique<EncryptionContext>(list_[row].Address(), &list_, keys_[row],
                                                   Seeded(seed));
    }

    static ByteBuffer WrapFromFirstToSecond(EncryptionContext& first) {
        PeerAddress firstHop;
        std::optional<ByteBuffer> packet = first.WrapMessage(Text("seeded"), 1, firstHop);
        EXPECT_TRUE(packet.has_value());
        EXPECT_EQ(firstHop, list_[1].Address());
        return packet.value_or(ByteBuffer());
    }

    static inline std::vector<KeyPair> keys_;
    static inline std::vector<ParlonEntry> list_;
};

TEST_F(SeededContext, OpensWhatIsWrappedForItsKeyAndTheReplyComesBack) {
    auto first = Context(0, 1);
    auto second = Context(1, 2);
    EXPECT_EQ(second->GetPublicKey(), keys_[1].PublicKeyText());

    PeerAddress nextHop;
    uint32_t messageId = 0;
    const std::optional<ByteBuffer> text =
        second->Unwrap(WrapFromFirstToSecond(*first), nextHop, messageId);
    ASSERT_TRUE(text.has_value());
    EXPECT_TRUE(nextHop.IsNone());
    ASSERT_NE(messageId, 0u);
    EXPECT_EQ(text->TextUpToNul(), "seeded");

    PeerAddress previousHop;
    const std::optional<ByteBuffer> reply = second->WrapReply(Text("back"), messageId, previousHop);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(previousHop, list_[0].Address());
    const std::optional<ByteBuffer> result = first->Unwrap(*reply, nextHop, messageId);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->Length(), 224u);
    EXPECT_EQ(ByteBuffer(result->Data() + 112, 112).TextUpToNul(), "back");
}

TEST_F(SeededContext, EquallySeededContextsDrawTheSame) {
    auto one = Context(0, 7);
    auto other = Context(0, 7);
    EXPECT_EQ(WrapFromFirstToSecond(*one), WrapFromFirstToSecond(*other));
    EXPECT_EQ(WrapFromFirstToSecond(*one), WrapFromFirstToSecond(*other));
}

TEST_F(SeededContext, DifferentlySeededContextsDrawDifferently) {
    auto one = Context(0, 7);
    auto other = Context(0, 8);
    EXPECT_NE(WrapFromFirstToSecond(*one), WrapFromFirstToSecond(*other));
}

TEST_F(SeededContext, AContextOnAnotherKeyCannotOpenTheMessage) {
    auto first = Context(0, 1);
    auto impostor =
        std::make_unique<EncryptionContext>(list_[1].Address(), &list_, keys_[0], Seeded(3));
    PeerAddress nextHop;
    uint32_t messageId = 0;
    EXPECT_FALSE(impostor->Unwrap(WrapFromFirstToSecond(*first), nextHop, messageId).has_value());
    EXPECT_EQ(impostor->RouteCount(), 0u);
}

TEST(SeededKeyPair, TheSameSeedMakesTheSameKeyPair) {
    const KeyPair one(*Seeded(0x55));
    const KeyPair again(*Seeded(0x55));
    const KeyPair other(*Seeded(0x56));
    EXPECT_EQ(one.PublicKeyText(), again.PublicKeyText());
    EXPECT_EQ(one.PrivateKeyText(), again.PrivateKeyText());
    EXPECT_NE(one.PublicKeyText(), other.PublicKeyText());
}

}  // namespace
}  // namespace parlon::test
