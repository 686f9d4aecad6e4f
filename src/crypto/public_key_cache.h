// PublicKeyCache: the OAEP encryptors of other parlons' public keys, decoded once per key text.
//
// Decoding a key text costs about as much as one encryption, and every layer of every message
// needs one, so the decoded keys are kept. The cache is bounded: a list from the center full of
// distinct keys evicts entries instead of growing memory without end.
//
// THREAD SAFETY: not thread-safe; one thread uses it.
#pragma once

#include <cryptopp/rsa.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

namespace parlon {

class PublicKeyCache {
public:
    static constexpr size_t kCapacity = 512;

    // The encryptor for `keyText`, or null when the text is not a 2048-bit RSA public key
    // (Base64 of an X.509 SubjectPublicKeyInfo). The pointer is valid until the next call.
    const CryptoPP::RSAES_OAEP_SHA_Encryptor* Find(std::string_view keyText,
                                                   CryptoPP::RandomNumberGenerator& rng);

private:
    std::unordered_map<std::string, std::unique_ptr<CryptoPP::RSAES_OAEP_SHA_Encryptor>>
        m_encryptors;
};

}  // namespace parlon
