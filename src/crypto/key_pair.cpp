#include "crypto/key_pair.h"

#include <cryptopp/base64.h>
#include <cryptopp/filters.h>

#include "crypto/message_format.h"

namespace parlon {

namespace {

constexpr int kKeyTextLineLength = 72;

// Writes the Base64 key text of `key`'s DER encoding into `out`.
void EncodeKeyText(const CryptoPP::ASN1Object& key, CryptoPP::BufferedTransformation& out) {
    CryptoPP::Base64Encoder encoder(new CryptoPP::Redirector(out), true, kKeyTextLineLength);
    key.DEREncode(encoder);
    encoder.MessageEnd();
}

}  // namespace

KeyPair::KeyPair(CryptoPP::RandomNumberGenerator& rng) {
    m_decryptionKey.Initialize(rng, message_format::kModulusBits, message_format::kPublicExponent);

    // A plain RSAFunction, so that DEREncode writes the public (X.509) form.
    CryptoPP::RSAFunction publicKey;
    publicKey.Initialize(m_decryptionKey.GetModulus(), m_decryptionKey.GetPublicExponent());
    CryptoPP::StringSink publicText(m_publicKey);
    EncodeKeyText(publicKey, publicText);
}

}  // namespace parlon
