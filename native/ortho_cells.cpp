#include "ortho_cells.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "common/io.hpp"
#include "common/parallel.hpp"

namespace larkspan::ortho_cells {

namespace {

constexpr std::string_view kVertexElement = "element vertex ";
constexpr std::string_view kProperty = "property ";
constexpr std::uint64_t kReadPiece = std::uint64_t{1} << 20;
constexpr std::uint64_t kAssignProgressStep = 100000;
// Cell files are written through a larger buffer than the 8 KiB floor: a cell
// of a few hundred MB would otherwise cost a system call per 33 records.
constexpr std::size_t kCellWriteBuffer = std::size_t{1} << 20;
constexpr std::size_t kPrefetchAhead = 8;
constexpr std::uint64_t kPrefetchBytes = 512;

// ---- loading ----

// The part of the header the loader keeps.
struct HeaderScan {
    std::vector<std::string> lines;
    std::vector<ply::PlyProperty> properties;
    std::uint64_t vertex_count = 0;
    std::uint64_t size = 0;  // raw bytes read, terminators included
};

bool is_vertex_element_line(std::string_view line) {
    return line.size() >= kVertexElement.size() && line.starts_with(kVertexElement);
}

Result<std::uint64_t> parse_vertex_count(std::string_view line) {
    const auto tokens = ply::split_whitespace(line);
    auto count = ply::parse_count(tokens.size() >= 3 ? tokens[2] : "0");
    if (!count) return fail(Error::value("Invalid vertex count"));
    return *count;
}

// Reads header lines, trimmed, up to and including "end_header" (or to the
// end of the file). Only "element vertex " and "property " lines are
// interpreted; every line is kept.
Result<HeaderScan> read_header(io::BufferedReader& reader) {
    HeaderScan header;
    std::string raw;
    for (;;) {
        raw.clear();
        auto read = reader.read_line(raw);
        if (!read) return fail(read.error());
        if (*read == 0) break;
        if (!io::is_valid_utf8(raw)) return fail(io::invalid_utf8_error());
        header.size += *read;
        const std::string_view line = ply::trim(raw);
        header.lines.emplace_back(line);

        if (line == "end_header") break;
        if (line.size() < 9) continue;
        if (is_vertex_element_line(line)) {
            auto count = parse_vertex_count(line);
            if (!count) return fail(count.error());
            header.vertex_count = *count;
        } else if (line.starts_with(kProperty)) {
            const auto tokens = ply::split_whitespace(line);
            if (tokens.size() >= 3)
                header.properties.push_back({std::string(tokens[1]), std::string(tokens[2])});
        }
    }
    return header;
}

struct RecordLayout {
    std::uint64_t x = 0, y = 0, z = 0;
    std::uint64_t size = 0;
};

RecordLayout record_layout(const std::vector<ply::PlyProperty>& properties) {
    RecordLayout layout;
    for (const auto& property : properties) {
        if (property.name == "x") layout.x = layout.size;
        else if (property.name == "y") layout.y = layout.size;
        else if (property.name == "z") layout.z = layout.size;
        layout.size += type_size(property.type_name);
    }
    return layout;
}

// x, y and z are read as 4-byte floats at their offsets; a record that cannot
// hold one of them would be read past its end.
Status require_coordinates_inside_record(const RecordLayout& layout, std::uint64_t vertex_count) {
    if (vertex_count == 0) return {};
    const std::pair<const char*, std::uint64_t> fields[] = {{"x", layout.x}, {"y", layout.y}, {"z", layout.z}};
    for (const auto& [name, offset] : fields) {
        if (offset + 4 > layout.size)
            return fail(Error::value("Vertex property " + std::string(name) + " at byte offset " +
                                     std::to_string(offset) + " does not lie wholly inside the " +
                                     std::to_string(layout.size) +
                                     "-byte vertex record; x, y and z must each be readable "
                                     "as a 4-byte float"));
    }
    return {};
}

// Headers that declare ascii or big-endian records would be decoded as
// garbage; files without a format line are read as little-endian.
Status require_little_endian(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) text += line + "\n";
    return ply::require_binary_little_endian(text);
}

// Refuses a file too short for the records its header announces before the
// buffer for them is allocated. Only regular files have a size to check.
Status require_vertex_bytes(io::File& file, std::uint64_t offset, std::uint64_t needed) {
    struct stat info {};
    if (::fstat(file.fd(), &info) != 0) return fail(io::os_error(errno));
    if (!S_ISREG(info.st_mode)) return {};
    const auto size = static_cast<std::uint64_t>(info.st_size);
    if (size < offset || size - offset < needed) return fail(io::short_read_error());
    return {};
}

// The last component of the path, as the loading bar names the file.
std::string display_name(std::string_view path) {
    for (;;) {
        while (!path.empty() && path.back() == '/') path.remove_suffix(1);
        const std::size_t slash = path.rfind('/');
        const std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
        if (last == ".") {
            path = path.substr(0, slash == std::string_view::npos ? 0 : slash);
            continue;
        }
        if (last.empty() || last == ".." || !io::is_valid_utf8(last)) return "ply file";
        return std::string(last);
    }
}

Result<ByteBuffer> read_vertex_block(io::File& file, std::uint64_t offset, std::uint64_t total,
                                     const std::string& ply_path, Interrupts& interrupts) {
    if (auto enough = require_vertex_bytes(file, offset, total); !enough) return fail(enough.error());
    auto buffer = ByteBuffer::allocate(total);
    if (!buffer) return fail(buffer.error());
    if (auto sought = file.seek(offset); !sought) return fail(sought.error());

    progress::ProgressBar bar(total);
    bar.set_style(progress::Template::Bytes);
    bar.set_message("Reading " + display_name(ply_path));
    for (std::uint64_t done = 0; done < total;) {
        if (auto checked = interrupts.check(); !checked) return fail(checked.error());
        const std::uint64_t piece = std::min(kReadPiece, total - done);
        if (auto read = file.read_exact(buffer->data() + done, piece); !read) return fail(read.error());
        done += piece;
        bar.set_position(done);
    }
    bar.finish_with_message("PLY data loaded");
    return buffer;
}

Result<OrthoCells> load_file(const std::string& ply_path, Interrupts& interrupts) {
    auto file = io::open_read(ply_path);
    if (!file) return fail(file.error());
    io::BufferedReader reader(*file);
    auto header = read_header(reader);
    if (!header) return fail(header.error());
    if (auto format = require_little_endian(header->lines); !format) return fail(format.error());
    const RecordLayout layout = record_layout(header->properties);
    if (auto inside = require_coordinates_inside_record(layout, header->vertex_count); !inside)
        return fail(inside.error());

    std::uint64_t total = 0;
    if (__builtin_mul_overflow(layout.size, header->vertex_count, &total))
        return fail(io::short_read_error());  // no file holds that many bytes
    auto data = read_vertex_block(*file, header->size, total, ply_path, interrupts);
    if (!data) return fail(data.error());

    OrthoCells ply;
    ply.source_path = ply_path;
    ply.header_lines = std::move(header->lines);
    ply.vertex_data = std::move(*data);
    ply.x_offset = layout.x;
    ply.y_offset = layout.y;
    ply.z_offset = layout.z;
    ply.vertex_size = layout.size;
    ply.vertex_count = header->vertex_count;
    return ply;
}

// ---- the cell index ----

// One axis of the grid: `bins` equal bins over [lo, hi]; values beyond the
// ends fall into the end bins. bin() never decreases as its argument grows,
// whatever the rounding, so every point a cell contains lies in a bin between
// the bins of the cell's two bounds.
struct GridAxis {
    double lo = 0, hi = 0, scale = 0;
    std::size_t bins = 1;

