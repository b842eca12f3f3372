#pragma once
// Unpredictable 64-bit draws for random sampling.
//
// Each thread has its own generator: a ChaCha20 key stream whose 256-bit key
// comes from the operating system's random source (getrandom) on first use
// in the thread and again every few hundred kilobytes of output. Between two
// such seedings each refill derives the next key from the key stream itself
// and forgets the old one, so the generator's state never reveals draws it
// has already handed out. A child process made by fork starts a fresh
// seeding instead of repeating its parent's draws. Nothing here can be seeded
// by a caller, so two runs never draw the same sequence.
//
// Draws are made in blocks of 8 KiB: several ChaCha20 blocks are computed
// side by side in vector registers, which keeps a draw to a few nanoseconds.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "error.hpp"

namespace larkspan::random {

using ChaChaKey = std::array<std::uint32_t, 8>;
using ChaChaNonce = std::array<std::uint32_t, 3>;
using ChaChaBlock = std::array<std::uint32_t, 16>;

// One 64-byte block of the ChaCha20 key stream, as its 16 little-endian
// words: the block function of RFC 8439 for a key, a block counter and a
// nonce.
ChaChaBlock chacha20_block(const ChaChaKey& key, std::uint32_t counter,
                           const ChaChaNonce& nonce);

// The key stream blocks counter, counter + 1, ... filling `words` (a whole
// number of blocks), equal to chacha20_block called for each in turn.
void chacha20_stream(const ChaChaKey& key, std::uint32_t counter, const ChaChaNonce& nonce,
                     std::span<std::uint32_t> words);

class SecureDraws {
public:
    constexpr SecureDraws() = default;

    // The next draw, uniformly distributed over all 64-bit values.
    Result<std::uint64_t> next() {
        if (next_ == kDraws) {
            if (auto filled = refill(); !filled) return fail(filled.error());
        }
        std::uint64_t draw;
        std::memcpy(&draw, &words_[2 * next_++], sizeof draw);
        return draw;
    }

    // The next out.size() draws, in order, as next() would give them.
    Status next_n(std::span<std::uint64_t> out) {
        for (std::size_t done = 0; done < out.size();) {
            if (next_ == kDraws) {
                if (auto filled = refill(); !filled) return filled;
            }
            const std::size_t n = std::min(out.size() - done, kDraws - next_);
            std::memcpy(out.data() + done, &words_[2 * next_], n * sizeof(std::uint64_t));
            next_ += n;
            done += n;
        }
        return {};
    }

    // Drops the key and every draw not yet handed out; the next draw seeds
    // anew from the operating system.
    void forget() noexcept;

private:
    Status refill();

    static constexpr std::size_t kDraws = 1024;

    std::array<std::uint32_t, 2 * kDraws> words_{};  // key stream, little-endian words
    std::size_t next_ = kDraws;
    ChaChaKey key_{};
    unsigned refills_left_ = 0;  // before the next seeding; 0: not seeded
};

// The calling thread's generator. Take the reference once before a loop of
// draws: finding a thread's own variable costs more than a draw.
SecureDraws& thread_draws();

}  // namespace larkspan::random
