#pragma once
// Point-cloud splitting: a PLY point cloud is cut into one COLMAP binary
// points file per patch rectangle of the ground plane.
//
// split_ply reads the header (read_point_cloud), then passes over the records
// once (write_patches): as each window of records is read, the points inside
// the height range (and, optionally, a random share of them) are kept, found
// in their patches and written. The calling thread shows the three steps'
// bars in their order, extraction, assignment (assign_points_to_patches),
// writing, and polls for interrupts; no patch file is put in place before the
// assignment has been shown. The records are read from the file window by
// window (common/records.hpp): memory holds one bit per vertex and fixed
// buffers, whatever the size of the input. The work is shared with the worker
// pool.

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "common/colmap.hpp"
#include "common/error.hpp"
#include "common/interrupt.hpp"
#include "common/io.hpp"
#include "common/json.hpp"
#include "common/records.hpp"
#include "common/ply.hpp"

namespace larkspan::split_point_cloud {

inline constexpr double kInfinity = std::numeric_limits<double>::infinity();

// A rectangle of the ground plane (minimum inclusive, maximum exclusive) and
// the file that receives the points inside it.
struct Patch {
    double min_x = -kInfinity;
    double min_y = -kInfinity;
    double max_x = kInfinity;
    double max_y = kInfinity;
    std::string output_file;

