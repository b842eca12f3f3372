#include "cleanup.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <numeric>
#include <optional>
#include <tuple>

#include <tbb/parallel_sort.h>

#include "common/colmap.hpp"
#include "common/io.hpp"
#include "common/parallel.hpp"
#include "common/text.hpp"

namespace larkspan::cleanup {

// ---- grid stage ----

namespace {

// A cell index for floor(coordinate / radius). Below 2^53 in magnitude it is
// that integer. Beyond, every double is an integer and the cells next to one
// are the doubles next to it, so the index counts the doubles from 2^53 on:
// neighbouring cells keep neighbouring indices, and no quotient, infinity
// included, shares an index with another (which would pile the points of
// many cells into one and make the search quadratic). NaN gives 0.
std::int64_t cell_index(double floored) {
    constexpr double kExact = 9007199254740992.0;  // 2^53
    if (std::isnan(floored)) return 0;
    const double magnitude = std::fabs(floored);
    if (magnitude < kExact) return static_cast<std::int64_t>(floored);
    const auto beyond = static_cast<std::int64_t>(std::bit_cast<std::uint64_t>(magnitude) -
                                                  std::bit_cast<std::uint64_t>(kExact)) +
                        static_cast<std::int64_t>(kExact);
    return floored < 0 ? -beyond : beyond;
}

// Fibonacci hashing of the column: the table uses the top bits.
std::uint64_t hash_column(std::int64_t cx, std::int64_t cy) {
    const std::uint64_t mixed =
        static_cast<std::uint64_t>(cx) * 0x9E3779B97F4A7C15ull ^ static_cast<std::uint64_t>(cy);
    return (mixed ^ (mixed >> 29)) * 0x9E3779B97F4A7C15ull;
}

// Bit (z mod 64) for every z from `first` to `last`; all bits for 64 or
// more. Cell indices lie within +-2^62, so their difference fits.
std::uint64_t z_cell_bits(std::int64_t first, std::int64_t last) {
    if (last < first) return 0;
    const auto width = static_cast<std::uint64_t>(last - first) + 1;
    if (width >= 64) return ~std::uint64_t{0};
    const auto shift = static_cast<int>(static_cast<std::uint64_t>(first) & 63);
    return std::rotl((std::uint64_t{1} << width) - 1, shift);
}

// Points read between two interrupt checks.
constexpr std::uint64_t kPointsPerCheck = 1 << 16;

// The positions of the points file's records, in file order; tracks are
// skipped, never loaded. Anything after the last declared point is not read.
Result<std::vector<GridPoint>> read_points(const std::string& path, Interrupts& interrupts) {
    auto reader = colmap::Point3DReader::open(path);
    if (!reader) return fail(reader.error());
    std::vector<GridPoint> points;
    points.reserve(static_cast<std::size_t>(reader->size_hint()));
    colmap::Point3D point;
    for (std::uint64_t read = 0;; ++read) {
        if (read % kPointsPerCheck == 0) {
            if (auto checked = interrupts.check(); !checked) return fail(checked.error());
        }
        auto more = reader->next(point, false);
        if (!more) return fail(more.error());
        if (!*more) break;
        points.push_back({point.xyz[0], point.xyz[1], point.xyz[2]});
    }
    if (auto closed = reader->close(); !closed) return fail(closed.error());
    return points;
}

}  // namespace

CellKey cell_of(double x, double y, double z, double radius) {
    return {cell_index(std::floor(x / radius)), cell_index(std::floor(y / radius)),
            cell_index(std::floor(z / radius))};
}

PointGrid::PointGrid(const std::vector<GridPoint>& points, double radius) {
    std::vector<CellKey> keys(points.size());
    parallel_for_each(points.size(), [&](std::size_t i) {
        keys[i] = cell_of(points[i].x, points[i].y, points[i].z, radius);
    }, 4096);
    if (points.empty()) return;
    if (!file_in_dense_columns(points, keys)) file_in_hashed_columns(points, keys);
}

// When the columns' bounding rectangle is not much larger than the number of
// points (the usual ground-plane scene), every column has a place in a table
// over the rectangle, and the points are filed by counting: how many fall in
// each column, where each column therefore starts, then each point put in
// its column in file order, and each column's points ordered by z cell.
bool PointGrid::file_in_dense_columns(const std::vector<GridPoint>& points,
                                      const std::vector<CellKey>& keys) {
    const auto [left, right] = std::ranges::minmax_element(keys, {}, &CellKey::x);
    const auto [bottom, top] = std::ranges::minmax_element(keys, {}, &CellKey::y);
    // Indices lie within +-2^62, so the extent of any two fits.
    const std::int64_t width = right->x - left->x + 1;
    const std::int64_t height = top->y - bottom->y + 1;
    const std::int64_t dense_limit = 4 * static_cast<std::int64_t>(points.size()) + 1024;
    if (width > dense_limit || height > dense_limit / width) return false;
    min_x_ = left->x;
    min_y_ = bottom->y;
    width_ = width;
    height_ = height;
    auto column_of = [&](const CellKey& key) {
        return static_cast<std::size_t>((key.x - min_x_) * height_ + (key.y - min_y_));
    };

    // offsets_[k] is where column k's points start, offsets_[k + 1] where
    // they end. While the points are placed, offsets_[k] is where column k's
    // next point goes, so it ends where column k + 1 starts.
    const auto columns = static_cast<std::size_t>(width * height);
    offsets_.assign(columns + 1, 0);
    for (const CellKey& key : keys) ++offsets_[column_of(key) + 1];
    std::partial_sum(offsets_.begin(), offsets_.end(), offsets_.begin());
    std::vector<std::size_t> order(points.size());
    for (std::size_t i = 0; i < points.size(); ++i) order[offsets_[column_of(keys[i])]++] = i;
    std::shift_right(offsets_.begin(), offsets_.end(), 1);
    offsets_[0] = 0;

    z_cells_.assign(columns, 0);
    parallel_for_each(columns, [&](std::size_t k) {
        const auto first = order.begin() + static_cast<std::ptrdiff_t>(offsets_[k]);
        const auto last = order.begin() + static_cast<std::ptrdiff_t>(offsets_[k + 1]);
        std::sort(first, last, [&](std::size_t a, std::size_t b) {
            return std::tie(keys[a].z, a) < std::tie(keys[b].z, b);
        });
        for (auto i = first; i != last; ++i) z_cells_[k] |= z_cell_bits(keys[*i].z, keys[*i].z);
    }, 1024);
    points_.resize(points.size());
    parallel_for_each(points.size(), [&](std::size_t n) {
        const GridPoint& p = points[order[n]];
        points_[n] = {p.x, p.y, p.z, keys[order[n]].z};
    }, 4096);
    return true;
}

// Otherwise (points far apart, outliers far away) the points are sorted by
// cell, with their place in the file breaking ties so that the points of a
// cell stay in file order, and the occupied columns go in a hash table.
void PointGrid::file_in_hashed_columns(const std::vector<GridPoint>& points,
                                       const std::vector<CellKey>& keys) {
    struct Filed {
        CellKey key;
        std::size_t index;
        bool operator<(const Filed& other) const {
            return std::tie(key.x, key.y, key.z, index) <
                   std::tie(other.key.x, other.key.y, other.key.z, other.index);
        }
    };
    std::vector<Filed> order(points.size());
    parallel_for_each(points.size(), [&](std::size_t i) { order[i] = {keys[i], i}; }, 4096);
    tbb::parallel_sort(order.begin(), order.end());

    points_.reserve(points.size());
    std::vector<Slot> columns;
    for (std::size_t n = 0; n < order.size(); ++n) {
        const CellKey& key = order[n].key;
        const GridPoint& p = points[order[n].index];
        points_.push_back({p.x, p.y, p.z, key.z});
        if (columns.empty() || columns.back().cx != key.x || columns.back().cy != key.y)
            columns.push_back({key.x, key.y, {n, n}});
        columns.back().run.end = n + 1;
        columns.back().run.z_cells |= z_cell_bits(key.z, key.z);
    }
    build_hash_index(columns);
}

void PointGrid::build_hash_index(const std::vector<Slot>& columns) {
    const std::size_t size = std::bit_ceil(std::max<std::size_t>(2 * columns.size(), 16));
    slots_.resize(size);
    shift_ = 64 - static_cast<unsigned>(std::countr_zero(size));
    for (const Slot& c : columns) {
        std::size_t slot = hash_column(c.cx, c.cy) >> shift_;
        while (slots_[slot].run.begin != slots_[slot].run.end) slot = (slot + 1) & (size - 1);
        slots_[slot] = c;
    }
}

std::optional<std::size_t> PointGrid::dense_column(std::int64_t cx, std::int64_t cy) const {
    const std::int64_t i = cx - min_x_, j = cy - min_y_;
    if (i < 0 || i >= width_ || j < 0 || j >= height_) return std::nullopt;
    return static_cast<std::size_t>(i * height_ + j);
}

void PointGrid::prefetch_entry(std::int64_t cx, std::int64_t cy) const {
    if (!offsets_.empty()) {
        const auto k = dense_column(cx, cy);
        if (!k) return;
        __builtin_prefetch(&offsets_[*k]);
        __builtin_prefetch(&z_cells_[*k]);
    } else if (!slots_.empty()) {
        __builtin_prefetch(&slots_[hash_column(cx, cy) >> shift_]);
    }
}

void PointGrid::prefetch_points(std::int64_t cx, std::int64_t cy) const {
    const Run run = column(cx, cy);
    // Two points to a cache line: the first lines of the column.
    for (std::uint64_t n = run.begin; n < run.end && n < run.begin + 8; n += 2) __builtin_prefetch(&points_[n]);
}

PointGrid::Run PointGrid::column(std::int64_t cx, std::int64_t cy) const {
    if (!offsets_.empty()) {
        const auto k = dense_column(cx, cy);
        if (!k) return {};
        return {offsets_[*k], offsets_[*k + 1], z_cells_[*k]};
    }
    if (slots_.empty()) return {};
    std::size_t slot = hash_column(cx, cy) >> shift_;
    for (;;) {
        const Slot& entry = slots_[slot];
        if (entry.run.begin == entry.run.end || (entry.cx == cx && entry.cy == cy)) return entry.run;
        slot = (slot + 1) & (slots_.size() - 1);
    }
}

std::span<const FiledPoint> PointGrid::cells(std::int64_t cx, std::int64_t cy, std::int64_t z_first,
                                             std::int64_t z_last) const {
    return cells_of(column(cx, cy), z_first, z_last);
}

std::span<const FiledPoint> PointGrid::near_cells(std::int64_t cx, std::int64_t cy, std::int64_t z_first,
                                                  std::int64_t z_last) const {
    const Run run = column(cx, cy);
    if (run.end - run.begin > kWholeColumn) return cells_of(run, z_first, z_last);
    if ((run.z_cells & z_cell_bits(z_first, z_last)) == 0) return {};
    return {points_.data() + run.begin, points_.data() + run.end};
}

std::span<const FiledPoint> PointGrid::cells_of(const Run& run, std::int64_t z_first, std::int64_t z_last) const {
    if ((run.z_cells & z_cell_bits(z_first, z_last)) == 0) return {};
    const FiledPoint* begin = points_.data() + run.begin;
    const FiledPoint* end = points_.data() + run.end;
    auto below = [&](const FiledPoint& p) { return p.cell_z < z_first; };
    auto within = [&](const FiledPoint& p) { return p.cell_z <= z_last; };
    // Reading a few dozen points in order finds the cells sooner than the
    // jumps of a binary search, which long columns still take.
    constexpr std::ptrdiff_t kScanned = 32;
    const FiledPoint* first = end - begin <= kScanned ? std::find_if_not(begin, end, below)
                                                      : std::partition_point(begin, end, below);
    const FiledPoint* last = end - first <= kScanned ? std::find_if_not(first, end, within)
                                                     : std::partition_point(first, end, within);
    return {first, last};
}

Result<PointGrid> build_point_grid(const std::string& path, double radius, Interrupts& interrupts) {
    io::print("Reading COLMAP points from " + path + " and building grid...\n");
    const text::Stopwatch stage;
    auto points = read_points(path, interrupts);
    if (!points) return fail(points.error());
    PointGrid grid(*points, radius);
    io::print("Finished reading COLMAP points and building grid in " + stage.elapsed_text() + "\n");
    return grid;
}

// ---- filter stage ----

KeepRules KeepRules::from(const CleanConfig& config) {
    return {config.min_x, config.min_y, config.min_z, config.max_x,        config.max_y,
            config.max_z, config.max_area, config.min_neighbors, config.radius};
}

namespace {

// Each bound that is given limits its axis: lower bounds inclusive, upper
// bounds exclusive. A NaN coordinate fails every bound of its axis.
bool inside_box(double x, double y, double z, const KeepRules& rules) {
    auto within = [](double v, const std::optional<double>& low, const std::optional<double>& high) {
        return (!low || v >= *low) && (!high || v < *high);
    };
    return within(x, rules.min_x, rules.max_x) && within(y, rules.min_y, rules.max_y) &&
           within(z, rules.min_z, rules.max_z);
}

// A NaN magnitude is not >= any limit, so it passes.
bool small_enough(double s0, double s1, double s2, double max_area) {
    const double e0 = std::exp(s0), e1 = std::exp(s1), e2 = std::exp(s2);
    const double magnitude = e0 * e0 + e1 * e1 + e2 * e2;
    return !(magnitude >= max_area);
}

// The scale test with two bounds on a single scale that decide it without
// the exponentials for most splats. Below `surely_small`, exp(s)^2 is under a
// third of max_area; above `surely_large`, it alone exceeds max_area. Both
// keep a margin of 1e-6 in log space, far beyond the rounding of exp, the
// squares and the sum, so the bounds never decide otherwise than the full
// test. A NaN scale makes the magnitude NaN, which passes; it is never
// decided by the bounds.
class ScaleLimit {
public:
    explicit ScaleLimit(double max_area) : max_area_(max_area) {
        constexpr double kMargin = 1e-6;
        const double log_area = std::log(max_area);
        if (!std::isfinite(log_area)) return;  // 0, negative, infinite or NaN: always the full test
        surely_small_ = 0.5 * (log_area - std::log(3.0)) - kMargin;
        surely_large_ = 0.5 * log_area + kMargin;
    }