    std::size_t bin(double v) const {  // v is not NaN
        if (!(v > lo)) return 0;
        if (v >= hi) return bins - 1;
        const double t = (v - lo) * scale;
        return t < static_cast<double>(bins) ? static_cast<std::size_t>(t) : bins - 1;
    }
};

// A cell that some point can lie in: no NaN bound, no minimum above its maximum.
bool can_hold_points(const Cell& cell) {
    return cell.min_x <= cell.max_x && cell.min_y <= cell.max_y;
}

// A uniform grid over the cells' bounds; each bin lists, ascending, the cells
// whose bounds reach into it, so a splat is tested only against those.
class CellGrid {
public:
    explicit CellGrid(std::span<const Cell> cells) {
        std::vector<std::size_t> usable;
        for (std::size_t c = 0; c < cells.size(); ++c)
            if (can_hold_points(cells[c])) usable.push_back(c);
        if (usable.empty()) return;
        fit_axes(cells, usable);
        while (entries_needed(cells, usable) > max_entries(usable.size()) &&
               (x_.bins > 1 || y_.bins > 1))
            coarsen();
        fill_bins(cells, usable);
    }

    // The cells that may hold (x, y), ascending; none for a NaN coordinate.
    std::span<const std::size_t> candidates(double x, double y) const {
        if (bin_start_.empty() || std::isnan(x) || std::isnan(y)) return {};
        const std::size_t bin = y_.bin(y) * x_.bins + x_.bin(x);
        return {bin_cells_.data() + bin_start_[bin], bin_cells_.data() + bin_start_[bin + 1]};
    }

private:
    // About 16 bins per cell, shaped like the cells' extent: a cell of a
    // regular grid then spans 4 bins a side, so most splats meet one cell.
    static constexpr double kBinsPerCell = 16;
    static constexpr double kMaxBins = double(1 << 22);

