// Cleanup's points-grid reader (the first input byte picks the cell edge, the
// rest is a points3D.bin): a file that reads holds a full record per point, and
// the keep test finds a splat's neighbours without reading outside the grid.
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <limits>

#include "cleanup.hpp"
#include "fuzz_input.hpp"

using namespace larkspan;

constexpr double kRadii[] = {0.1, 1.0, 1e-300, 1e300, -0.5, std::numeric_limits<double>::infinity()};
constexpr std::size_t kPointRecordSize = 8 + 24 + 3 + 8 + 8;  // empty track

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The grid stage prints its stage lines; keep the fuzzer's output readable.
    const int devnull = ::open("/dev/null", O_WRONLY);
    if (devnull >= 0) ::dup2(devnull, 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const double radius = kRadii[data[0] % std::size(kRadii)];
    io::File file = fuzz::file_with(data + 1, size - 1);
    const InterruptPoll never;
    Interrupts interrupts(never);
    auto grid = cleanup::build_point_grid(fuzz::path_of(file), radius, interrupts);
    if (!grid) return 0;
    if (grid->point_count() > 0 && 8 + grid->point_count() * kPointRecordSize > size - 1) std::abort();

    constexpr auto f32 = ply::Type::Float32;
    const cleanup::SplatFields fields{{0, f32}, {4, f32}, {8, f32}, {12, f32}, {16, f32}, {20, f32}};
    cleanup::KeepRules rules;
    rules.max_area = std::numeric_limits<double>::infinity();
    rules.min_neighbors = 1;
    rules.radius = radius;
    for (float at : {0.f, 1.f, -1.f, 1e30f, NAN}) {
        const float splat[6] = {at, at, at, -10.f, -10.f, -10.f};  // x, y, z, scale_0..2
        (void)cleanup::splat_keep(reinterpret_cast<const char*>(splat), fields, &*grid, rules);
    }
    return 0;
}
