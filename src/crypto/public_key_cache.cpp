#include "crypto/public_key_cache.h"

#include <cryptopp/base64.h>
#include <cryptopp/filters.h>

#include "crypto/message_format.h"

namespace parlon {

// A key of another size would not make 256-byte blocks. Level 0 of Validate makes no random
// draws, so no generator is needed.
std::unique_ptr<CryptoPP::RSAES_OAEP_SHA_Encryptor> DecodePublicKey(std::string_view keyText) {
    try {
        CryptoPP::StringSource source(reinterpret_cast<const CryptoPP::byte*>(keyText.data()),
                                      keyText.size(), true, new CryptoPP::Base64Decoder);
        auto encryptor = std::make_unique<CryptoPP::RSAES_OAEP_SHA_Encryptor>(source);
        const CryptoPP::RSAFunction& key = encryptor->GetKey();
        if (key.GetModulus().BitCount() != message_format::kModulusBits ||
            !key.Validate(CryptoPP::NullRNG(), 0)) {
            return nullptr;
        }
        return encryptor;
    } catch (const CryptoPP::Exception&) {
        return nullptr;
    }
}

const CryptoPP::RSAES_OAEP_SHA_Encryptor* PublicKeyCache::Find(std::string_view keyText) {
    std::string key(keyText);
    if (auto found = m_encryptors.find(key); found != m_encryptors.end()) {
        return found->second.get();
    }
    std::unique_ptr<CryptoPP::RSAES_OAEP_SHA_Encryptor> encryptor = DecodePublicKey(keyText);
    if (encryptor == nullptr) {
        return nullptr;
    }
    if (m_encryptors.size() >= kCapacity) {
        m_encryptors.erase(m_encryptors.begin());
    }
    return m_encryptors.emplace(std::move(key), std::move(encryptor)).first->second.get();
}

}  // namespace parlon