    bool passes(double s0, double s1, double s2) const {
        if (s0 < surely_small_ && s1 < surely_small_ && s2 < surely_small_) return true;
        const bool any_nan = std::isnan(s0) || std::isnan(s1) || std::isnan(s2);
        if (!any_nan && (s0 > surely_large_ || s1 > surely_large_ || s2 > surely_large_)) return false;
        return small_enough(s0, s1, s2, max_area_);
    }

private:
    double max_area_;
    double surely_small_ = -std::numeric_limits<double>::infinity();
    double surely_large_ = std::numeric_limits<double>::infinity();
};

// The pass's windows, each filtered on one thread while others are filtered
// or written: small enough that a window read by the kernel is still in the
// core's cache when it is filtered and then copied to the outputs. Windows
// of 8 MiB, which the caches cannot hold, made the whole call 15-25% slower;
// the kernel reads ahead of them in long requests all the same.
constexpr std::size_t kPassWindowBytes = std::size_t{256} << 10;

// Splats per piece of the parallel filter: a few milliseconds of work.
constexpr std::size_t kSplatsPerPiece = 4096;

// The nine columns around a splat's column, the centre first: only whether
// `min_neighbors` points are found matters, not the order they are found in,
// and the nearest columns make the search stop soonest.
constexpr int kColumnSteps[9][2] = {{0, 0},  {0, -1}, {0, 1},  {-1, 0}, {1, 0},
                                    {-1, -1}, {-1, 1}, {1, -1}, {1, 1}};

// Points counted between two looks at whether enough have been found.
constexpr std::size_t kCountedTogether = 8;

// Counts points within `radius` in the 27 cells around the splat's cell,
// stopping as soon as the count reaches `min_neighbors`.
// With the cell edge equal to the radius, any point within the radius lies
// in one of those cells. The three z cells of a column are one run.
// `centre` is the splat's cell; the grid holds points and at least one
// neighbour is asked for.
bool has_neighbors(const PointGrid& grid, const CellKey& centre, double x, double y, double z,
                   const KeepRules& rules) {
    const double r2 = rules.radius * rules.radius;
    std::uint64_t count = 0;
    // Points are counted without a branch on each: about half of them lie
    // within the radius, so that branch would be mispredicted half the time;
    // whether enough are found is asked once per kCountedTogether points, so
    // that a search that has found them stops in the middle of a run. A short
    // column comes whole, and only its points in the three cells count:
    // testing each point's cell costs less than finding where they start
    // and end.
    const std::int64_t z_first = centre.z - 1;
    auto enough_in = [&](std::span<const FiledPoint> run) {
        for (std::size_t at = 0; at < run.size(); at += kCountedTogether) {
            const std::size_t end = std::min(run.size(), at + kCountedTogether);
            for (std::size_t i = at; i < end; ++i) {
                const FiledPoint& p = run[i];
                const double ddx = p.x - x, ddy = p.y - y, ddz = p.z - z;
                const double d2 = (ddx * ddx + ddy * ddy) + ddz * ddz;
                const bool in_cells = static_cast<std::uint64_t>(p.cell_z) - static_cast<std::uint64_t>(z_first) <= 2;
                count += (d2 <= r2) & in_cells;
            }
            if (count >= rules.min_neighbors) return true;
        }
        return false;
    };
    for (const auto& step : kColumnSteps) {
        if (enough_in(grid.near_cells(centre.x + step[0], centre.y + step[1], z_first, centre.z + 1)))
            return true;
    }
    return false;
}

}  // namespace

Result<SplatFields> splat_fields(const ply::VertexLayout& layout, const std::string& path) {
    SplatFields fields;
    const std::pair<const char*, ply::Field*> wanted[] = {
        {"x", &fields.x},             {"y", &fields.y},             {"z", &fields.z},
        {"scale_0", &fields.scale_0}, {"scale_1", &fields.scale_1}, {"scale_2", &fields.scale_2}};
    for (const auto& [name, field] : wanted) {
        auto found = ply::require_field(layout, name, path);
        if (!found) return fail(found.error());
        *field = *found;
    }
    return fields;
}

namespace {

bool all_float32(const SplatFields& f) {
    for (const ply::Field& field : {f.x, f.y, f.z, f.scale_0, f.scale_1, f.scale_2})
        if (field.type != ply::Type::Float32) return false;
    return true;
}

struct Position {
    double x, y, z;
};

// The splat's position when it passes the box and scale tests, the cheap
// ones, which come first: all three tests must pass, so the order changes
// nothing.
template <bool kFloat32>
std::optional<Position> within_limits(const char* record, const SplatFields& fields, const KeepRules& rules,
                                      const ScaleLimit& scale_limit) {
    auto read = [record](ply::Field field) { return ply::read_field<kFloat32>(record, field); };
    const Position at{read(fields.x), read(fields.y), read(fields.z)};
    if (!inside_box(at.x, at.y, at.z, rules)) return std::nullopt;
    if (!scale_limit.passes(read(fields.scale_0), read(fields.scale_1), read(fields.scale_2))) return std::nullopt;
    return at;
}

// Splats whose neighbours are searched together, and how far ahead of its
// search a splat's column is requested.
constexpr std::uint64_t kSearchBatch = 64;
constexpr std::size_t kAhead = 4;

// The keep flags of records [first, last) of the window. The grid's cache
// lines a search reads first, which the records streaming through the caches
// keep evicting, are requested ahead: each column's entry in the index as the
// batch is gathered, then its first points a few searches before its own.
template <bool kFloat32>
void filter_batch(const io::Window& window, std::uint64_t first, std::uint64_t last, const SplatFields& fields,
                  const PointGrid* grid, const KeepRules& rules, const ScaleLimit& scale_limit,
                  std::vector<std::uint8_t>& flags) {
    // Otherwise the neighbour test passes without a grid or with
    // min_neighbors 0, and fails on an empty grid.
    const bool searched = grid != nullptr && rules.min_neighbors > 0 && grid->point_count() > 0;
    const bool passes_unsearched = grid == nullptr || rules.min_neighbors == 0;
    struct Searched {
        std::uint64_t i;
        Position at;
        CellKey centre;
    };
    std::array<Searched, kSearchBatch> batch;
    std::size_t n = 0;
    for (std::uint64_t i = first; i < last; ++i) {
        const auto at = within_limits<kFloat32>(window.record(i), fields, rules, scale_limit);
        if (!at || !searched) {
            flags[window.first + i] = at && passes_unsearched;
            continue;
        }
        const CellKey centre = cell_of(at->x, at->y, at->z, rules.radius);
        grid->prefetch_entry(centre.x, centre.y);
        batch[n++] = {i, *at, centre};
    }
    // While one splat is searched, the points of the one kAhead places later
    // are requested, long enough before its search to have arrived.
    for (std::size_t j = 0; j < std::min(n, kAhead); ++j) grid->prefetch_points(batch[j].centre.x, batch[j].centre.y);
    for (std::size_t j = 0; j < n; ++j) {
        if (j + kAhead < n) grid->prefetch_points(batch[j + kAhead].centre.x, batch[j + kAhead].centre.y);
        const Searched& s = batch[j];
        flags[window.first + s.i] = has_neighbors(*grid, s.centre, s.at.x, s.at.y, s.at.z, rules);
    }
}

}  // namespace

bool splat_keep(const char* record, const SplatFields& fields, const PointGrid* grid,
                const KeepRules& rules) {
    // The record as a window of one, through the pass's own filter.
    const io::Window window{0, 1, 0, record};
    std::vector<std::uint8_t> flag(1);
    const ScaleLimit scale_limit(rules.max_area);
    if (all_float32(fields)) filter_batch<true>(window, 0, 1, fields, grid, rules, scale_limit, flag);
    else filter_batch<false>(window, 0, 1, fields, grid, rules, scale_limit, flag);
    return flag[0] != 0;
}

// ---- writer stage ----

namespace {

// Larger than the 8 KiB floor: the records of a share are gathered into few,
// large writes.
constexpr std::size_t kWriteBufferSize = 1 << 20;

// Calls write(first, records) for every maximal run of the window's records
// flagged `wanted`, so that runs longer than a buffer need no copy.
template <class Write>
Status for_each_run(const io::Window& window, const std::vector<std::uint8_t>& flags,
                    std::uint8_t wanted, Write&& write) {
    const auto begin = flags.begin() + static_cast<std::ptrdiff_t>(window.first);
    const auto end = begin + static_cast<std::ptrdiff_t>(window.count);
    const auto unwanted = static_cast<std::uint8_t>(!wanted);
    for (auto run = std::find(begin, end, wanted); run != end;) {
        const auto run_end = std::find(run, end, unwanted);
        const auto first = static_cast<std::uint64_t>(run - begin);
        if (auto w = write(first, static_cast<std::uint64_t>(run_end - run)); !w) return w;
        run = std::find(run_end, end, wanted);
    }
    return {};
}

// The share's count when `taken` of the first `seen` of `total` records are
// in it and the rest keep that proportion, bounded by what is still possible.
std::uint64_t estimated_count(std::uint64_t taken, std::uint64_t seen, std::uint64_t total) {
    const std::uint64_t left = total - seen;
    const long double share = seen == 0 ? 0.0L : static_cast<long double>(taken) / seen;
    const auto expected = static_cast<std::uint64_t>(std::llround(share * left));
    return taken + std::min(expected, left);
}

}  // namespace

ShareFile::ShareFile(const std::string& path, const ply::PlyHeader& header, std::uint64_t record_size,
                     std::uint8_t wanted, std::size_t hold_bytes)
    : header_(header), record_size_(record_size), wanted_(wanted), hold_bytes_(hold_bytes) {
    auto output = io::Output::create(path);
    if (!output) {
        status_ = fail(output.error());
        return;
    }
    output_ = std::move(*output);
    writer_.emplace(output_->file(), kWriteBufferSize);
}

bool ShareFile::in_place() const { return output_ && output_->in_place(); }

Status ShareFile::begin(std::uint64_t count) {
    if (!status_) return status_;
    auto text = header_text(count);
    if (!text) return status_ = fail(text.error());
    header_count_ = count;
    return status_ = writer_->write(*text);
}

void ShareFile::take(const io::Window& window, const std::vector<std::uint8_t>& flags,
                     std::uint64_t total) {
    if (!status_) return;
    if (header_count_) {
        status_ = write_runs(window, flags);
        return;
    }
    const auto first = flags.begin() + static_cast<std::ptrdiff_t>(window.first);
    const auto arriving = static_cast<std::uint64_t>(
        std::count(first, first + static_cast<std::ptrdiff_t>(window.count), wanted_));
    if ((taken_ + arriving) * record_size_ <= hold_bytes_) {
        hold(window, flags);
        return;
    }
    const std::uint64_t guess = estimated_count(taken_ + arriving, window.first + window.count, total);
    if (!(status_ = begin(guess))) return;
    if (!(status_ = writer_->write(held_.data(), held_.size()))) return;
    std::string().swap(held_);
    status_ = write_runs(window, flags);
}

Status ShareFile::finish(std::uint64_t count, Interrupts& interrupts) {
    if (!status_) return status_;
    auto text = header_text(count);
    if (!text) return fail(text.error());
    if (!header_count_) {
        if (auto w = writer_->write(*text); !w) return w;
        if (auto w = writer_->write(held_.data(), held_.size()); !w) return w;
    }
    if (auto flushed = writer_->flush(); !flushed) return flushed;
    if (header_count_ && *header_count_ != count) {
        if (auto placed = replace_guessed_header(*text, count, interrupts); !placed) return placed;
    }
    if (auto checked = interrupts.check(); !checked) return checked;
    return output_->commit();
}

// Only a regular file is written on a guess, so it can be revisited. When
// the guess had another number of digits, the records first move to where
// the true header ends: rare, and bounded by this file's size.
Status ShareFile::replace_guessed_header(const std::string& text, std::uint64_t count,
                                         Interrupts& interrupts) {
    io::File& file = output_->file();
    auto guessed = header_text(*header_count_);
    if (!guessed) return fail(guessed.error());
    if (guessed->size() != text.size()) {
        const std::uint64_t records = count * record_size_;
        if (auto moved = io::move_range(file, guessed->size(), text.size(), records, interrupts); !moved)
            return moved;
        if (auto cut = file.truncate(text.size() + records); !cut) return cut;
    }
    return file.pwrite_all(text.data(), text.size(), 0);
}

Result<std::string> ShareFile::header_text(std::uint64_t count) const {
    return ply::rewrite_vertex_count(header_.header_text, header_.vertex_count, count);
}

Status ShareFile::write_runs(const io::Window& window, const std::vector<std::uint8_t>& flags) {
    return for_each_run(window, flags, wanted_, [&](std::uint64_t first, std::uint64_t records) {
        taken_ += records;
        return writer_->write(window.record(first), records * record_size_);
    });
}

void ShareFile::hold(const io::Window& window, const std::vector<std::uint8_t>& flags) {
    // Reserved whole on first use, so that it never grows by copying; the
    // pages are the kernel's to supply as they are written.
    if (held_.capacity() < hold_bytes_) held_.reserve(hold_bytes_);
    auto append = [&](std::uint64_t first, std::uint64_t records) -> Status {
        taken_ += records;
        held_.append(window.record(first), records * record_size_);
        return {};
    };
    static_cast<void>(for_each_run(window, flags, wanted_, append));
}

// ---- filter stage ----

namespace {

// Windows between reading and writing at once: enough for every thread of
// the pool to filter one while another is written.
constexpr std::size_t kWindowsInFlight = 4;

// The pass over the records: the keep flags of each window, evaluated on the
// pool with several windows at a time, then, in file order, the window's
// records handed to the shares that are fed during the pass.
Status filter_pass(io::RecordReader& records, const SplatFields& fields, const PointGrid* grid,
                   const KeepRules& rules, std::vector<std::uint8_t>& flags,
                   std::span<ShareFile* const> shares, Interrupts& interrupts) {
    // Without shares to feed, from the back: the writer's pass that follows
    // starts at the front, which is then what the page cache still holds of a
    // file larger than memory. A pass that writes is the last and leaves no
    // pages of such a file behind it.
    const bool writes = !shares.empty();
    const io::Order order = writes ? io::Order::Forward : io::Order::Backward;
    const bool drop_behind = writes && io::larger_than_memory(records.count() * records.record_size());
    const ScaleLimit scale_limit(rules.max_area);
    auto pass = [&]<bool kFloat32>() {
        // Pieces are small enough that the calling thread checks for
        // interrupts often; other threads stop once it has seen one.
        auto filter = [&](const io::Window& window) -> Status {
            for (std::uint64_t first = 0; first < window.count; first += kSplatsPerPiece) {
                if (auto checked = interrupts.check(); !checked) return checked;
                const std::uint64_t last = std::min<std::uint64_t>(window.count, first + kSplatsPerPiece);
                for (std::uint64_t batch = first; batch < last; batch += kSearchBatch) {
                    filter_batch<kFloat32>(window, batch, std::min(last, batch + kSearchBatch), fields, grid,
                                           rules, scale_limit, flags);
                }
            }
            return {};
        };
        auto feed = [&](const io::Window& window) -> Status {
            // Once the kept file has failed, neither file is fed: the call
            // reports that failure and completes neither.
            if (shares.empty() || !shares[0]->status()) return {};
            for (ShareFile* share : shares) share->take(window, flags, records.count());
            return {};
        };
        return records.pipeline(order, kWindowsInFlight, filter, feed, drop_behind);
    };
    auto passed = all_float32(fields) ? pass.template operator()<true>() : pass.template operator()<false>();
    // The calling thread's check gives the interrupt as the host raised it,
    // whichever thread stopped first.
    if (auto checked = interrupts.check(); !checked) return checked;
    return passed;
}

}  // namespace

Result<std::vector<std::uint8_t>> filter_splats(io::RecordReader& records,
                                                const SplatFields& fields, const PointGrid* grid,
                                                const KeepRules& rules,
                                                std::span<ShareFile* const> shares,
                                                Interrupts& interrupts) {
    io::print("Starting splat filtering (parallelized)...\n");
    const text::Stopwatch stage;
    std::vector<std::uint8_t> flags(records.count());
    if (auto passed = filter_pass(records, fields, grid, rules, flags, shares, interrupts); !passed)
        return fail(passed.error());
    io::print("Finished splat filtering in " + stage.elapsed_text() + "\n");
    return flags;
}

Status write_splats(ShareFile& kept, ShareFile* discarded, const std::string& kept_path,
                    const std::optional<std::string>& discarded_path, io::RecordReader& records,
                    const std::vector<std::uint8_t>& flags, bool fed, Interrupts& interrupts) {
    io::print("Writing kept splats to " + kept_path + "...\n");
    const text::Stopwatch kept_stage;
    const auto kept_count = static_cast<std::uint64_t>(std::count(flags.begin(), flags.end(), 1));
    const std::uint64_t discarded_count = flags.size() - kept_count;
    if (!fed) {
        // A pass of their own, now that the counts are known: each window's
        // share of each file on a thread of its own; a failure of the
        // discarded file is held back to its own stage, and that file is not
        // fed after it.
        if (auto begun = kept.begin(kept_count); !begun) return begun;
        if (discarded) static_cast<void>(discarded->begin(discarded_count));
        // The last pass: a file larger than memory leaves no pages behind it.
        const bool drop_behind = io::larger_than_memory(records.count() * records.record_size());
        auto copied = records.for_each(io::Order::Forward, [&](const io::Window& window) -> Status {
            if (auto checked = interrupts.check(); !checked) return checked;
            const bool feed_discarded = discarded && discarded->status();
            parallel_for_each(feed_discarded ? 2 : 1, [&](std::size_t share) {
                (share == 0 ? kept : *discarded).take(window, flags, records.count());
            });
            return kept.status();
        }, drop_behind);
        if (!copied) return copied;
    }
    if (auto finished = kept.finish(kept_count, interrupts); !finished) return finished;
    io::print("Finished writing kept splats in " + kept_stage.elapsed_text() + ". Kept " +
              std::to_string(kept_count) + " splats.\n");

    if (!discarded) return {};
    io::print("Writing discarded splats to " + *discarded_path + "...\n");
    const text::Stopwatch discarded_stage;
    if (auto finished = discarded->finish(discarded_count, interrupts); !finished) return finished;
    io::print("Finished writing discarded splats in " + discarded_stage.elapsed_text() +
              ". Discarded " + std::to_string(discarded_count) + " splats.\n");
    return {};
}

// ---- the whole operation ----

namespace {

// Neither output may be an input (the splats or the COLMAP points), and the
// kept and discarded splats need files of their own.
Status require_outputs_apart(const CleanConfig& config) {
    std::vector<std::string> outputs{config.output_file};
    if (config.discarded_file) outputs.push_back(*config.discarded_file);
    std::vector<std::string> inputs{config.input_file};
    if (config.colmap_points_file) inputs.push_back(*config.colmap_points_file);
    if (auto apart = io::refuse_outputs_among_inputs(outputs, inputs); !apart) return apart;
    if (outputs.size() == 2 && io::same_file(outputs[0], outputs[1]))
        return fail(Error::value("output_file " + outputs[0] + " and discarded_file " + outputs[1] +
                                 " are the same file; the discarded splats would overwrite the "
                                 "kept ones"));
    return {};
}

// The records the header announces must lie in the file after it. A count
// the file cannot hold (or whose byte size does not fit in 64 bits) is a
// short read, reported before anything is sized from it.
Status require_vertex_block(io::File& file, const ply::PlyHeader& header, std::uint64_t record_size) {
    unsigned long long wanted = 0;
    if (multiply_overflows(header.vertex_count, record_size, wanted))
        return fail(io::short_read_error());
    auto file_size = file.size();
    if (!file_size) return fail(file_size.error());
    if (*file_size < header.header_size || *file_size - header.header_size < wanted)
        return fail(io::short_read_error());
    return {};
}

}  // namespace

Status cleanup_ply(const CleanConfig& config, const InterruptPoll& poll, std::size_t hold_bytes) {
    Interrupts interrupts(poll);
    const text::Stopwatch overall;
    io::print("Starting PLY cleanup process...\n");
    if (config.radius == 0.0)
        return fail(Error::value("Radius cannot be 0.0. Please provide a positive radius value."));
    if (auto apart = require_outputs_apart(config); !apart) return apart;

    std::optional<PointGrid> grid;
    if (config.colmap_points_file) {
        auto built = build_point_grid(*config.colmap_points_file, config.radius, interrupts);
        if (!built) return fail(built.error());
        grid = std::move(*built);
    }

    auto input = io::open_read(config.input_file);
    if (!input) return fail(input.error());
    io::BufferedReader reader(*input);
    io::print("Reading PLY header from " + config.input_file + "...\n");
    text::Stopwatch stage;
    auto header = ply::read_ply_header(reader);
    if (!header) return fail(header.error());
    io::print("Finished reading PLY header in " + stage.elapsed_text() + ". Found " +
              std::to_string(header->vertex_count) + " vertices.\n");
    if (auto format = ply::require_binary_little_endian(*header); !format)
        return fail(format.error().as(ErrorKind::Os));
    auto layout = ply::vertex_layout(*header);
    if (!layout) return fail(layout.error());
    auto fields = splat_fields(*layout, config.input_file);
    if (!fields) return fail(fields.error());

    io::print("Reading PLY vertex data...\n");
    stage = text::Stopwatch();
    if (auto held = require_vertex_block(*input, *header, layout->record_size); !held) return held;
    auto records = io::RecordReader::create(*input, header->header_size, layout->record_size,
                                            header->vertex_count, kPassWindowBytes);
    if (!records) return fail(records.error());
    io::print("Finished reading PLY vertex data in " + stage.elapsed_text() + "\n");

    const KeepRules rules = KeepRules::from(config);
    // Both outputs are created before the pass that feeds them; a failure to
    // create or write one is held and reported at its stage.
    ShareFile kept(config.output_file, *header, layout->record_size, 1, hold_bytes);
    std::optional<ShareFile> discarded;
    if (config.discarded_file)
        discarded.emplace(*config.discarded_file, *header, layout->record_size, 0, hold_bytes);
    // A FIFO or a device takes its header first, so it cannot be fed before
    // its count is known: then both outputs are fed in a pass of their own.
    const bool fed_in_filter = !kept.in_place() && !(discarded && discarded->in_place());
    std::vector<ShareFile*> shares;
    if (fed_in_filter) {
        shares.push_back(&kept);
        if (discarded) shares.push_back(&*discarded);
    }
    auto flags = filter_splats(*records, *fields, grid ? &*grid : nullptr, rules, shares, interrupts);
    if (!flags) return fail(flags.error());
    if (auto w = write_splats(kept, discarded ? &*discarded : nullptr, config.output_file,
                              config.discarded_file, *records, *flags, fed_in_filter, interrupts);
        !w)
        return w;
    io::print("PLY cleanup process completed in " + overall.elapsed_text() + "\n");
    return {};
}

}  // namespace larkspan::cleanup
