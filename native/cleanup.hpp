#pragma once
// Splat cleanup: keep the splats of a PLY file that lie in an optional box,
// have enough COLMAP points near them and are not too large; write the kept
// splats, and optionally the discarded ones, under the input's header.
//
// Stages, in the order cleanup_ply runs them:
//   build_point_grid  COLMAP points file -> hash grid with cell edge `radius`
//   filter_splats     one keep flag per splat, evaluated on the oneTBB pool,
//                     each window's records written to the outputs
//   write_splats      the outputs completed under their true counts
//
// The records are read window by window (common/records.hpp), once; twice
// when an output is a FIFO or a device, which needs its count before its
// records. Memory holds four windows, the grid, one flag byte per splat and
// the hold of each output, whatever the size of the input.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "common/interrupt.hpp"
#include "common/io.hpp"
#include "common/json.hpp"
#include "common/ply.hpp"
#include "common/records.hpp"

namespace larkspan::cleanup {

struct CleanConfig {
    std::string input_file;
    std::string output_file;
    std::optional<std::string> discarded_file;
    std::optional<double> min_x, min_y, min_z;  // inclusive
    std::optional<double> max_x, max_y, max_z;  // exclusive
    double max_area = 0;
    std::optional<std::string> colmap_points_file;
    std::uint64_t min_neighbors = 10;
    double radius = 0.1;
};

// ---- grid stage ----

struct CellKey {
    std::int64_t x = 0, y = 0, z = 0;
    bool operator==(const CellKey&) const = default;
};

struct GridPoint {
    double x, y, z;
};

// floor(coordinate / radius) per axis; beyond 2^53 in magnitude, the rank of
// that double among the doubles from 2^53, so that no two cells share an
// index and neighbouring cells have neighbouring ones. NaN gives 0.
CellKey cell_of(double x, double y, double z, double radius);

// A point as the grid stores it: its position and the z index of its cell.
struct FiledPoint {
    double x, y, z;
    std::int64_t cell_z;
};

// COLMAP points filed by cell. Points are stored sorted by column (cx, cy),
// then by cz, then in file order, so the three cells cz - 1, cz, cz + 1 of a
// column are one contiguous run: a neighbour search makes 9 column lookups,
// not 27. Columns are found through a dense offset table when their bounding
// rectangle holds at most about four columns per point (the usual
// ground-plane scene), and through an open-addressing hash table otherwise
// (outliers far away).
class PointGrid {
public:
    PointGrid(const std::vector<GridPoint>& points, double radius);

    std::size_t point_count() const { return points_.size(); }
    // The points of cells (cx, cy, z) for z_first <= z <= z_last, in cell
    // order and file order within a cell; empty when there are none.
    std::span<const FiledPoint> cells(std::int64_t cx, std::int64_t cy, std::int64_t z_first,
                                      std::int64_t z_last) const;
    // The same points, or a short column's whole run: the caller tests each
    // point's cell_z.
    std::span<const FiledPoint> near_cells(std::int64_t cx, std::int64_t cy, std::int64_t z_first,
                                           std::int64_t z_last) const;
    // Ask for the cache lines a search of column (cx, cy) reads first: its
    // entry in the index, then, once that has arrived, its first points.
    void prefetch_entry(std::int64_t cx, std::int64_t cy) const;
    void prefetch_points(std::int64_t cx, std::int64_t cy) const;

private:
    struct Run {
        std::uint64_t begin = 0, end = 0;
        // Bit (cz mod 64) is set for the cell z index cz of every point of
        // the run: a search for cells none of whose bits are set skips the
        // run unread, as most searches above the ground do.
        std::uint64_t z_cells = 0;
    };
    struct Slot {
        std::int64_t cx = 0, cy = 0;
        Run run;  // begin == end: free slot
    };
    Run column(std::int64_t cx, std::int64_t cy) const;
    // Dense: the index k of column (cx, cy), none outside the rectangle.
    std::optional<std::size_t> dense_column(std::int64_t cx, std::int64_t cy) const;
    std::span<const FiledPoint> cells_of(const Run& run, std::int64_t z_first, std::int64_t z_last) const;
    // Columns of at most this many points are searched whole.
    static constexpr std::uint64_t kWholeColumn = 32;
    // The two ways of filing the points, given the cell of each; the dense
    // one declines (false) when the columns' rectangle is too large.
    bool file_in_dense_columns(const std::vector<GridPoint>& points, const std::vector<CellKey>& keys);
    void file_in_hashed_columns(const std::vector<GridPoint>& points, const std::vector<CellKey>& keys);
    void build_hash_index(const std::vector<Slot>& columns);

    std::vector<FiledPoint> points_;
    // Dense: the run of column (cx, cy) is [offsets_[k], offsets_[k + 1]) with
    // k = (cx - min_x_) * height_ + (cy - min_y_).
    std::vector<std::uint64_t> offsets_;
    std::vector<std::uint64_t> z_cells_;  // each column's Run::z_cells, indexed as offsets_
    std::int64_t min_x_ = 0, min_y_ = 0, width_ = 0, height_ = 0;
    // Hash: power-of-two size, at most half full; the top bits index it.
    std::vector<Slot> slots_;
    unsigned shift_ = 64;
};

// Reads the points of a COLMAP points file and files them under cells of
// edge `radius`: a path ending in ".txt" is read in the points3D.txt form,
// any other in the points3D.bin layout. Prints its two stage lines.
Result<PointGrid> build_point_grid(const std::string& path, double radius, Interrupts& interrupts);

// ---- filter stage ----

// The configuration values the keep test reads.
struct KeepRules {
    std::optional<double> min_x, min_y, min_z, max_x, max_y, max_z;
    double max_area = 0;
    std::uint64_t min_neighbors = 10;
    double radius = 0.1;

