#include "crypto/layer_encryption.h"

#include <algorithm>
#include <cassert>

#include "crypto/message_format.h"

namespace parlon {

std::vector<uint8_t> EncryptLayer(const CryptoPP::RSAES_OAEP_SHA_Encryptor& encryptor,
                                  CryptoPP::RandomNumberGenerator& rng,
                                  std::span<const uint8_t> plaintext) {
    using message_format::kBlockSize;
    using message_format::kChunkSize;
    assert(encryptor.FixedCiphertextLength() == kBlockSize);

    std::vector<uint8_t> layer(message_format::EncryptedSize(plaintext.size()));
    uint8_t* block = layer.data();
    for (size_t offset = 0; offset < plaintext.size(); offset += kChunkSize) {
        const size_t chunk = std::min(kChunkSize, plaintext.size() - offset);
        encryptor.Encrypt(rng, plaintext.data() + offset, chunk, block);
        block += kBlockSize;
    }
    return layer;
}

}  // namespace parlon
