#include "unwrap_fixture.h"

#include <cryptopp/aes.h>
#include <cryptopp/modes.h>

#include <array>
#include <cassert>
#include <optional>
#include <stdexcept>

#include "common/utf8_text.h"

namespace parlon::fuzz {

namespace {

constexpr const char* kNicknames[UnwrapFixture::kParlonCount] = {"Own", "Second", "Third"};
constexpr uint16_t kFirstPort = 7001;

// A generator whose output is fixed by `seed`: the key stream of AES in OFB mode under a key
// made of the seed. Reproducible, and so for fixtures only.
std::unique_ptr<CryptoPP::RandomNumberGenerator> SeededGenerator(uint8_t seed) {
    std::array<uint8_t, CryptoPP::AES::DEFAULT_KEYLENGTH> key{};
    key.fill(seed);
    const std::array<uint8_t, CryptoPP::AES::BLOCKSIZE> iv{};
    auto generator = std::make_unique<CryptoPP::OFB_Mode<CryptoPP::AES>::Encryption>();
    generator->SetKeyWithIV(key.data(), key.size(), iv.data(), iv.size());
    return generator;
}

// Generators of the key pairs, and of the contexts' draws, one seed each per parlon.
uint8_t KeySeed(uint32_t row) {
    return static_cast<uint8_t>(0x10 + row);
}
uint8_t DrawSeed(uint32_t row) {
    return static_cast<uint8_t>(0x20 + row);
}

ByteBuffer Wrap(EncryptionContext& context, std::string_view text, uint32_t destination,
                PeerAddress& firstHop) {
    std::optional<ByteBuffer> packet =
        context.WrapMessage(UnwrapFixture::Text(text), destination, firstHop);
    if (!packet) {
        throw std::logic_error("the fixture could not wrap a message");
    }
    return *packet;
}

}  // namespace

UnwrapFixture::UnwrapFixture() {
    m_keys.reserve(kParlonCount);
    m_parlons.resize(kParlonCount);
    for (uint32_t row = 0; row < kParlonCount; ++row) {
        m_keys.emplace_back(*SeededGenerator(KeySeed(row)));
        ParlonEntry& entry = m_parlons[row];
        entry.ip = ParseIpv4("127.0.0.1");
        entry.port = static_cast<uint16_t>(kFirstPort + row);
        entry.SetPublicKey(m_keys.back().PublicKeyText());
        entry.SetNickname(kNicknames[row]);
    }

    // Second writes to Third at hop count 2 until the relay it draws is Own. Its draws are
    // fixed, so this takes the same few tries every time.
    std::unique_ptr<EncryptionContext> second = Context(kSecond);
    second->SetHopCount(2);
    PeerAddress firstHop;
    do {
        m_throughOwn = Wrap(*second, "from Second to Third through Own", kThird, firstHop);
    } while (!(firstHop == m_parlons[kOwn].Address()));
}

std::unique_ptr<EncryptionContext> UnwrapFixture::Context(uint32_t row) const {
    assert(row < kParlonCount);
    return std::make_unique<EncryptionContext>(m_parlons[row].Address(), m_parlons, m_keys[row],
                                               SeededGenerator(DrawSeed(row)));
}

std::unique_ptr<EncryptionContext> UnwrapFixture::OwnWithRecords(OwnTraffic* traffic) const {
    std::unique_ptr<EncryptionContext> own = Context(kOwn);
    own->SetHopCount(1);
    OwnTraffic sent;
    PeerAddress firstHop;
    sent.toSecond = Wrap(*own, "from Own to Second", kSecond, firstHop);
    sent.toThird = Wrap(*own, "from Own to Third", kThird, firstHop);
    // Second's message has two layers: Own opens it only at a hop count that allows them.
    own->SetHopCount(2);
    PeerAddress nextHop;
    ReplyHandle message;
    std::optional<ByteBuffer> passed = own->Unwrap(m_throughOwn, Source(), nextHop, message);
    if (!passed || !(nextHop == m_parlons[kThird].Address())) {
        throw std::logic_error("Own did not pass Second's message on to Third");
    }
    sent.passedToThird = *passed;
    if (traffic != nullptr) {
        *traffic = sent;
    }
    return own;
}

PeerAddress UnwrapFixture::Source() {
    return {ParseIpv4("127.0.0.1"), 40000};
}

TextField UnwrapFixture::Text(std::string_view text) {
    const ByteBuffer queued = QueuedText(text);
    return MakeTextField(queued.Bytes());
}

}  // namespace parlon::fuzz
