#include "crypto/public_key_cache.h"

#include <cryptopp/base64.h>
#include <cryptopp/filters.h>

#include "crypto/message_format.h"

namespace parlon {

namespace {

// Decodes `keyText`; null when it does not decode, or decodes to a key of another size (whose
// blocks would not be 256 bytes) or to one that fails Crypto++'s basic checks.
std::unique_ptr<CryptoPP::RSAES_OAEP_SHA_Encryptor> Decode(std::string_view keyText,
                                                           CryptoPP::RandomNumberGenerator& rng) {
    try {
        CryptoPP::StringSource source(reinterpret_cast<const CryptoPP::byte*>(keyText.data()),
                                      keyText.size(), true, new CryptoPP::Base64Decoder);
        auto encryptor = std::make_unique<CryptoPP::RSAES_OAEP_SHA_Encryptor>(source);
        const CryptoPP::RSAFunction& key = encryptor->GetKey();
        if (key.GetModulus().BitCount() != message_format::kModulusBits || !key.Validate(rng, 0)) {
            return nullptr;
        }
        return encryptor;
    } catch (const CryptoPP::Exception&) {
        return nullptr;
    }
}

}  // namespace

const CryptoPP::RSAES_OAEP_SHA_Encryptor* PublicKeyCache::Find(
    std::string_view keyText, CryptoPP::RandomNumberGenerator& rng) {
    std::string key(keyText);
    if (auto found = m_encryptors.find(key); found != m_encryptors.end()) {
        return found->second.get();
    }
    std::unique_ptr<CryptoPP::RSAES_OAEP_SHA_Encryptor> encryptor = Decode(keyText, rng);
    if (encryptor == nullptr) {
        return nullptr;
    }
    if (m_encryptors.size() >= kCapacity) {
        m_encryptors.erase(m_encryptors.begin());
    }
    return m_encryptors.emplace(std::move(key), std::move(encryptor)).first->second.get();
}

}  // namespace parlon
