#pragma once
// Splat cleanup: keep the splats of a PLY file that lie in an optional box,
// have enough COLMAP points near them and are not too large; write the kept
// splats, and optionally the discarded ones, under the input's header.
//
// Stages, in the order cleanup_ply runs them:
//   build_point_grid  COLMAP points file -> hash grid with cell edge `radius`
//   filter_splats     one keep flag per splat, evaluated on the oneTBB pool
//   write_splats      kept and discarded records, read again from the input
//
// The records are read window by window (common/records.hpp), twice: memory
// holds one window, the grid and one flag byte per splat, whatever the size
// of the input.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "common/interrupt.hpp"
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
// not 27. Columns are found through a dense offset table when the occupied
// columns fill their bounding rectangle well (the usual ground-plane scene),
// and through an open-addressing hash table otherwise (outliers far away).
class PointGrid {
public:
    PointGrid(const std::vector<GridPoint>& points, double radius);

    std::size_t point_count() const { return points_.size(); }
    // The points of cells (cx, cy, z) for z_first <= z <= z_last, in cell
    // order and file order within a cell; empty when there are none.
    std::span<const FiledPoint> cells(std::int64_t cx, std::int64_t cy, std::int64_t z_first,
                                      std::int64_t z_last) const;

private:
    struct Run {
        std::uint64_t begin = 0, end = 0;
    };
    struct Slot {
        std::int64_t cx = 0, cy = 0;
        Run run;  // begin == end: free slot
    };
    Run column(std::int64_t cx, std::int64_t cy) const;
    // `columns` in (cx, cy) order, each with its run.
    void build_dense_index(const std::vector<Slot>& columns);
    void build_hash_index(const std::vector<Slot>& columns);

    std::vector<FiledPoint> points_;
    // Dense: the run of column (cx, cy) is [offsets_[k], offsets_[k + 1]) with
    // k = (cx - min_x_) * height_ + (cy - min_y_).
    std::vector<std::uint64_t> offsets_;
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

// One flag per record (1 = keep), in record order, evaluated on the pool
// window by window; the workers share the window, the grid and the rules
// read-only. Prints its two stage lines.
Result<std::vector<std::uint8_t>> filter_splats(io::RecordReader& records,
                                                const SplatFields& fields, const PointGrid* grid,
                                                const KeepRules& rules, Interrupts& interrupts);

// ---- writer stage ----

enum class Share { Kept, Discarded };

// Writes the kept records to `kept_path` and, when `discarded_path` is
// given, the discarded ones to it, each under the input's header with the
// count of its share, in input order, in one pass over the records. Prints
// the kept stage's two lines, then the discarded stage's; each file is
// flushed, closed and renamed into place before its second line, so a
// failure there is reported. A failure of the discarded file is reported at
// its stage, after the kept file is complete, as when the two were written
// one after the other.
Status write_splats(const std::string& kept_path, const std::optional<std::string>& discarded_path,
                    const ply::PlyHeader& header, io::RecordReader& records,
                    const std::vector<std::uint8_t>& flags, Interrupts& interrupts);

// ---- the whole operation ----

// Runs the stages in order and prints their lines; the Python entry raises
// the error it returns. Outputs that are inputs, or one file twice, are
// refused before anything is read or written.
Status cleanup_ply(const CleanConfig& config, const InterruptPoll& poll);

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
