#include "crypto/layer_decryptor.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cassert>
#include <cstring>
#include <system_error>

#include "crypto/message_format.h"

namespace parlon {

using message_format::kBlockSize;
using message_format::kChunkSize;

// One call of Decrypt, shared by the threads that take part in it.
struct LayerDecryptor::Job {
    std::span<const uint8_t> blocks;
    size_t blockCount = 0;
    uint8_t* plaintext = nullptr;  // blockCount * 213 bytes; block i writes at i * 213
    std::atomic<size_t> nextBlock{0};
    std::atomic<bool> failed{false};
    size_t lastChunkSize = 0;  // written by the thread that opens the last block
};

unsigned LayerDecryptor::DefaultWorkerCount() noexcept {
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    return std::min(cores - 1, kMaxWorkers);
}

LayerDecryptor::LayerDecryptor(const CryptoPP::InvertibleRSAFunction& key, unsigned workerCount)
    : m_callerDecryptor(key) {
    // Every allocation first, so that nothing can throw once a thread runs.
    for (unsigned index = 0; index < workerCount; ++index) {
        m_workers.push_back(std::make_unique<Worker>(key));
    }
    for (auto worker = m_workers.begin(); worker != m_workers.end(); ++worker) {
        try {
            (*worker)->thread =
                std::thread([this, own = &(*worker)->blockDecryptor] { RunWorker(*own); });
        } catch (const std::system_error&) {
            m_workers.erase(worker, m_workers.end());  // work with the threads that did start
            break;
        }
    }
}

LayerDecryptor::~LayerDecryptor() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_jobOffered.notify_all();
    for (auto& worker : m_workers) {
        worker->thread.join();
    }
}

std::optional<LayerPlaintext> LayerDecryptor::Decrypt(std::span<const uint8_t> blocks) {
    assert(!blocks.empty() && blocks.size() % kBlockSize == 0);
    LayerPlaintext plaintext(blocks.size() / kBlockSize * kChunkSize);
    Job job;
    job.blocks = blocks;
    job.blockCount = blocks.size() / kBlockSize;
    job.plaintext = plaintext.data();

    const bool shareOut = !m_workers.empty() && job.blockCount >= kMinBlocksToShare;
    if (shareOut) {
        {
            std::lock_guard lock(m_mutex);
            m_job = &job;
            ++m_jobNumber;
        }
        m_jobOffered.notify_all();
    }
    Work(job, m_callerDecryptor);
    if (shareOut) {
        // Withdraw the offer (a worker that wakes only now stays out) and wait for those in it.
        std::unique_lock lock(m_mutex);
        m_job = nullptr;
        m_workersDone.wait(lock, [this] { return m_busyWorkers == 0; });
    }

    if (job.failed.load()) {
        return std::nullopt;
    }
    plaintext.resize((job.blockCount - 1) * kChunkSize + job.lastChunkSize);
    return plaintext;
}

void LayerDecryptor::Work(Job& job, BlockDecryptor& own) noexcept {
    std::array<uint8_t, message_format::kMaxBlockPlaintext> chunk;
    while (!job.failed.load(std::memory_order_relaxed)) {
        const size_t index = job.nextBlock.fetch_add(1, std::memory_order_relaxed);
        if (index >= job.blockCount) {
            return;
        }
        const bool isLast = index + 1 == job.blockCount;
        size_t chunkSize = 0;
        try {
            const CryptoPP::DecodingResult result = own.decryptor.Decrypt(
                own.rng, job.blocks.data() + index * kBlockSize, kBlockSize, chunk.data());
            if (result.isValidCoding) {
                chunkSize = result.messageLength;
            }
        } catch (...) {
            // A block whose number is not below the modulus makes the key operation throw.
            chunkSize = 0;
        }
        const bool fits =
            isLast ? chunkSize >= 1 && chunkSize <= kChunkSize : chunkSize == kChunkSize;
        if (!fits) {
            job.failed.store(true, std::memory_order_relaxed);
            return;
        }
        std::memcpy(job.plaintext + index * kChunkSize, chunk.data(), chunkSize);
        if (isLast) {
            job.lastChunkSize = chunkSize;
        }
    }
}

void LayerDecryptor::RunWorker(BlockDecryptor& own) {
    uint64_t joinedJob = 0;
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_jobOffered.wait(
            lock, [&] { return m_stopping || (m_job != nullptr && m_jobNumber != joinedJob); });
        if (m_stopping) {
            return;
        }
        joinedJob = m_jobNumber;
        Job& job = *m_job;
        ++m_busyWorkers;
        lock.unlock();
        Work(job, own);
        lock.lock();
        if (--m_busyWorkers == 0) {
            m_workersDone.notify_one();
        }
    }
}

}  // namespace parlon