    static std::uint64_t max_entries(std::size_t cells) {
        return std::max<std::uint64_t>(std::uint64_t{64} * cells, std::uint64_t{1} << 22);
    }

    static GridAxis axis_over(std::span<const Cell> cells, const std::vector<std::size_t>& usable,
                              double Cell::*min, double Cell::*max) {
        GridAxis axis;
        double lo = std::numeric_limits<double>::infinity(), hi = -lo;
        for (std::size_t c : usable) {
            for (double v : {cells[c].*min, cells[c].*max}) {
                if (!std::isfinite(v)) continue;
                lo = std::min(lo, v);
                hi = std::max(hi, v);
            }
        }
        if (lo <= hi) {
            axis.lo = lo;
            axis.hi = hi;
        }
        return axis;
    }

    static bool spans(const GridAxis& axis) {
        const double extent = axis.hi - axis.lo;
        return std::isfinite(extent) && extent > 0;
    }

    static void set_bins(GridAxis& axis, double bins) {
        axis.bins = static_cast<std::size_t>(std::clamp(std::round(bins), 1.0, kMaxBins));
        const double scale = static_cast<double>(axis.bins) / (axis.hi - axis.lo);
        axis.scale = axis.bins > 1 && std::isfinite(scale) ? scale : 0;
        if (axis.scale == 0) axis.bins = 1;
    }

    void fit_axes(std::span<const Cell> cells, const std::vector<std::size_t>& usable) {
        x_ = axis_over(cells, usable, &Cell::min_x, &Cell::max_x);
        y_ = axis_over(cells, usable, &Cell::min_y, &Cell::max_y);
        const double target = std::clamp(kBinsPerCell * static_cast<double>(usable.size()), 1.0, kMaxBins);
        if (spans(x_) && spans(y_)) {
            const double aspect = (x_.hi - x_.lo) / (y_.hi - y_.lo);
            const double nx = std::clamp(std::sqrt(target * aspect), 1.0, target);
            set_bins(x_, nx);
            set_bins(y_, std::max(1.0, target / static_cast<double>(x_.bins)));
        } else if (spans(x_)) {
            set_bins(x_, target);
        } else if (spans(y_)) {
            set_bins(y_, target);
        }
    }

    void coarsen() {
        set_bins(x_, static_cast<double>(x_.bins / 2));
        set_bins(y_, static_cast<double>(y_.bins / 2));
    }

    struct BinRange {
        std::size_t x0, x1, y0, y1;
    };
    BinRange range_of(const Cell& cell) const {
        return {x_.bin(cell.min_x), x_.bin(cell.max_x), y_.bin(cell.min_y), y_.bin(cell.max_y)};
    }

