#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "common/random.hpp"

using namespace larkspan::random;

namespace {

std::vector<std::uint8_t> from_hex(std::string_view hex) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return bytes;
}

template <std::size_t N>
std::array<std::uint32_t, N> words_le(std::string_view hex) {
    const auto bytes = from_hex(hex);
    std::array<std::uint32_t, N> words{};
    for (std::size_t i = 0; i < N; ++i)
        for (int b = 0; b < 4; ++b) words[i] |= std::uint32_t{bytes.at(4 * i + b)} << (8 * b);
    return words;
}

struct BlockVector {
    const char* key;
    std::uint32_t counter;
    const char* nonce;
    const char* key_stream;
};

// RFC 8439: the block function example (2.3.2) and the block function test
// vectors #1 to #5 (A.1).
constexpr BlockVector kRfc8439[] = {
    {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", 1,
     "000000090000004a00000000",
     "10f1e7e4d13b5915500fdd1fa32071c4c7d1f4c733c068030422aa9ac3d46c4e"
     "d2826446079faa0914c2d705d98b02a2b5129cd1de164eb9cbd083e8a2503c4e"},
    {"0000000000000000000000000000000000000000000000000000000000000000", 0,
     "000000000000000000000000",
     "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7"
     "da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586"},
    {"0000000000000000000000000000000000000000000000000000000000000000", 1,
     "000000000000000000000000",
     "9f07e7be5551387a98ba977c732d080dcb0f29a048e3656912c6533e32ee7aed"
     "29b721769ce64e43d57133b074d839d531ed1f28510afb45ace10a1f4b794d6f"},
    {"0000000000000000000000000000000000000000000000000000000000000001", 1,
     "000000000000000000000000",
     "3aeb5224ecf849929b9d828db1ced4dd832025e8018b8160b82284f3c949aa5a"
     "8eca00bbb4a73bdad192b5c42f73f2fd4e273644c8b36125a64addeb006c13a0"},
    {"00ff000000000000000000000000000000000000000000000000000000000000", 2,
     "000000000000000000000000",
     "72d54dfbf12ec44b362692df94137f328fea8da73990265ec1bbbea1ae9af0ca"
     "13b25aa26cb4a648cb9b9d1be65b2c0924a66c54d545ec1b7374f4872e99f096"},
    {"0000000000000000000000000000000000000000000000000000000000000000", 0,
     "000000000000000000000002",
     "c2c64d378cd536374ae204b9ef933fcd1a8b2288b3dfa49672ab765b54ee27c7"
     "8a970e0e955c14f3a88e741b97c286f75f8fc299e8148362fa198a39531bed6d"},
};

class ChaCha20Vectors : public testing::TestWithParam<BlockVector> {};

TEST_P(ChaCha20Vectors, BlockFunction) {
    const auto& v = GetParam();
    EXPECT_EQ(chacha20_block(words_le<8>(v.key), v.counter, words_le<3>(v.nonce)),
              words_le<16>(v.key_stream));
}

// The vectorised stream must agree with the block function for any number
// of blocks (whole groups and a remainder) and any starting counter.
TEST_P(ChaCha20Vectors, StreamEqualsBlockByBlock) {
    const auto& v = GetParam();
    const auto key = words_le<8>(v.key);
    const auto nonce = words_le<3>(v.nonce);
    for (std::size_t count : {1u, 7u, 8u, 9u, 17u, 129u}) {
        std::vector<std::uint32_t> stream(count * 16);
        chacha20_stream(key, v.counter, nonce, stream);
        for (std::size_t b = 0; b < count; ++b) {
            const auto block = chacha20_block(key, v.counter + static_cast<std::uint32_t>(b), nonce);
            ASSERT_TRUE(std::equal(block.begin(), block.end(), stream.begin() + b * 16))
                << count << " blocks, block " << b;
        }
        const auto expected = words_le<16>(v.key_stream);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), stream.begin())) << count;
    }
}

INSTANTIATE_TEST_SUITE_P(Rfc8439, ChaCha20Vectors, testing::ValuesIn(kRfc8439));

std::vector<std::uint64_t> take(SecureDraws& draws, std::size_t n) {
    std::vector<std::uint64_t> out;
    for (std::size_t i = 0; i < n; ++i) {
        auto x = draws.next();
        if (!x) ADD_FAILURE() << x.error().message;
        out.push_back(x.value_or(0));
    }
    return out;
}

}  // namespace

TEST(SecureDraws, TwoGeneratorsNeverAgree) {
    SecureDraws a, b;
    std::set<std::uint64_t> seen;
    // Crosses many refills and several seedings.
    for (auto x : take(a, 40000)) seen.insert(x);
    for (auto x : take(b, 40000)) seen.insert(x);
    EXPECT_EQ(seen.size(), 80000u);
}

TEST(SecureDraws, UnitDrawsLieInHalfOpenRangeWithUniformBits) {
    SecureDraws draws;
    double sum = 0;
    const int n = 200000;
    std::array<int, 64> ones{};
    for (int i = 0; i < n; ++i) {
        auto x = draws.next();
        ASSERT_TRUE(x);
        for (int bit = 0; bit < 64; ++bit) ones[bit] += (*x >> bit) & 1;
        auto u = draws.next_unit();
        ASSERT_TRUE(u);
        ASSERT_GE(*u, 0.0);
        ASSERT_LT(*u, 1.0);
        sum += *u;
    }
    EXPECT_NEAR(sum / n, 0.5, 0.01);  // mean of U[0,1), sd of the mean ~0.00065
    for (int bit = 0; bit < 64; ++bit) EXPECT_NEAR(ones[bit], n / 2, n / 50) << "bit " << bit;
}

// A forked child continues from a copy of its parent's generator; its draws
// must still differ from the parent's.
TEST(SecureDraws, ForkedChildDrawsItsOwnSequence) {
    auto& draws = thread_draws();
    take(draws, 3);
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const auto mine = take(thread_draws(), 4);
        const bool sent = write(pipe_ends[1], mine.data(), 32) == 32;
        _exit(sent ? 0 : 1);
    }
    close(pipe_ends[1]);
    std::vector<std::uint64_t> childs(4);
    const bool received = read(pipe_ends[0], childs.data(), 32) == 32;
    close(pipe_ends[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(received);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(childs, take(draws, 4));
}
