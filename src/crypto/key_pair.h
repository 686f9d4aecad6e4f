// KeyPair: this parlon's RSA key pair (2048-bit modulus, public exponent 17), made once.
//
// The private key is kept only as Crypto++ objects, whose big integers wipe their memory when
// freed; it never leaves the process, so it has no text form. The public key's text is Base64
// of the DER encoding of its X.509 SubjectPublicKeyInfo in lines of 72 characters, every line
// (the last one too) ending in a line feed.
//
// THREAD SAFETY: immutable after construction; any thread may read it.
#pragma once

#include <cryptopp/rsa.h>

#include <string>

namespace parlon {

class KeyPair {
  public:
    // Generates a fresh pair from `rng`. Slow: tens of milliseconds, varying from key to key.
    explicit KeyPair(CryptoPP::RandomNumberGenerator& rng);

    const std::string& PublicKeyText() const noexcept { return m_publicKey; }
    const CryptoPP::InvertibleRSAFunction& PrivateKey() const noexcept { return m_decryptionKey; }

  private:
    CryptoPP::InvertibleRSAFunction m_decryptionKey;
    std::string m_publicKey;
};

}  // namespace parlon
