#include "crypto/encryption_context.h"

#include <cryptopp/oaep.h>
#include <cryptopp/osrng.h>
#include <cryptopp/sha.h>

#include <algorithm>
#include <cassert>
#include <cstring>
#include <new>
#include <span>

#include "crypto/key_pair.h"
#include "crypto/layer_decryptor.h"
#include "crypto/layer_encryption.h"
#include "crypto/opened_layers.h"
#include "crypto/public_key_cache.h"
#include "crypto/random_draws.h"
#include "crypto/route_table.h"

namespace parlon {

namespace mf = message_format;

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = RouteTable::Clock;

// The plaintext header of a layer: previous hop, next hop, reply mask.
void WriteLayerHeader(uint8_t* layer, const PeerAddress& previousHop, const PeerAddress& nextHop,
                      const uint8_t* mask) {
    mf::StoreAddress(layer + mf::kLayerPreviousHopOffset, previousHop);
    mf::StoreAddress(layer + mf::kLayerNextHopOffset, nextHop);
    std::memcpy(layer + mf::kLayerMaskOffset, mask, mf::kMaskSize);
}

// An "F" packet: tag, id, encrypted layer.
ByteBuffer BuildForwardPacket(uint32_t id, std::span<const uint8_t> encryptedLayer) {
    ByteBuffer packet(static_cast<uint32_t>(mf::kForwardLayerOffset + encryptedLayer.size()));
    uint8_t* out = packet.MutableData();
    out[mf::kTagOffset] = mf::kForwardTag;
    mf::StoreMessageId(out + mf::kForwardIdOffset, id);
    std::memcpy(out + mf::kForwardLayerOffset, encryptedLayer.data(), encryptedLayer.size());
    return packet;
}

// An "R" packet: tag, the sending parlon's address, id, the masked reply text.
ByteBuffer BuildReplyPacket(const PeerAddress& sender, uint32_t id, const TextField& maskedText) {
    ByteBuffer packet(static_cast<uint32_t>(mf::kReplyPacketSize));
    uint8_t* out = packet.MutableData();
    out[mf::kTagOffset] = mf::kReplyTag;
    mf::StoreAddress(out + mf::kReplySenderOffset, sender);
    mf::StoreMessageId(out + mf::kReplyIdOffset, id);
    std::memcpy(out + mf::kReplyTextOffset, maskedText.data(), maskedText.size());
    return packet;
}

// `text` XORed with every 112-byte mask of `masks`: masks a reply once at each hop, and
// unmasks it at the sender, which holds all of them.
TextField ApplyMasks(const TextField& text, std::span<const uint8_t> masks) {
    assert(masks.size() % mf::kMaskSize == 0);
    TextField result = text;
    for (size_t offset = 0; offset < masks.size(); offset += mf::kMaskSize) {
        for (size_t index = 0; index < result.size(); ++index) {
            result[index] ^= masks[offset + index];
        }
    }
    return result;
}

// The first entry with `address`, if any.
std::optional<uint32_t> FindEntry(const std::vector<ParlonEntry>& parlons,
                                  const PeerAddress& address) {
    auto found = std::find_if(parlons.begin(), parlons.end(),
                              [&](const ParlonEntry& entry) { return entry.Address() == address; });
    if (found == parlons.end()) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(found - parlons.begin());
}

bool IsEntryOf(const std::vector<ParlonEntry>* parlons, const PeerAddress& address) {
    return parlons != nullptr && FindEntry(*parlons, address).has_value();
}

// Whether a packet of `length` bytes is an "F" packet of a path of at most `hopCount` layers
// at some position on it: a relay further along gets one of the shorter lengths.
bool IsForwardLengthOfHopCount(size_t length, uint32_t hopCount) {
    for (uint32_t layers = 1; layers <= std::max(hopCount, 1u); ++layers) {
        if (length == mf::ForwardPacketSize(layers)) {
            return true;
        }
    }
    return false;
}

// Crypto++ makes the OAEP encoding method on its first use and publishes it with a release
// fence that follows the store, which orders nothing: a thread that finds it made may read it
// before it is whole (ThreadSanitizer reports this when two parlons of one process first
// encrypt at once; the LayerDecryptor workers share it too). Making it once under the guard of
// a function-local static gives every later use, on any thread, a happens-before edge.
void MakeOaepOnce() {
    static const bool made = [] {
        CryptoPP::Singleton<CryptoPP::OAEP<CryptoPP::SHA1>>().Ref();
        return true;
    }();
    static_cast<void>(made);
}

}  // namespace

