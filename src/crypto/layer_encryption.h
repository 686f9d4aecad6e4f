// Encryption of one layer: the plaintext cut into 213-byte chunks, each encrypted on its own
// with RSAES-OAEP into a 256-byte block.
#pragma once

#include <cryptopp/rsa.h>

#include <cstdint>
#include <span>
#include <vector>

namespace parlon {

// The encrypted layer of `plaintext` under `encryptor` (a 2048-bit key): the blocks in chunk
// order, EncryptedSize(plaintext.size()) bytes. Throws what Crypto++ throws.
std::vector<uint8_t> EncryptLayer(const CryptoPP::RSAES_OAEP_SHA_Encryptor& encryptor,
                                  CryptoPP::RandomNumberGenerator& rng,
                                  std::span<const uint8_t> plaintext);

}  // namespace parlon