    std::uint64_t entries_needed(std::span<const Cell> cells, const std::vector<std::size_t>& usable) const {
        std::uint64_t entries = 0;
        for (std::size_t c : usable) {
            const BinRange r = range_of(cells[c]);
            entries += std::uint64_t{r.x1 - r.x0 + 1} * (r.y1 - r.y0 + 1);
        }
        return entries;
    }

    void fill_bins(std::span<const Cell> cells, const std::vector<std::size_t>& usable) {
        const std::size_t bins = x_.bins * y_.bins;
        bin_start_.assign(bins + 1, 0);
        auto for_each_bin = [&](std::size_t c, auto&& fn) {
            const BinRange r = range_of(cells[c]);
            for (std::size_t by = r.y0; by <= r.y1; ++by)
                for (std::size_t bx = r.x0; bx <= r.x1; ++bx) fn(by * x_.bins + bx);
        };
        for (std::size_t c : usable) for_each_bin(c, [&](std::size_t bin) { ++bin_start_[bin + 1]; });
        for (std::size_t b = 0; b < bins; ++b) bin_start_[b + 1] += bin_start_[b];
        bin_cells_.resize(bin_start_[bins]);
        std::vector<std::size_t> next(bin_start_.begin(), bin_start_.end() - 1);
        for (std::size_t c : usable) for_each_bin(c, [&](std::size_t bin) { bin_cells_[next[bin]++] = c; });
    }

