#pragma once
// Unpredictable 64-bit draws for random sampling.
//
// The draws come from OpenSSL's deterministic random bit generator, which is
// of cryptographic quality, keeps one instance per thread, seeds it from the
// operating system's random source on first use in that thread and reseeds
// it by itself from time to time. Nothing here can be seeded by a caller, so
// two runs never draw the same sequence.
//
// Draws are fetched in blocks: asking the generator for 8 bytes at a time
// would cost far more than the draw itself.

#include <array>
#include <cstddef>
#include <cstdint>

#include "error.hpp"

namespace larkspan::random {

class SecureDraws {
public:
    // The next draw, uniformly distributed over all 64-bit values.
    Result<std::uint64_t> next() {
        if (next_ == block_.size()) {
            if (auto filled = refill(); !filled) return fail(filled.error());
        }
        return block_[next_++];
    }

    // A draw mapped to [0, 1): its top 53 bits scaled by 2^-53.
    Result<double> next_unit() {
        auto draw = next();
        if (!draw) return fail(draw.error());
        return static_cast<double>(*draw >> 11) * 0x1p-53;
    }

private:
    Status refill();

    std::array<std::uint64_t, 1024> block_{};
    std::size_t next_ = block_.size();
};

}  // namespace larkspan::random