// Everything the context holds, and the three operations on it. The operations may throw what
// Crypto++ or the allocator throws; the public members catch it.
struct EncryptionContext::State {
    State(const PeerAddress& ownAddress, const std::vector<ParlonEntry>& parlons, KeyPair keys,
          std::unique_ptr<CryptoPP::RandomNumberGenerator> rng)
        : m_rng(std::move(rng)),
          m_keys(std::move(keys)),
          m_layerDecryptor(m_keys.PrivateKey(), LayerDecryptor::DefaultWorkerCount()),
          m_routes(kMaxRouteRecords, kRouteQuotaPerSource),
          m_parlons(parlons),
          m_ownAddress(ownAddress) {}

    std::optional<ByteBuffer> WrapMessage(const TextField& text, uint32_t destIndex,
                                          PeerAddress& firstHop);
    // A message for us sets `serial` to its record's number and `messageId` to its id.
    std::optional<ByteBuffer> OpenForward(const ByteBuffer& packet, const PeerAddress& source,
                                          PeerAddress& nextHop, uint64_t& serial,
                                          uint32_t& messageId);
    std::optional<ByteBuffer> PassReply(const ByteBuffer& packet, const PeerAddress& source,
                                        PeerAddress& nextHop);
    std::optional<ByteBuffer> WrapReply(const TextField& text, uint64_t serial,
                                        PeerAddress& previousHop);
    // Adds `record`, living from now for the route lifetime; its serial number, or nullopt
    // when the table refuses it.
    std::optional<uint64_t> AddRoute(RouteRecord record);
    // Whether `address` is a complete address of an entry of the list in use or received.
    bool IsParlon(const PeerAddress& address) const;
    // The id of a new link to `to`: one that no record uses on a link to `to`, so that the
    // reply finds its own record.
    uint32_t DrawOutgoingId(const PeerAddress& to);

    // Relay choice, masks, ids and the padding of encryption.
    std::unique_ptr<CryptoPP::RandomNumberGenerator> m_rng;
    KeyPair m_keys;
    LayerDecryptor m_layerDecryptor;
    PublicKeyCache m_publicKeys;
    RouteTable m_routes;
    OpenedLayers m_openedLayers;
    const std::vector<ParlonEntry>& m_parlons;
    const std::vector<ParlonEntry>* m_receivedParlons = nullptr;  // set by SetReceivedParlons
    PeerAddress m_ownAddress;
    uint32_t m_hopCount = 1;
    std::chrono::milliseconds m_routeLifetime = kDefaultRouteLifetime;
};

EncryptionContext::EncryptionContext(const PeerAddress& ownAddress,
                                     const std::vector<ParlonEntry>& parlons) {
    MakeOaepOnce();
    auto rng = std::make_unique<CryptoPP::AutoSeededRandomPool>();
    KeyPair keys(*rng);
    m_state = std::make_unique<State>(ownAddress, parlons, std::move(keys), std::move(rng));
}

EncryptionContext::EncryptionContext(const PeerAddress& ownAddress,
                                     const std::vector<ParlonEntry>& parlons, const KeyPair& keys,
                                     std::unique_ptr<CryptoPP::RandomNumberGenerator> rng) {
    assert(rng != nullptr);
    MakeOaepOnce();
    m_state = std::make_unique<State>(ownAddress, parlons, keys, std::move(rng));
}