    GridAxis x_, y_;
    std::vector<std::size_t> bin_start_;  // bin b's cells are bin_cells_[bin_start_[b], bin_start_[b+1])
    std::vector<std::size_t> bin_cells_;
};

// ---- writing ----

std::string header_text(const std::vector<std::string>& lines, std::uint64_t vertex_count) {
    std::string text;
    for (const auto& line : lines) {
        if (is_vertex_element_line(line)) text += std::string(kVertexElement) + std::to_string(vertex_count);
        else text += line;
        text += '\n';
    }
    return text;
}

// Creates the file, writes the header with `vertex_count`, then whatever
// `body` writes; the file appears at `path` only when complete.
template <class Body>
Status write_ply(const OrthoCells& ply, const std::string& path, std::uint64_t vertex_count,
                 std::size_t buffer_size, Body&& body) {
    auto output = io::Output::create(path);
    if (!output) return fail(output.error());
    io::BufferedWriter writer(output->file(), buffer_size);
    if (auto written = writer.write(header_text(ply.header_lines, vertex_count)); !written) return written;
    if (auto written = body(writer); !written) return written;
    if (auto flushed = writer.flush(); !flushed) return flushed;
    return output->commit();
}

// Records of a cell, or bytes of write_ply_file, written between two
// interrupt checks.
constexpr std::size_t kRecordsPerCheck = 1 << 16;
constexpr std::size_t kBytesPerCheck = std::size_t{64} << 20;

// A cell's records lie scattered over the whole block, so each one is a
// cache miss; fetching a few records ahead overlaps those misses.
void prefetch_record(const OrthoCells& ply, std::uint64_t i) {
    const char* record = ply.record(i);
    const std::uint64_t span = std::min<std::uint64_t>(ply.vertex_size, kPrefetchBytes);
    for (std::uint64_t offset = 0; offset < span; offset += 64) __builtin_prefetch(record + offset);
}

Status write_cell(const OrthoCells& ply, const std::string& path, const std::vector<std::uint64_t>& indices,
                  Interrupts& interrupts) {
    return write_ply(ply, path, indices.size(), kCellWriteBuffer, [&](io::BufferedWriter& writer) -> Status {
        for (std::size_t k = 0; k < indices.size(); ++k) {
            if (k % kRecordsPerCheck == 0) {
                if (auto checked = interrupts.check(); !checked) return checked;
            }
            if (k + kPrefetchAhead < indices.size()) prefetch_record(ply, indices[k + kPrefetchAhead]);
            if (auto written = writer.write(ply.record(indices[k]), ply.vertex_size); !written) return written;
        }
        return {};
    });
}

// Refuses cells that would write one file: equal paths once normalised, or
// two names of one existing file.
Status refuse_shared_output_paths(const std::vector<Cell>& cells) {
    std::vector<std::string> paths;
    paths.reserve(cells.size());
    for (const auto& cell : cells) paths.push_back(cell.output_path);
    const auto shared = io::first_shared_path(paths);
    if (!shared) return {};
    const auto [first, second] = *shared;
    return fail(Error::value("Cells " + std::to_string(first) + " and " + std::to_string(second) +
                             " have the same output path (" + cells[first].output_path + ", " +
                             cells[second].output_path + "); every cell needs a file of its own"));
}

Result<CellIndices> assign_with_progress(const OrthoCells& ply, const std::vector<Cell>& cells,
                                         Interrupts& interrupts) {
    progress::ProgressBar bar(ply.vertex_count);
    bar.set_style(progress::Template::CountAndRate);
    bar.set_message("Assigning splats to cells");
    CellIndices indices = assign_splats(ply, cells, &bar, &interrupts);
    if (auto checked = interrupts.check(); !checked) return fail(checked.error());
    bar.finish_with_message("Assignment complete");
    return indices;
}

// Writes the non-empty cells in parallel; a failure is reported on stderr at
// once and kept in the cell's slot.
// After an interrupt, cells not yet started are skipped and the failures of
// the stopped ones are not reported.
std::vector<std::optional<Error>> write_cells(const OrthoCells& ply, const std::vector<Cell>& cells,
                                              const CellIndices& indices, Interrupts& interrupts) {
    progress::ProgressBar bar(cells.size());
    bar.set_style(progress::Template::CountAndRate);
    bar.set_message("Writing cell PLY files");
    auto failures = parallel_map<std::optional<Error>>(cells.size(), [&](std::size_t c) {
        std::optional<Error> failure;
        if (!indices[c].empty() && !interrupts.stopped()) {
            auto written = write_cell(ply, cells[c].output_path, indices[c], interrupts);
            if (!written && written.error().kind != ErrorKind::Interrupted) {
                io::print_error("Failed to write PLY file " + cells[c].output_path + ": " +
                                written.error().message + "\n");
                failure = written.error();
            }
        }
        bar.inc(1);
        return failure;
    });
    bar.finish_with_message("Cell PLY files written");
    return failures;
}

Status report_failures(const std::vector<Cell>& cells, const CellIndices& indices,
                       const std::vector<std::optional<Error>>& failures) {
    std::size_t failed = 0, attempted = 0, first = cells.size();
    for (std::size_t c = 0; c < cells.size(); ++c) {
        attempted += indices[c].empty() ? 0 : 1;
        if (!failures[c]) continue;
        ++failed;
        first = std::min(first, c);
    }
    if (failed == 0) return {};
    const Error& error = *failures[first];
    return fail(Error{ErrorKind::OsMatching,
                      std::to_string(failed) + " of " + std::to_string(attempted) +
                          " cell PLY files failed to write; the first: " + cells[first].output_path +
                          ": " + error.message,
                      error.os_errno});
}

}  // namespace

std::uint64_t type_size(std::string_view type_word) {
    if (type_word == "char" || type_word == "int8" || type_word == "uchar" || type_word == "uint8") return 1;
    if (type_word == "short" || type_word == "int16" || type_word == "ushort" || type_word == "uint16") return 2;
    if (type_word == "int" || type_word == "int32" || type_word == "uint" || type_word == "uint32" ||
        type_word == "float" || type_word == "float32")
        return 4;
    if (type_word == "double" || type_word == "float64") return 8;
    return 0;
}

Result<OrthoCells> load(const std::string& ply_path, const InterruptPoll& poll) {
    Interrupts interrupts(poll);
    auto loaded = load_file(ply_path, interrupts);
    if (!loaded && (loaded.error().kind == ErrorKind::Os)) return fail(loaded.error().as(ErrorKind::OsMatching));
    return loaded;
}

