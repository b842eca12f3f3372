// ChaCha20 against RFC 8439, and the draws of the sampling generator.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "common/random.hpp"

using namespace larkspan::random;

namespace {

// The little-endian words of the bytes written in hex.
template <std::size_t N>
std::array<std::uint32_t, N> words_le(std::string_view hex) {
    std::array<std::uint32_t, N> words{};
    for (std::size_t i = 0; i < 4 * N; ++i)
        words[i / 4] |= static_cast<std::uint32_t>(std::stoul(std::string(hex.substr(2 * i, 2)), nullptr, 16))
                        << (8 * (i % 4));
    return words;
}

struct BlockVector { const char *key; std::uint32_t counter; const char *nonce, *key_stream; };

// RFC 8439: the block function example (2.3.2) and block test vectors #1, #5 (A.1).
constexpr BlockVector kRfc8439[] = {
    {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", 1,
     "000000090000004a00000000",
     "10f1e7e4d13b5915500fdd1fa32071c4c7d1f4c733c068030422aa9ac3d46c4e"
     "d2826446079faa0914c2d705d98b02a2b5129cd1de164eb9cbd083e8a2503c4e"},
    {"0000000000000000000000000000000000000000000000000000000000000000", 0,
     "000000000000000000000000",
     "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7"
     "da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586"},
    {"0000000000000000000000000000000000000000000000000000000000000000", 0,
     "000000000000000000000002",
     "c2c64d378cd536374ae204b9ef933fcd1a8b2288b3dfa49672ab765b54ee27c7"
     "8a970e0e955c14f3a88e741b97c286f75f8fc299e8148362fa198a39531bed6d"},
};

class ChaCha20Vectors : public testing::TestWithParam<BlockVector> {};

// The block function gives the vector's key stream; the vectorised stream agrees
// with it for any number of blocks (whole groups and a remainder).
TEST_P(ChaCha20Vectors, BlockAndStream) {
    const auto& v = GetParam();
    const auto key = words_le<8>(v.key);
    const auto nonce = words_le<3>(v.nonce);
    EXPECT_EQ(chacha20_block(key, v.counter, nonce), words_le<16>(v.key_stream));
    for (std::size_t count : {1u, 7u, 8u, 9u, 17u, 129u}) {
        std::vector<std::uint32_t> stream(count * 16);
        chacha20_stream(key, v.counter, nonce, stream);
        for (std::size_t b = 0; b < count; ++b) {
            const auto block = chacha20_block(key, v.counter + static_cast<std::uint32_t>(b), nonce);
            ASSERT_TRUE(std::equal(block.begin(), block.end(), stream.begin() + b * 16))
                << count << " blocks, block " << b;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rfc8439, ChaCha20Vectors, testing::ValuesIn(kRfc8439));

std::vector<std::uint64_t> take(SecureDraws& draws, std::size_t n) {
    std::vector<std::uint64_t> out;
    for (std::size_t i = 0; i < n; ++i) out.push_back(draws.next().value_or(0));
    return out;
}

}  // namespace

// Across many refills and seedings, two generators never give one value
// twice, and every bit is fair.
TEST(SecureDraws, DistinctUniformDraws) {
    SecureDraws a, b;
    std::set<std::uint64_t> seen;
    for (auto x : take(a, 40000)) seen.insert(x);
    for (auto x : take(b, 40000)) seen.insert(x);
    EXPECT_EQ(seen.size(), 80000u);
    const int n = 200000;
    std::array<int, 64> ones{};
    for (int i = 0; i < n; ++i) {
        const std::uint64_t x = a.next().value();
        for (int bit = 0; bit < 64; ++bit) ones[bit] += (x >> bit) & 1;
    }
    for (int bit = 0; bit < 64; ++bit) EXPECT_NEAR(ones[bit], n / 2, n / 50) << "bit " << bit;
}

// A forked child continues from a copy of its parent's generator; its draws
// must still differ from the parent's.
TEST(SecureDraws, ForkedChildDrawsItsOwnSequence) {
    auto& draws = thread_draws();
    take(draws, 3);
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(write(ends[1], take(thread_draws(), 4).data(), 32) == 32 ? 0 : 1);
    close(ends[1]);
    std::vector<std::uint64_t> childs(4);
    const bool received = read(ends[0], childs.data(), 32) == 32;
    close(ends[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(received && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(childs, take(draws, 4));
}