EncryptionContext::~EncryptionContext() = default;

void EncryptionContext::SetHopCount(uint32_t hopCount) {
    m_state->m_hopCount = std::min(hopCount, kMaxHopCount);
}

uint32_t EncryptionContext::HopCount() const noexcept {
    return m_state->m_hopCount;
}

void EncryptionContext::SetRouteLifetime(std::chrono::milliseconds lifetime) {
    m_state->m_routeLifetime = std::max(lifetime, std::chrono::milliseconds(0));
}

void EncryptionContext::SetReceivedParlons(const std::vector<ParlonEntry>& received) {
    m_state->m_receivedParlons = &received;
}

std::string EncryptionContext::GetPublicKey() const {
    return m_state->m_keys.PublicKeyText();
}

size_t EncryptionContext::RouteCount() const noexcept {
    return m_state->m_routes.Size();
}

const KeyPair& EncryptionContext::GetKeyPair() const noexcept {
    return m_state->m_keys;
}

std::optional<ByteBuffer> EncryptionContext::WrapMessage(const TextField& text, uint32_t destIndex,
                                                         PeerAddress& firstHop) {
    try {
        return m_state->WrapMessage(text, destIndex, firstHop);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<ByteBuffer> EncryptionContext::Unwrap(const ByteBuffer& packet,
                                                    const PeerAddress& source, PeerAddress& nextHop,
                                                    ReplyHandle& message) {
    try {
        if (packet.Length() == 0) {
            return std::nullopt;
        }
        switch (packet.Data()[mf::kTagOffset]) {
            case mf::kForwardTag: {
                uint64_t serial = 0;
                uint32_t messageId = 0;
                std::optional<ByteBuffer> opened =
                    m_state->OpenForward(packet, source, nextHop, serial, messageId);
                if (opened) {
                    message = ReplyHandle(serial, messageId);
                }
                return opened;
            }
            case mf::kReplyTag: {
                std::optional<ByteBuffer> passed = m_state->PassReply(packet, source, nextHop);
                if (passed) {
                    message = ReplyHandle();
                }
                return passed;
            }
            default:
                return std::nullopt;
        }
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<ByteBuffer> EncryptionContext::WrapReply(const TextField& text,
                                                       const ReplyHandle& message,
                                                       PeerAddress& previousHop) {
    try {
        if (!message.NamesARecord()) {
            return std::nullopt;
        }
        return m_state->WrapReply(text, message.Record(), previousHop);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<ByteBuffer> EncryptionContext::State::WrapMessage(const TextField& text,
                                                                uint32_t destIndex,
                                                                PeerAddress& firstHop) {
    const std::vector<ParlonEntry>& parlons = m_parlons;
    const uint32_t hops = m_hopCount;
    const std::optional<uint32_t> ownIndex = FindEntry(parlons, m_ownAddress);
    if (hops == 0 || !ownIndex || destIndex >= parlons.size() || parlons.size() > UINT32_MAX) {
        return std::nullopt;
    }

    // The path: this parlon, hops - 1 relays drawn from the whole list, the addressee.
    std::vector<uint32_t> path(size_t{hops} + 1);
    path.front() = *ownIndex;
    for (uint32_t hop = 1; hop < hops; ++hop) {
        path[hop] = DrawRelayIndex(*m_rng, static_cast<uint32_t>(parlons.size()));
    }
    path.back() = destIndex;
    auto address = [&](uint32_t hop) { return parlons[path[hop]].Address(); };

    // M0..M(hops-1); the parlon at path[k] finds M(hops-k) in its layer.
    LayerPlaintext masks(size_t{hops} * mf::kMaskSize);
    DrawMaskBytes(*m_rng, masks);
    auto mask = [&](uint32_t index) { return masks.data() + size_t{index} * mf::kMaskSize; };
    // Nobody listens at an address without both its parts: a path through it leads nowhere.
    for (uint32_t hop = 1; hop <= hops; ++hop) {
        if (!address(hop).IsComplete()) {
            return std::nullopt;
        }
    }
    const uint32_t id = DrawOutgoingId(address(1));

    // From the addressee's layer outwards, each encrypted for the parlon that opens it.
    LayerPlaintext layer(mf::kAddresseeLayerSize);
    WriteLayerHeader(layer.data(), address(hops - 1), PeerAddress{}, mask(0));
    std::memcpy(layer.data() + mf::kLayerBodyOffset, text.data(), text.size());
    Bytes encrypted;
    for (uint32_t hop = hops; hop >= 1; --hop) {
        const CryptoPP::RSAES_OAEP_SHA_Encryptor* encryptor =
            m_publicKeys.Find(parlons[path[hop]].PublicKeyText());
        if (encryptor == nullptr) {
            return std::nullopt;
        }
        encrypted = EncryptLayer(*encryptor, *m_rng, layer);
        if (hop > 1) {
            layer.resize(mf::kLayerHeaderSize + encrypted.size());
            WriteLayerHeader(layer.data(), address(hop - 2), address(hop), mask(hops - hop + 1));
            std::memcpy(layer.data() + mf::kLayerBodyOffset, encrypted.data(), encrypted.size());
        }
    }

    ByteBuffer packet = BuildForwardPacket(id, encrypted);
    if (!AddRoute({RouteRole::Sender, PeerAddress{}, address(1), 0, id, std::move(masks), text})) {
        return std::nullopt;
    }
    firstHop = address(1);
    return packet;
}

std::optional<uint64_t> EncryptionContext::State::AddRoute(RouteRecord record) {
    const Clock::time_point now = Clock::now();
    return m_routes.Add(std::move(record), now, now + m_routeLifetime);
}

bool EncryptionContext::State::IsParlon(const PeerAddress& address) const {
    return address.IsComplete() &&
           (IsEntryOf(&m_parlons, address) || IsEntryOf(m_receivedParlons, address));
}

std::optional<ByteBuffer> EncryptionContext::State::OpenForward(const ByteBuffer& packet,
                                                                const PeerAddress& source,
                                                                PeerAddress& nextHop,
                                                                uint64_t& serial,
                                                                uint32_t& messageId) {
    // Everything that can be told without decryption is dropped before it: a length that no
    // packet of the hop count in force has, id 0 (at the addressee it would read as a reply),
    // and a layer that this key pair has opened before.
    if (!IsForwardLengthOfHopCount(packet.Length(), m_hopCount)) {
        return std::nullopt;
    }
    const uint32_t incomingId = mf::LoadMessageId(packet.Data() + mf::kForwardIdOffset);
    if (incomingId == 0) {
        return std::nullopt;
    }
    const std::span<const uint8_t> encryptedLayer = packet.Bytes().subspan(mf::kForwardLayerOffset);
    const OpenedLayers::Digest digest = OpenedLayers::DigestOf(encryptedLayer);
    if (m_openedLayers.Contains(digest)) {
        return std::nullopt;
    }

    std::optional<LayerPlaintext> opened = m_layerDecryptor.Decrypt(encryptedLayer);
    if (!opened || opened->size() < mf::kLayerHeaderSize) {
        return std::nullopt;
    }
    const LayerPlaintext& layer = *opened;
    const PeerAddress previousHop = mf::LoadAddress(layer.data() + mf::kLayerPreviousHopOffset);
    const PeerAddress layerNextHop = mf::LoadAddress(layer.data() + mf::kLayerNextHopOffset);
    const auto maskBegin = layer.begin() + mf::kLayerMaskOffset;
    const std::span<const uint8_t> body =
        std::span<const uint8_t>(layer).subspan(mf::kLayerBodyOffset);
    // The reply goes back to the previous hop, which is the parlon the packet came from.
    if (!IsParlon(previousHop) || previousHop.ip != source.ip) {
        return std::nullopt;
    }
    const bool forUs = layerNextHop.IsNone();
    if (forUs) {
        // The addressee's layer is exactly its header and the text field.
        if (layer.size() != mf::kAddresseeLayerSize) {
            return std::nullopt;
        }
    } else if (!IsParlon(layerNextHop) || body.size() % mf::kBlockSize != 0 ||
               body.size() < mf::kMinLayerBlocks * mf::kBlockSize) {
        // A relay's layer names a parlon and carries a whole layer for it.
        return std::nullopt;
    }

    const uint32_t newId = forUs ? 0 : DrawOutgoingId(layerNextHop);
    const std::optional<uint64_t> added = AddRoute(
        {forUs ? RouteRole::Addressee : RouteRole::Relay, previousHop, layerNextHop, incomingId,
         newId, LayerPlaintext(maskBegin, maskBegin + mf::kMaskSize), std::nullopt});
    if (!added) {
        return std::nullopt;
    }
    // Only a layer that opened and was taken counts: garbage cannot push real digests out.
    m_openedLayers.Insert(digest);
    nextHop = layerNextHop;
    if (forUs) {
        serial = *added;
        messageId = incomingId;
        return ByteBuffer(body);
    }
    messageId = 0;
    return BuildForwardPacket(newId, body);
}

std::optional<ByteBuffer> EncryptionContext::State::PassReply(const ByteBuffer& packet,
                                                              const PeerAddress& source,
                                                              PeerAddress& nextHop) {
    if (packet.Length() != mf::kReplyPacketSize) {
        return std::nullopt;
    }
    const uint8_t* bytes = packet.Data();
    const PeerAddress sender = mf::LoadAddress(bytes + mf::kReplySenderOffset);
    const uint32_t id = mf::LoadMessageId(bytes + mf::kReplyIdOffset);
    // A reply counts only from the parlon it names: anyone else guessing ids is not heard.
    if (!sender.IsComplete() || sender.ip != source.ip) {
        return std::nullopt;
    }
    std::optional<RouteRecord> record = m_routes.TakeForReplyFrom(sender, id, Clock::now());
    if (!record || (record->role != RouteRole::Sender && !IsParlon(record->prevAddress))) {
        return std::nullopt;
    }
    TextField reply;
    std::memcpy(reply.data(), bytes + mf::kReplyTextOffset, reply.size());
    reply = ApplyMasks(reply, record->masks);

    nextHop = record->prevAddress;
    if (record->role == RouteRole::Sender) {
        assert(record->text.has_value());
        ByteBuffer result(static_cast<uint32_t>(mf::kReplyResultSize));
        std::memcpy(result.MutableData(), record->text->data(), kTextFieldSize);
        std::memcpy(result.MutableData() + kTextFieldSize, reply.data(), kTextFieldSize);
        return result;
    }
    return BuildReplyPacket(m_ownAddress, record->prevMsgId, reply);
}

std::optional<ByteBuffer> EncryptionContext::State::WrapReply(const TextField& text,
                                                              uint64_t serial,
                                                              PeerAddress& previousHop) {
    std::optional<RouteRecord> record = m_routes.TakeAddresseeRecord(serial, Clock::now());
    if (!record || !IsParlon(record->prevAddress)) {
        return std::nullopt;
    }
    previousHop = record->prevAddress;
    return BuildReplyPacket(m_ownAddress, record->prevMsgId, ApplyMasks(text, record->masks));
}

uint32_t EncryptionContext::State::DrawOutgoingId(const PeerAddress& to) {
    // The table holds far fewer records than there are ids, so this ends quickly.
    static_assert(kMaxRouteRecords < mf::kMaxMessageId / 2);
    uint32_t id = DrawMessageId(*m_rng);
    while (m_routes.IsOutgoingIdInUse(to, id)) {
        id = DrawMessageId(*m_rng);
    }
    return id;
}

}  // namespace parlon
