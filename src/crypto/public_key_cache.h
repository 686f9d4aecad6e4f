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

// The encryptor for `keyText` when it is Base64 of an X.509 SubjectPublicKeyInfo holding an RSA
// key with a 2048-bit modulus that passes Crypto++'s basic checks; null otherwise. The center
// admits only key texts this accepts, so that every listed parlon can be encrypted to.
std::unique_ptr<CryptoPP::RSAES_OAEP_SHA_Encryptor> DecodePublicKey(std::string_view keyText);

class PublicKeyCache {
  public:
    static constexpr size_t kCapacity = 512;

    // DecodePublicKey(keyText), decoded once per text. The pointer is valid until the next call.
    const CryptoPP::RSAES_OAEP_SHA_Encryptor* Find(std::string_view keyText);

  private:
    std::unordered_map<std::string, std::unique_ptr<CryptoPP::RSAES_OAEP_SHA_Encryptor>>
        m_encryptors;
};

}  // namespace parlon
