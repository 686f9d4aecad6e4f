#include "crypto/key_pair.h"

#include <cryptopp/base64.h>
#include <cryptopp/filters.h>

#include "crypto/message_format.h"

namespace parlon {

namespace {

constexpr int kKeyTextLineLength = 72;

}  // namespace

KeyPair::KeyPair(CryptoPP::RandomNumberGenerator& rng) {
    m_decryptionKey.Initialize(rng, message_format::kModulusBits, message_format::kPublicExponent);

    // A plain RSAFunction, so that DEREncode writes the public (X.509) form; its Base64 text in
    // lines of 72 characters, the last one ended too by MessageEnd.
    CryptoPP::RSAFunction publicKey;
    publicKey.Initialize(m_decryptionKey.GetModulus(), m_decryptionKey.GetPublicExponent());
    CryptoPP::Base64Encoder encoder(new CryptoPP::StringSink(m_publicKey), true,
                                    kKeyTextLineLength);
    publicKey.DEREncode(encoder);
    encoder.MessageEnd();
}

}  // namespace parlon