    // All four comparisons, without branches: callers test points near patch
    // edges, where a branch would often be mispredicted.
    bool contains(double x, double y) const {
        return (min_x <= x) & (x < max_x) & (min_y <= y) & (y < max_y);
    }
};

struct Config {
    std::string input_file;
    double sample_percentage = 100.0;
    double min_z = -kInfinity;  // inclusive
    double max_z = kInfinity;   // exclusive
    std::vector<Patch> patches;
};

// JSON text to a Config: errors are ValueError "JSON parse error: ...".
Result<Config> config_from_json(std::string_view text);
// The file's whole text, then as config_from_json; a file that cannot be read
// or is not UTF-8 is OSError "File read error: ...".
Result<Config> config_from_file(const std::string& path);
// Pretty-printed JSON; infinite and NaN values are written as null (and read
// back as the infinite defaults).
std::string config_to_json(const Config& config);

// ---- the pipeline ----

// Where the fields split_ply reads lie in a vertex record: x, y and z by
// their declared type; each colour as the byte at its offset (the high byte of
// a 16-bit channel), or 255 for every point when the header has no such
// property.
struct RecordLayout {
    std::uint64_t record_size = 0;
    ply::Field x, y, z;
    std::optional<std::uint64_t> red, green, blue;
};

// The layout of the header's vertex records. A missing x, y or z, or a colour
// of a type other than uchar or ushort, is refused naming the property.
Result<RecordLayout> record_layout(const ply::VertexLayout& vertex, const std::string& path);

// One point as the writers emit it: its coordinates, exactly as declared, and
// its colour.
struct CloudPoint {
    double x = 0, y = 0, z = 0;
    std::uint8_t red = 255, green = 255, blue = 255;
};

// The input as the read step leaves it: open, its header read, and room for
// the kept points, recorded as a set of vertex numbers, one bit per vertex,
// in input order. The writing pass decides them as it reads the records; a
// later pass (when the patches are written in groups) reads them back. A
// point's position in the kept-point list is the number of kept vertices
// before it.
struct Cloud {
    std::shared_ptr<const io::File> file;  // the input, open until the writing is done
    std::uint64_t body_offset = 0;         // its first record
    std::uint64_t vertex_count = 0;
    RecordLayout layout;
    std::vector<std::uint64_t> kept;  // bit v of word v / 64: vertex v is kept; all clear
};

inline bool is_kept(const std::vector<std::uint64_t>& kept, std::uint64_t vertex) {
    return (kept[vertex / 64] >> (vertex % 64)) & 1;
}

// The point of one vertex record; with kFloat32, x, y and z are known to be
// 4-byte floats.
template <bool kFloat32 = false>
inline CloudPoint point_at(const char* record, const RecordLayout& layout) {
    auto channel = [&](const std::optional<std::uint64_t>& offset) {
        return offset ? static_cast<std::uint8_t>(record[*offset]) : std::uint8_t{255};
    };
    const double x = ply::read_field<kFloat32>(record, layout.x);
    const double y = ply::read_field<kFloat32>(record, layout.y);
    const double z = ply::read_field<kFloat32>(record, layout.z);
    return {x, y, z, channel(layout.red), channel(layout.green), channel(layout.blue)};
}

// How many points each patch receives, in patch order.
using PatchCounts = std::vector<std::uint64_t>;


struct SplitCounts {
    std::uint64_t points_loaded = 0;
    std::uint64_t total_points_written = 0;
    std::uint64_t patches_written = 0;
};

// Steps of split_ply, in order. Each returns its result or the error the
// entry point raises (kind and full message). write_patches keeps, assigns
// and writes the points in one pass, and shows the extraction's bar and line,
// then the assignment's, then its own.
Result<Cloud> read_point_cloud(const Config& config);
Status assign_points_to_patches(std::uint64_t kept_count, const InterruptPoll& interrupted);
Result<SplitCounts> write_patches(Cloud cloud, const Config& config, const InterruptPoll& interrupted);

// The whole pipeline. Files written before a failure stay on disk. An
// interrupt in any step is a KeyboardInterrupt; while the writers run, it
// stops them, and they are joined (their unfinished files removed) before
// the call returns.
Result<SplitCounts> split_ply(const Config& config, const InterruptPoll& interrupted);

// One points3D.bin record with an empty track: id, position, colour,
// error -1, track length 0.
inline constexpr std::size_t kPointRecordSize = colmap::kPoint3DHeadSize;
void encode_point_record(char* out, std::uint64_t id, const CloudPoint& point);

namespace detail {

// What one writer did with its patch.
struct WriterOutcome {
    enum class Kind { Pending, Written, Failed, Abnormal } kind = Kind::Pending;
    std::uint64_t points = 0;
    Error error;
};

// Writes one patch: the count of points written, or the error. A writer that
// throws has ended abnormally ("Thread join failed"). `stop` is set when the
// call is interrupted: the writer should give up soon after.
using PatchWriter =
    std::function<Result<std::uint64_t>(std::size_t patch, const std::atomic<bool>& stop)>;

// Where writing threads report what became of each patch, once per patch,
// and learn that the call was interrupted: they should then give up soon,
// leaving no unfinished file. A job that extracts the points in its first
// pass reports that pass's progress and end too.
class WriterReport {
public:
    virtual void done(std::size_t patch, WriterOutcome outcome) = 0;
    virtual const std::atomic<bool>& stop() const = 0;
    // The first pass has read this many more vertices.
    virtual void extracting(std::uint64_t vertices) = 0;
    // The first pass has ended, with the number of kept points or its
    // failure. After a count, waits until the calling thread has shown the
    // assignment: true to go on writing, false when the call has stopped.
    virtual bool extracted(Result<std::uint64_t> kept) = 0;

protected:
    ~WriterReport() = default;
};

// Work that writes every patch and reports each; run on threads of its own.
using WritingJob = std::function<void(WriterReport& report)>;

// What the calling thread shows while a job extracts the points: a bar over
// the header's vertex count, then the "Sampled" line for a percentage below
// 100.
struct ExtractionShown {
    std::uint64_t vertex_count = 0;
    double sample_percentage = 100;
};

// The writing machinery of write_patches with the work injected: runs `job`
// on `threads` threads, which own the function and whatever it captures,
// while the calling thread shows progress and polls for interrupts; then
// reports the outcomes in patch order. A job that throws leaves the patches
// it did not report ended abnormally. On an interrupt the job is told to
// stop and its threads are joined before it returns. With `extraction`, the
// job's first pass extracts the points: its bar, line and the assignment
// step come first, and the job writes on only after them.
Result<SplitCounts> run_writing(std::size_t patch_count, std::size_t threads, WritingJob job,
                                const InterruptPoll& interrupted,
                                std::optional<ExtractionShown> extraction = std::nullopt);

// The same with one function per patch, run for every patch on a bounded set
// of threads.
Result<SplitCounts> run_writers(std::size_t patch_count, PatchWriter write_one,
                                const InterruptPoll& interrupted);

}  // namespace detail

}  // namespace larkspan::split_point_cloud

// JSON form: a missing or null bound is the infinite default, so to_json
// output, which writes infinite bounds as null, reads back.
template <>
struct larkspan::json::Schema<larkspan::split_point_cloud::Patch> {
    using R = larkspan::split_point_cloud::Patch;
    static constexpr std::string_view name = "Patch";
    static constexpr auto fields = std::make_tuple(json::optional_or_null("min_x", &R::min_x),
                                                   json::optional_or_null("min_y", &R::min_y),
                                                   json::optional_or_null("max_x", &R::max_x),
                                                   json::optional_or_null("max_y", &R::max_y),
                                                   json::required("output_file", &R::output_file));
};

template <>
struct larkspan::json::Schema<larkspan::split_point_cloud::Config> {
    using R = larkspan::split_point_cloud::Config;
    static constexpr std::string_view name = "Config";
    static constexpr auto fields =
        std::make_tuple(json::required("input_file", &R::input_file),
                        json::optional("sample_percentage", &R::sample_percentage),
                        json::optional_or_null("minZ", &R::min_z),
                        json::optional_or_null("maxZ", &R::max_z),
                        json::required("patches", &R::patches));
};
