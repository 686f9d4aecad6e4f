// LayerDecryptor: opens an encrypted layer with this parlon's private key, decrypting the
// blocks of the layer in parallel on the machine's cores.
//
// The blocks of a layer are independent, so a small pool of worker threads, started at
// construction and stopped at destruction, shares them out with the calling thread. Every
// thread has its own copy of the private key and its own random generator (RSA decryption
// draws random numbers to blind the key). A thread claims one block at a time and writes its
// chunk to the chunk's own place, so the result is the same byte for byte however the blocks
// are shared out.
//
// THREAD SAFETY: Decrypt may be called from one thread at a time (the owner's).
#pragma once

#include <cryptopp/osrng.h>
#include <cryptopp/rsa.h>
#include <cryptopp/secblock.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

namespace parlon {

// An opened layer: it holds a reply mask and perhaps the message text, so its memory is wiped
// when it is freed.
using LayerPlaintext = std::vector<uint8_t, CryptoPP::AllocatorWithCleanup<uint8_t>>;

class LayerDecryptor {
  public:
    // Layers with fewer blocks are opened on the calling thread alone.
    static constexpr size_t kMinBlocksToShare = 2;
    static constexpr unsigned kMaxWorkers = 15;

    // Worker threads that suit this machine: one fewer than its cores (the caller works too).
    static unsigned DefaultWorkerCount() noexcept;

    // Copies `key` (a 2048-bit private key) for every thread and starts `workerCount` workers
    // (fewer if the system refuses threads).
    LayerDecryptor(const CryptoPP::InvertibleRSAFunction& key, unsigned workerCount);
    ~LayerDecryptor();
    LayerDecryptor(const LayerDecryptor&) = delete;
    LayerDecryptor& operator=(const LayerDecryptor&) = delete;

    // The plaintext of the layer made of `blocks`. nullopt, as soon as it is known, when a block
    // fails OAEP decoding or is not a block of this key, or when a chunk other than the last
    // does not hold the full 213 bytes, or the last holds none.
    // REQUIRES: blocks.size() is a positive multiple of 256.
    std::optional<LayerPlaintext> Decrypt(std::span<const uint8_t> blocks);

  private:
    struct BlockDecryptor {
        explicit BlockDecryptor(const CryptoPP::InvertibleRSAFunction& key) : decryptor(key) {}
        CryptoPP::RSAES_OAEP_SHA_Decryptor decryptor;
        CryptoPP::AutoSeededRandomPool rng;
    };
    struct Worker {
        explicit Worker(const CryptoPP::InvertibleRSAFunction& key) : blockDecryptor(key) {}
        BlockDecryptor blockDecryptor;
        std::thread thread;
    };
    struct Job;

    static void Work(Job& job, BlockDecryptor& own) noexcept;
    void RunWorker(BlockDecryptor& own);

    BlockDecryptor m_callerDecryptor;
    std::vector<std::unique_ptr<Worker>> m_workers;

    // Guarded by m_mutex: the job on offer (null when none), its number, the workers still
    // inside it, and the stop request.
    std::mutex m_mutex;
    std::condition_variable m_jobOffered;
    std::condition_variable m_workersDone;
    Job* m_job = nullptr;
    uint64_t m_jobNumber = 0;
    unsigned m_busyWorkers = 0;
    bool m_stopping = false;
};

}  // namespace parlon
