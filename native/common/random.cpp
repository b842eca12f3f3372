#include "random.hpp"

#include <pthread.h>
#include <sys/random.h>

#include <cerrno>
#include <cstring>

#include "io.hpp"

namespace larkspan::random {

namespace {

constexpr std::uint32_t kConstants[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
constexpr unsigned kRefillsPerSeeding = 32;  // 256 KiB of draws
constexpr std::size_t kBlockWords = 16;

// The ChaCha state of several consecutive blocks, word by word: vector i
// holds word i of every block, one block per lane, so each step of a round is
// one vector instruction for all the blocks. A single block is the case of
// one lane.
template <class Lanes>
struct State {
    Lanes word[kBlockWords];
};

template <int Bits, class Lanes>
[[gnu::always_inline]] inline void rotate_left(Lanes& v) {
    v = (v << Bits) | (v >> (32 - Bits));
}

template <class Lanes>
[[gnu::always_inline]] inline void quarter_round(Lanes& a, Lanes& b, Lanes& c, Lanes& d) {
    a += b, d ^= a, rotate_left<16>(d);
    c += d, b ^= c, rotate_left<12>(b);
    a += b, d ^= a, rotate_left<8>(d);
    c += d, b ^= c, rotate_left<7>(b);
}

// `count` lanes' worth of consecutive key stream blocks, written in block
// order to `out`.
template <class Lanes, std::size_t count>
[[gnu::always_inline]] inline void blocks(const ChaChaKey& key, std::uint32_t counter,
                                          const ChaChaNonce& nonce, std::uint32_t* out) {
    State<Lanes> start, x;
    for (int i = 0; i < 4; ++i) start.word[i] = Lanes{} + kConstants[i];
    for (int i = 0; i < 8; ++i) start.word[4 + i] = Lanes{} + key[i];
    start.word[12] = Lanes{} + counter;
    if constexpr (count > 1)
        for (std::size_t l = 0; l < count; ++l) start.word[12][l] += static_cast<std::uint32_t>(l);
    for (int i = 0; i < 3; ++i) start.word[13 + i] = Lanes{} + nonce[i];
    x = start;
    auto* w = x.word;
    for (int double_round = 0; double_round < 10; ++double_round) {
        quarter_round(w[0], w[4], w[8], w[12]);
        quarter_round(w[1], w[5], w[9], w[13]);
        quarter_round(w[2], w[6], w[10], w[14]);
        quarter_round(w[3], w[7], w[11], w[15]);
        quarter_round(w[0], w[5], w[10], w[15]);
        quarter_round(w[1], w[6], w[11], w[12]);
        quarter_round(w[2], w[7], w[8], w[13]);
        quarter_round(w[3], w[4], w[9], w[14]);
    }
    std::uint32_t rows[kBlockWords][count];
    for (std::size_t i = 0; i < kBlockWords; ++i) {
        const Lanes sum = w[i] + start.word[i];
        std::memcpy(rows[i], &sum, sizeof rows[i]);
    }
    for (std::size_t l = 0; l < count; ++l)
        for (std::size_t i = 0; i < kBlockWords; ++i) out[l * kBlockWords + i] = rows[i][l];
}

using Lanes1 = std::uint32_t;
using Lanes4 = std::uint32_t __attribute__((vector_size(16)));
using Lanes8 = std::uint32_t __attribute__((vector_size(32)));
using Lanes16 = std::uint32_t __attribute__((vector_size(64)));

// Whole groups of blocks at a time, as wide as the processor's vectors: the
// widths are compiled each for its instruction set and the widest the
// processor has is picked once, at load time.
using WideStream = std::size_t (*)(const ChaChaKey&, std::uint32_t, const ChaChaNonce&,
                                   std::uint32_t*, std::size_t);

template <class Lanes, std::size_t count>
[[gnu::always_inline]] inline std::size_t groups_of(const ChaChaKey& key, std::uint32_t counter,
                                                    const ChaChaNonce& nonce, std::uint32_t* out,
                                                    std::size_t block_count) {
    const std::size_t whole = block_count / count * count;
    for (std::size_t b = 0; b < whole; b += count)
        blocks<Lanes, count>(key, counter + static_cast<std::uint32_t>(b), nonce,
                             out + b * kBlockWords);
    return whole;
}

std::size_t stream_128(const ChaChaKey& key, std::uint32_t counter, const ChaChaNonce& nonce,
                       std::uint32_t* out, std::size_t block_count) {
    return groups_of<Lanes4, 4>(key, counter, nonce, out, block_count);
}

#if defined(__x86_64__)
[[gnu::target("avx2")]]
std::size_t stream_256(const ChaChaKey& key, std::uint32_t counter, const ChaChaNonce& nonce,
                       std::uint32_t* out, std::size_t block_count) {
    return groups_of<Lanes8, 8>(key, counter, nonce, out, block_count);
}

[[gnu::target("avx512f")]]
std::size_t stream_512(const ChaChaKey& key, std::uint32_t counter, const ChaChaNonce& nonce,
                       std::uint32_t* out, std::size_t block_count) {
    return groups_of<Lanes16, 16>(key, counter, nonce, out, block_count);
}

WideStream widest_stream() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return stream_512;
    if (__builtin_cpu_supports("avx2")) return stream_256;
    return stream_128;
}
#else
WideStream widest_stream() { return stream_128; }
#endif

const WideStream wide_stream = widest_stream();

Status fill_from_os(void* out, std::size_t size) {
    auto* bytes = static_cast<unsigned char*>(out);
    while (size > 0) {
        const ssize_t got = getrandom(bytes, size, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            const int errnum = errno;
            return fail(Error::os("the random generator failed: " + io::os_error_text(errnum),
                                  errnum));
        }
        bytes += got;
        size -= static_cast<std::size_t>(got);
    }
    return {};
}

constinit thread_local SecureDraws t_draws;

// A forked child holds a copy of the forking thread's generator; it must not
// hand out the draws its parent hands out too.
void forget_in_child() { t_draws.forget(); }
[[maybe_unused]] const int fork_handler = pthread_atfork(nullptr, nullptr, forget_in_child);

}  // namespace

ChaChaBlock chacha20_block(const ChaChaKey& key, std::uint32_t counter,
                           const ChaChaNonce& nonce) {
    ChaChaBlock out;
    blocks<Lanes1, 1>(key, counter, nonce, out.data());
    return out;
}

void chacha20_stream(const ChaChaKey& key, std::uint32_t counter, const ChaChaNonce& nonce,
                     std::span<std::uint32_t> words) {
    const std::size_t count = words.size() / kBlockWords;
    for (std::size_t b = wide_stream(key, counter, nonce, words.data(), count); b < count; ++b) {
        const auto block = chacha20_block(key, counter + static_cast<std::uint32_t>(b), nonce);
        std::memcpy(words.data() + b * kBlockWords, block.data(), sizeof block);
    }
}

void SecureDraws::forget() noexcept {
    explicit_bzero(words_.data(), sizeof words_);
    explicit_bzero(key_.data(), sizeof key_);
    next_ = kDraws;
    refills_left_ = 0;
}

// Fast key erasure: the block after the draws' gives the next key, and the
// key that made these draws is overwritten before any of them is used.
Status SecureDraws::refill() {
    if (refills_left_ == 0) {
        if (auto seeded = fill_from_os(key_.data(), sizeof key_); !seeded) return seeded;
        refills_left_ = kRefillsPerSeeding;
    }
    constexpr ChaChaNonce nonce{};  // every key makes one refill only
    constexpr auto draw_blocks = static_cast<std::uint32_t>(2 * kDraws / kBlockWords);
    chacha20_stream(key_, 0, nonce, words_);
    auto next_key = chacha20_block(key_, draw_blocks, nonce);
    std::memcpy(key_.data(), next_key.data(), sizeof key_);
    explicit_bzero(next_key.data(), sizeof next_key);
    --refills_left_;
    next_ = 0;
    return {};
}

SecureDraws& thread_draws() { return t_draws; }

}  // namespace larkspan::random