Bounds get_bounds(const OrthoCells& ply) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    Bounds bounds{inf, -inf, inf, -inf, 0};
    double sum_z = 0;
    for (std::uint64_t i = 0; i < ply.vertex_count; ++i) {
        const double x = ply.x(i), y = ply.y(i);
        // Comparisons with NaN are false, so NaN coordinates never count.
        if (x < bounds.min_x) bounds.min_x = x;
        if (x > bounds.max_x) bounds.max_x = x;
        if (y < bounds.min_y) bounds.min_y = y;
        if (y > bounds.max_y) bounds.max_y = y;
        sum_z += ply.z(i);
    }
    bounds.mean_z = sum_z / static_cast<double>(ply.vertex_count);
    return bounds;
}

CellIndices assign_splats(const OrthoCells& ply, std::span<const Cell> cells,
                          progress::ProgressBar* bar, Interrupts* interrupts) {
    const CellGrid grid(cells);
    CellIndices indices(cells.size());
    for (std::uint64_t start = 0; start < ply.vertex_count; start += kAssignProgressStep) {
        if (interrupts != nullptr && !interrupts->check()) break;
        const std::uint64_t end = std::min(ply.vertex_count, start + kAssignProgressStep);
        for (std::uint64_t i = start; i < end; ++i) {
            const double x = ply.x(i), y = ply.y(i);
            for (std::size_t c : grid.candidates(x, y))
                if (cells[c].contains(x, y)) indices[c].push_back(i);
        }
        if (bar != nullptr && end % kAssignProgressStep == 0) bar->set_position(end);
    }
    return indices;
}

CellIndices assign_splats_literally(const OrthoCells& ply, std::span<const Cell> cells) {
    CellIndices indices(cells.size());
    for (std::uint64_t i = 0; i < ply.vertex_count; ++i) {
        const double x = ply.x(i), y = ply.y(i);
        for (std::size_t c = 0; c < cells.size(); ++c)
            if (cells[c].contains(x, y)) indices[c].push_back(i);
    }
    return indices;
}

Status extract_all_cells(const OrthoCells& ply, const std::vector<Cell>& cells,
                         const InterruptPoll& poll) {
    Interrupts interrupts(poll);
    if (auto distinct = refuse_shared_output_paths(cells); !distinct) return distinct;
    std::vector<std::string> outputs;
    for (const auto& cell : cells) outputs.push_back(cell.output_path);
    if (auto apart = io::refuse_outputs_among_inputs(outputs, {ply.source_path}); !apart) return apart;
    const auto indices = assign_with_progress(ply, cells, interrupts);
    if (!indices) return fail(indices.error());
    const auto failures = write_cells(ply, cells, *indices, interrupts);
    if (auto checked = interrupts.check(); !checked) return checked;
    return report_failures(cells, *indices, failures);
}

Status write_ply_file(const OrthoCells& ply, const std::string& output_path,
                      std::span<const char> vertex_data, std::uint64_t vertex_count,
                      const InterruptPoll& poll) {
    Interrupts interrupts(poll);
    // A header that disagrees with its records would be read as garbage.
    unsigned long long expected = 0;
    const bool overflows = multiply_overflows(vertex_count, ply.vertex_size, expected);
    if (overflows || expected != vertex_data.size())
        return fail(Error::value(
            "vertex_data holds " + std::to_string(vertex_data.size()) + " bytes, but " +
            std::to_string(vertex_count) + " records of " + std::to_string(ply.vertex_size) +
            " bytes take " + (overflows ? std::string("more than 2^64") : std::to_string(expected)) +
            " bytes"));
    if (auto apart = io::refuse_outputs_among_inputs({output_path}, {ply.source_path}); !apart)
        return apart;
    auto written = write_ply(ply, output_path, vertex_count, io::kBufferSize, [&](io::BufferedWriter& writer) -> Status {
        for (std::size_t done = 0; done < vertex_data.size();) {
            if (auto checked = interrupts.check(); !checked) return checked;
            const std::size_t piece = std::min(kBytesPerCheck, vertex_data.size() - done);
            if (auto w = writer.write(vertex_data.data() + done, piece); !w) return w;
            done += piece;
        }
        if (auto flushed = writer.flush(); !flushed) return flushed;
        return interrupts.check();
    });
    if (!written && written.error().kind == ErrorKind::Os) return fail(written.error().as(ErrorKind::OsMatching));
    return written;
}

}  // namespace larkspan::ortho_cells