    static KeepRules from(const CleanConfig& config);
};

// Where the keep test finds its six fields in a vertex record.
struct SplatFields {
    ply::Field x, y, z, scale_0, scale_1, scale_2;
};

// The six fields of the vertex layout; one the header does not declare is
// refused, naming it and the file.
Result<SplatFields> splat_fields(const ply::VertexLayout& layout, const std::string& path);

// The keep test of one record: neighbours (when there is a grid), box (each
// bound that is given) and scale.
bool splat_keep(const char* record, const SplatFields& fields, const PointGrid* grid,
                const KeepRules& rules);

// ---- writer stage ----

// One output of the call, kept or discarded splats, under a temporary name
// until it is complete: the input's header with the share's count, then the
// share's records byte for byte, in input order. Failures are held and
// returned by status() and finish(); a failed share takes no more records.
//
// A share that knows its count first is begun with it and fed in a pass of
// its own. Otherwise it is fed during the filter pass: it holds its records
// in memory up to `hold_bytes`; beyond that it guesses its count from the
// share of the records seen so far and writes the header of that guess and
// the records after it. finish() writes the true header over the guessed
// one, and when the two differ in their number of digits, first moves the
// records to where the true header ends.
class ShareFile {
public:
    ShareFile(const std::string& path, const ply::PlyHeader& header, std::uint64_t record_size,
              std::uint8_t wanted, std::size_t hold_bytes);
    // The writer refers to the output's file.
    ShareFile(const ShareFile&) = delete;
    ShareFile& operator=(const ShareFile&) = delete;

    const Status& status() const { return status_; }
    // A FIFO or a device: written front to back, so its count must come first.
    bool in_place() const;

    // Writes the header with `count`; the records follow as they are taken.
    Status begin(std::uint64_t count);
    // The window's records flagged `wanted` (flags indexed by record number);
    // `total` is the number of records in the input.
    void take(const io::Window& window, const std::vector<std::uint8_t>& flags, std::uint64_t total);
    // Puts the header with `count` in front of the records, flushes, closes
    // and renames the file into place, unless the call was interrupted.
    Status finish(std::uint64_t count, Interrupts& interrupts);

private:
    Result<std::string> header_text(std::uint64_t count) const;
    Status write_runs(const io::Window& window, const std::vector<std::uint8_t>& flags);
    void hold(const io::Window& window, const std::vector<std::uint8_t>& flags);
    Status replace_guessed_header(const std::string& text, std::uint64_t count, Interrupts& interrupts);

    const ply::PlyHeader& header_;
    std::uint64_t record_size_;
    std::uint8_t wanted_;
    std::size_t hold_bytes_;
    std::optional<io::Output> output_;
    std::optional<io::BufferedWriter> writer_;
    Status status_;
    std::uint64_t taken_ = 0;
    std::string held_;
    // The count in the header written so far, once there is one.
    std::optional<std::uint64_t> header_count_;
};

// The bytes of records each output holds back before it guesses its count:
// some 16,000 records of a splat file, which put the guess within about 1% of
// a share that runs through the file evenly. The hold is fresh memory every
// call, faulted in page by page and written out in one burst while the pool
// waits; 16 MiB made a 3-million-splat cleanup about 8% slower for a guess
// that is rarely wrong in its digits either way.
constexpr std::size_t kHoldBytes = std::size_t{4} << 20;

// ---- filter stage ----

// One flag per record (1 = keep), in record order, evaluated on the pool
// window by window; the workers share the window, the grid and the rules
// read-only. Each window's records are then handed to `shares` (kept first),
// which are fed in this one pass. Prints its two stage lines.
Result<std::vector<std::uint8_t>> filter_splats(io::RecordReader& records,
                                                const SplatFields& fields, const PointGrid* grid,
                                                const KeepRules& rules,
                                                std::span<ShareFile* const> shares,
                                                Interrupts& interrupts);

// Completes the kept share and, when there is one, the discarded share, each
// with its stage lines. Shares the filter pass did not feed (`fed` false)
// are begun with their counts and fed in one more pass over the records. A
// failure of the discarded file is reported at its stage, after the kept
// file is complete, as when the two were written one after the other.
Status write_splats(ShareFile& kept, ShareFile* discarded, const std::string& kept_path,
                    const std::optional<std::string>& discarded_path, io::RecordReader& records,
                    const std::vector<std::uint8_t>& flags, bool fed, Interrupts& interrupts);

// ---- the whole operation ----

// Runs the stages in order and prints their lines; the Python entry raises
// the error it returns. Outputs that are inputs, or one file twice, are
// refused before anything is read or written. `hold_bytes` is each output's
// hold (ShareFile).
Status cleanup_ply(const CleanConfig& config, const InterruptPoll& poll,
                   std::size_t hold_bytes = kHoldBytes);

}  // namespace larkspan::cleanup

template <>
struct larkspan::json::Schema<larkspan::cleanup::CleanConfig> {
    using R = larkspan::cleanup::CleanConfig;
    static constexpr std::string_view name = "CleanConfig";
    static constexpr auto fields = std::make_tuple(
        json::required("input_file", &R::input_file),
        json::required("output_file", &R::output_file),
        json::optional("discarded_file", &R::discarded_file),
        json::optional("min_x", &R::min_x), json::optional("min_y", &R::min_y),
        json::optional("min_z", &R::min_z), json::optional("max_x", &R::max_x),
        json::optional("max_y", &R::max_y), json::optional("max_z", &R::max_z),
        json::required("max_area", &R::max_area),
        json::optional("colmap_points_file", &R::colmap_points_file),
        json::optional_or_null("min_neighbors", &R::min_neighbors),
        json::optional_or_null("radius", &R::radius));
};
