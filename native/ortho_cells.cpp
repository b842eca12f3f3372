#include "ortho_cells.hpp"

#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <cstring>
#include <limits>
#include <optional>
#include <thread>
#include <utility>

#include "common/io.hpp"
#include "common/parallel.hpp"
#include "common/progress.hpp"
#include "common/rect_index.hpp"

namespace larkspan::ortho_cells {

namespace {


// ---- loading ----

// The header as the loader keeps it: every line, trimmed.
std::vector<std::string> trimmed_lines(std::string_view text) {
    std::vector<std::string> lines;
    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        const std::size_t end = newline == std::string_view::npos ? text.size() : newline + 1;
        lines.emplace_back(ply::trim(text.substr(0, end)));
        text.remove_prefix(end);
    }
    return lines;
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

VertexView view_of(const OrthoCells& ply, const io::Window& window) {
    return {window.data, window.count, ply.vertex_size, ply.x_field, ply.y_field, ply.z_field};
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

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// A type whose every value a 4-byte float holds exactly.
bool fits_float(ply::Type type) {
    return type == ply::Type::Float32 || type == ply::Type::Int8 || type == ply::Type::UInt8 ||
           type == ply::Type::Int16 || type == ply::Type::UInt16;
}

// One pass over the records under the bytes bar, taking the NaN-ignoring
// extent of x and y, the sum of z in file order, and every x and y.
Status read_bounds(OrthoCells& ply, const std::string& ply_path, Interrupts& interrupts) {
    const std::uint64_t total = ply.vertex_size * ply.vertex_count;
    progress::ProgressBar bar(total);
    bar.set_style(progress::Template::Bytes);
    bar.set_message("Reading " + display_name(ply_path));
    Bounds bounds{kInfinity, -kInfinity, kInfinity, -kInfinity, 0};
    double sum_z = 0;
    const bool narrow = fits_float(ply.x_field.type) && fits_float(ply.y_field.type);
    (narrow ? ply.xy32.resize(2 * ply.vertex_count) : ply.xy64.resize(2 * ply.vertex_count));
    if (ply.vertex_count > 0) {
        auto records = io::RecordReader::create(ply.file, ply.body_offset, ply.vertex_size,
                                                ply.vertex_count);
        if (!records) return fail(records.error());
        auto read = records->for_each(io::Order::Forward, [&](const io::Window& window) -> Status {
            if (auto checked = interrupts.check(); !checked) return checked;
            const VertexView view = view_of(ply, window);
            const std::uint64_t at = 2 * window.first;
            for (std::uint64_t i = 0; i < view.count; ++i) {
                const double x = view.x(i), y = view.y(i);
                if (narrow) {  // exact, see fits_float
                    ply.xy32[at + 2 * i] = static_cast<float>(x);
                    ply.xy32[at + 2 * i + 1] = static_cast<float>(y);
                } else {
                    ply.xy64[at + 2 * i] = x;
                    ply.xy64[at + 2 * i + 1] = y;
                }
                // Comparisons with NaN are false, so NaN coordinates never count.
                if (x < bounds.min_x) bounds.min_x = x;
                if (x > bounds.max_x) bounds.max_x = x;
                if (y < bounds.min_y) bounds.min_y = y;
                if (y > bounds.max_y) bounds.max_y = y;
                sum_z += view.z(i);
            }
            bar.set_position((window.first + window.count) * ply.vertex_size);
            return {};
        });
        if (!read) return read;
    }
    bounds.mean_z = sum_z / static_cast<double>(ply.vertex_count);
    ply.bounds = bounds;
    bar.finish_with_message("PLY data loaded");
    return {};
}

Result<OrthoCells> load_file(const std::string& ply_path, Interrupts& interrupts) {
    auto file = io::open_read(ply_path);
    if (!file) return fail(file.error());
    io::BufferedReader reader(*file);
    const ply::ScanRules rules{.require_end_header = false,
                               .bad_count = Error::value("Invalid vertex count")};
    auto header = ply::read_ply_header(reader, rules);
    if (!header) return fail(header.error());
    auto layout = ply::vertex_layout(*header);
    if (!layout) return fail(layout.error());
    OrthoCells ply;
    const std::pair<const char*, ply::Field*> coordinates[] = {
        {"x", &ply.x_field}, {"y", &ply.y_field}, {"z", &ply.z_field}};
    for (const auto& [name, field] : coordinates) {
        auto found = ply::require_field(*layout, name, ply_path);
        if (!found) return fail(found.error());
        *field = *found;
    }

    std::uint64_t total = 0;
    if (__builtin_mul_overflow(layout->record_size, header->vertex_count, &total))
        return fail(io::short_read_error());  // no file holds that many bytes
    if (auto enough = require_vertex_bytes(*file, header->header_size, total); !enough) return fail(enough.error());
    auto stamp = io::stamp_of(*file);
    if (!stamp) return fail(stamp.error());
    std::error_code ignored;
    const std::filesystem::path absolute = std::filesystem::absolute(ply_path, ignored);

    ply.path = ply_path;
    ply.absolute_path = absolute.empty() ? ply_path : absolute.string();
    ply.file = std::move(*file);
    ply.stamp = *stamp;
    ply.header_lines = trimmed_lines(header->header_text);
    ply.body_offset = header->header_size;
    ply.vertex_size = layout->record_size;
    ply.vertex_count = header->vertex_count;
    if (auto read = read_bounds(ply, ply_path, interrupts); !read) return fail(read.error());
    return ply;
}

// ---- the cell index ----

RectIndex index_of(std::span<const Cell> cells) {
    std::vector<Rect> rects;
    rects.reserve(cells.size());
    for (const Cell& c : cells) rects.push_back({c.min_x, c.min_y, c.max_x, c.max_y});
    return RectIndex(rects);
}

// ---- writing ----

std::string header_text(const std::vector<std::string>& lines, std::uint64_t vertex_count) {
    std::string text;
    for (const auto& line : lines) {
        if (ply::is_vertex_element_line(line)) text += "element vertex " + std::to_string(vertex_count);
        else text += line;
        text += '\n';
    }
    return text;
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

Error changed_error(const OrthoCells& ply) {
    return Error::os("The PLY file " + ply.path +
                     " changed after it was loaded (it is another file now, or its size or "
                     "modification time differ); load it again to cut it into cells");
}

// A read that fails because the file changed is reported as that change.
Error read_failure(const OrthoCells& ply, const Error& error) {
    if (!require_unchanged(ply)) return changed_error(ply);
    return error.as(ErrorKind::OsMatching);
}

// Bytes of write_ply_file written between two interrupt checks.
constexpr std::size_t kBytesPerCheck = std::size_t{64} << 20;

// No more (cell, splat) pairs are listed at once than this (4 MiB of them).
constexpr std::uint64_t kMaxStretchPairs = std::uint64_t{1} << 19;
// Nor do their records take more than this, copied out for writing.
constexpr std::uint64_t kMaxStagedBytes = 2 * io::kWindowBytes;

// The window is cut into this many pieces for the pool: a few per thread.
std::size_t piece_count(std::uint64_t records) {
    const auto threads = static_cast<std::uint64_t>(std::max(1u, std::thread::hardware_concurrency()));
    return static_cast<std::size_t>(std::clamp<std::uint64_t>(records / 2048, 1, 4 * threads));
}

// Calls visit(i, c) for every vertex i in [first, last) of the positions
// (anything with x(i) and y(i)), ascending, and every cell c that contains
// it, ascending.
template <class Positions, class Visit>
void for_each_membership(const RectIndex& grid, std::span<const Cell> cells, const Positions& positions,
                         std::uint64_t first, std::uint64_t last, Visit&& visit) {
    for (std::uint64_t i = first; i < last; ++i) {
        const double x = positions.x(i), y = positions.y(i);
        for (const std::uint32_t c : grid.candidates(x, y))
            if (cells[c].contains(x, y)) visit(i, c);
    }
}

// Each cell's number of splats, from the positions taken while loading.
Result<std::vector<std::uint64_t>> count_cells(const OrthoCells& ply, const RectIndex& grid,
                                               const std::vector<Cell>& cells, Interrupts& interrupts) {
    progress::ProgressBar bar(ply.vertex_count);
    bar.set_style(progress::Template::CountAndRate);
    bar.set_message("Assigning splats to cells");
    constexpr std::uint64_t kStep = std::uint64_t{1} << 20;
    const std::size_t pieces = piece_count(kStep);
    // One row of counts per piece of a step; piece k of every step adds to
    // row k, so no two workers share a row.
    std::vector<std::vector<std::uint64_t>> rows(pieces, std::vector<std::uint64_t>(cells.size()));
    for (std::uint64_t first = 0; first < ply.vertex_count; first += kStep) {
        if (auto checked = interrupts.check(); !checked) return fail(checked.error());
        const std::uint64_t span = std::min(kStep, ply.vertex_count - first);
        parallel_for_each(pieces, [&](std::size_t k) {
            for_each_membership(grid, cells, ply, first + span * k / pieces, first + span * (k + 1) / pieces,
                                [&](std::uint64_t, std::size_t c) { ++rows[k][c]; });
        });
        bar.set_position(first + span);
    }
    std::vector<std::uint64_t> counts(cells.size());
    for (const auto& row : rows)
        for (std::size_t c = 0; c < cells.size(); ++c) counts[c] += row[c];
    bar.finish_with_message("Assignment complete");
    return counts;
}

// How many cell files are open at once: well inside the process's limit on
// open files. More cells take more passes over the records.
std::size_t open_file_budget() {
    struct rlimit limit {};
    std::uint64_t allowed = 1024;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) allowed = limit.rlim_cur;
    return static_cast<std::size_t>(std::clamp<std::uint64_t>(allowed / 2, 16, 512));
}

// One cell file being written, under a temporary name until its last
// record: its header went out when it was created, its records follow
// window by window.
struct CellOutput {
    std::optional<io::Output> output;
    std::uint64_t header_size = 0;
    std::uint64_t expected = 0;  // records it receives in all
    std::uint64_t written = 0;
    std::optional<Error> failure;
};

class CellWriter {
public:
    CellWriter(const OrthoCells& ply, const std::vector<Cell>& cells, std::vector<std::uint64_t> counts)
        : ply_(ply), cells_(cells), outputs_(cells.size()), bar_(cells.size()) {
        for (std::size_t c = 0; c < cells.size(); ++c) outputs_[c].expected = counts[c];
        bar_.set_style(progress::Template::CountAndRate);
        bar_.set_message("Writing cell PLY files");
    }

    // Writes the cells with splats, at most a budget of files at a time, one
    // pass over the records per group.
    // `records` is null only for a file without vertices, which leaves every
    // cell empty.
    // An interrupt stops it; files not complete by then are removed.
    Status write_all(io::RecordReader* records, const RectIndex& grid, Interrupts& interrupts) {
        std::vector<std::size_t> pending;
        for (std::size_t c = 0; c < cells_.size(); ++c) {
            if (outputs_[c].expected == 0) bar_.inc(1);  // writes no file
            else pending.push_back(c);
        }
        const std::size_t budget = open_file_budget();
        for (std::size_t begin = 0; begin < pending.size(); begin += budget) {
            const std::span<const std::size_t> group(pending.data() + begin,
                                                     std::min(budget, pending.size() - begin));
            if (auto written = write_group(*records, grid, group, interrupts); !written) return written;
        }
        bar_.finish_with_message("Cell PLY files written");
        return {};
    }

    std::size_t attempted() const {
        return static_cast<std::size_t>(
            std::count_if(outputs_.begin(), outputs_.end(), [](const CellOutput& o) { return o.expected > 0; }));
    }
    const std::optional<Error>& failure(std::size_t c) const { return outputs_[c].failure; }

private:
    // A failed cell is reported at once and written no further.
    void fail_cell(std::size_t c, Error error) {
        CellOutput& out = outputs_[c];
        io::print_error("Failed to write PLY file " + cells_[c].output_path + ": " + error.message + "\n");
        out.failure = std::move(error);
        out.output.reset();  // removes the temporary file
        bar_.inc(1);
    }

    void open_cell(std::size_t c) {
        CellOutput& out = outputs_[c];
        auto output = io::Output::create(cells_[c].output_path);
        if (!output) return fail_cell(c, output.error());
        out.output.emplace(std::move(*output));
        const std::string header = header_text(ply_.header_lines, out.expected);
        out.header_size = header.size();
        io::File& file = out.output->file();
        file.reserve(0, out.header_size + out.expected * ply_.vertex_size);
        if (auto w = file.write_all(header.data(), header.size()); !w) return fail_cell(c, w.error());
    }

    // Writes n records of the cell, contiguous in the staging buffer, in one
    // write: after those written so far, or, in a backward pass, before them.
    void append(std::size_t c, const char* records, std::uint64_t n, io::Order order) {
        CellOutput& out = outputs_[c];
        if (out.failure) return;
        const std::size_t bytes = n * ply_.vertex_size;
        io::File& file = out.output->file();
        auto w = order == io::Order::Forward
                     ? file.write_all(records, bytes)
                     : file.pwrite_all(records, bytes,
                                       out.header_size + (out.expected - out.written - n) * ply_.vertex_size);
        if (!w) return fail_cell(c, w.error());
        out.written += n;
    }

    // Renames the group's complete files into place, once the loaded file
    // is known not to have changed while they were written.
    Status commit_group(std::span<const std::size_t> group, Interrupts& interrupts) {
        if (auto checked = interrupts.check(); !checked) return checked;
        if (auto unchanged = require_unchanged(ply_); !unchanged) return unchanged;
        for (const std::size_t c : group) {
            CellOutput& out = outputs_[c];
            if (out.failure) continue;
            if (auto committed = out.output->commit(); !committed) {
                fail_cell(c, committed.error());
                continue;
            }
            out.output.reset();
            bar_.inc(1);
        }
        return {};
    }

    Status write_group(io::RecordReader& records, const RectIndex& grid, std::span<const std::size_t> group,
                       Interrupts& interrupts) {
        constexpr std::uint32_t kNotInGroup = UINT32_MAX;
        std::vector<std::uint32_t> slot_of(cells_.size(), kNotInGroup);
        for (std::size_t s = 0; s < group.size(); ++s) {
            slot_of[group[s]] = static_cast<std::uint32_t>(s);
            open_cell(group[s]);
        }
        // From the back, the records the loading pass read last come first:
        // of a file larger than memory, those the page cache still holds.
        // A stream (a FIFO) takes its records in order only.
        const bool to_streams = std::ranges::any_of(
            group, [&](std::size_t c) { return io::is_stream(cells_[c].output_path); });
        const io::Order order = to_streams ? io::Order::Forward : io::Order::Backward;
        const std::size_t pieces = piece_count(records.window_records());
        // Per piece of a window: (slot, vertex) pairs in vertex order, and
        // how many of them each slot has (then: where the next one goes).
        std::vector<std::vector<std::pair<std::uint32_t, std::uint32_t>>> found(pieces);
        std::vector<std::vector<std::uint64_t>> at(pieces);
        std::vector<std::uint64_t> start(group.size() + 1);
        // The records of a stretch, sorted by cell: each cell's part is one
        // contiguous write. Copying them here, each piece reading its records
        // in order, costs less than the kernel gathering them from all over
        // the window record by record.
        std::vector<char> staged;
        // The last pass: a file larger than memory leaves no pages behind it.
        const bool drop_behind = io::larger_than_memory(records.count() * records.record_size());
        // A stretch is as much of a window as keeps its (cell, splat) pairs
        // within a fixed number and size; cells that overlap many times make
        // it short.
        std::uint64_t stretch = records.window_records();
        bool stopped = false;
        auto written = records.for_each(order, [&](const io::Window& window) -> Status {
            const VertexView view = view_of(ply_, window);
            // Stretches go through the window in the pass's order.
            for (std::uint64_t done = 0; done < view.count;) {
                if (auto checked = interrupts.check(); !checked) {
                    stopped = true;
                    return checked;
                }
                const std::uint64_t span = std::min(stretch, view.count - done);
                const std::uint64_t first = order == io::Order::Forward ? done : view.count - done - span;
                const std::uint64_t last = first + span;
                parallel_for_each(pieces, [&](std::size_t k) {
                    found[k].clear();
                    at[k].assign(group.size(), 0);
                    const std::uint64_t span = last - first;
                    const std::uint64_t from = window.first + first + span * k / pieces;
                    const std::uint64_t to = window.first + first + span * (k + 1) / pieces;
                    for_each_membership(grid, cells_, ply_, from, to, [&](std::uint64_t i, std::size_t c) {
                        if (slot_of[c] == kNotInGroup) return;
                        found[k].emplace_back(slot_of[c], static_cast<std::uint32_t>(i - window.first));
                        ++at[k][slot_of[c]];
                    });
                });
                std::uint64_t pairs = 0;
                for (const auto& piece : found) pairs += piece.size();
                if ((pairs > kMaxStretchPairs || pairs * ply_.vertex_size > kMaxStagedBytes) && last - first > 1) {
                    stretch = std::max<std::uint64_t>(1, (last - first) / 2);
                    continue;
                }
                // Slot by slot, piece by piece: each cell's splats stay ascending.
                for (std::size_t s = 0; s < group.size(); ++s) {
                    std::uint64_t next = start[s];
                    for (std::size_t k = 0; k < pieces; ++k) next += std::exchange(at[k][s], next);
                    start[s + 1] = next;
                }
                staged.resize(pairs * ply_.vertex_size);
                parallel_for_each(pieces, [&](std::size_t k) {
                    for (const auto& [slot, i] : found[k])
                        std::memcpy(staged.data() + at[k][slot]++ * ply_.vertex_size, view.record(i),
                                    ply_.vertex_size);
                });
                parallel_for_each(group.size(), [&](std::size_t s) {
                    if (start[s] == start[s + 1]) return;
                    append(group[s], staged.data() + start[s] * ply_.vertex_size, start[s + 1] - start[s],
                           order);
                });
                done += span;
            }
            return {};
        }, drop_behind);
        if (!written) return fail(stopped ? written.error() : read_failure(ply_, written.error()));
        return commit_group(group, interrupts);
    }

    const OrthoCells& ply_;
    const std::vector<Cell>& cells_;
    std::vector<CellOutput> outputs_;
    progress::ProgressBar bar_;
};

Status report_failures(const std::vector<Cell>& cells, const CellWriter& writer) {
    std::size_t failed = 0, first = cells.size();
    for (std::size_t c = 0; c < cells.size(); ++c) {
        if (!writer.failure(c)) continue;
        ++failed;
        first = std::min(first, c);
    }
    if (failed == 0) return {};
    const Error& error = *writer.failure(first);
    return fail(Error{ErrorKind::OsMatching,
                      std::to_string(failed) + " of " + std::to_string(writer.attempted()) +
                          " cell PLY files failed to write; the first: " + cells[first].output_path +
                          ": " + error.message,
                      error.os_errno});
}

}  // namespace

Result<OrthoCells> load(const std::string& ply_path, const InterruptPoll& poll) {
    Interrupts interrupts(poll);
    auto loaded = load_file(ply_path, interrupts);
    if (!loaded && (loaded.error().kind == ErrorKind::Os)) return fail(loaded.error().as(ErrorKind::OsMatching));
    return loaded;
}

Bounds get_bounds(const OrthoCells& ply) { return ply.bounds; }

Status require_unchanged(const OrthoCells& ply) {
    auto now = io::stamp_of(ply.absolute_path);
    auto open = io::stamp_of(ply.file);
    if (now && open && *now == ply.stamp && *open == ply.stamp) return {};
    return fail(changed_error(ply));
}

CellIndices assign_splats(const VertexView& vertices, std::span<const Cell> cells) {
    const RectIndex grid = index_of(cells);
    CellIndices indices(cells.size());
    for_each_membership(grid, cells, vertices, 0, vertices.count,
                        [&](std::uint64_t i, std::size_t c) { indices[c].push_back(i); });
    return indices;
}

CellIndices assign_splats_literally(const VertexView& vertices, std::span<const Cell> cells) {
    CellIndices indices(cells.size());
    for (std::uint64_t i = 0; i < vertices.count; ++i) {
        const double x = vertices.x(i), y = vertices.y(i);
        for (std::size_t c = 0; c < cells.size(); ++c)
            if (cells[c].contains(x, y)) indices[c].push_back(i);
    }
    return indices;
}

Result<ByteBuffer> read_all_records(OrthoCells& ply) {
    auto buffer = ByteBuffer::allocate(ply.vertex_size * ply.vertex_count);
    if (!buffer) return fail(buffer.error());
    if (auto read = ply.file.pread_exact(buffer->data(), buffer->size(), ply.body_offset); !read)
        return fail(read.error());
    return buffer;
}

VertexView view_of(const OrthoCells& ply, const ByteBuffer& records) {
    return {records.data(), ply.vertex_count, ply.vertex_size, ply.x_field, ply.y_field, ply.z_field};
}

Status extract_all_cells(const OrthoCells& ply, const std::vector<Cell>& cells,
                         const InterruptPoll& poll) {
    Interrupts interrupts(poll);
    if (auto distinct = refuse_shared_output_paths(cells); !distinct) return distinct;
    std::vector<std::string> outputs;
    for (const auto& cell : cells) outputs.push_back(cell.output_path);
    if (auto apart = io::refuse_outputs_among_inputs(outputs, {ply.path}); !apart) return apart;
    if (cells.size() >= UINT32_MAX) return fail(Error::value("too many cells"));
    if (auto unchanged = require_unchanged(ply); !unchanged) return unchanged;
    const RectIndex grid = index_of(cells);
    std::optional<io::RecordReader> records;
    if (ply.vertex_count > 0) {
        auto reader = io::RecordReader::create(ply.file, ply.body_offset, ply.vertex_size, ply.vertex_count);
        if (!reader) return fail(reader.error());
        records.emplace(std::move(*reader));
    }
    io::RecordReader* reader = records ? &*records : nullptr;
    auto counts = count_cells(ply, grid, cells, interrupts);
    if (!counts) return fail(counts.error());
    CellWriter writer(ply, cells, std::move(*counts));
    if (auto written = writer.write_all(reader, grid, interrupts); !written) return written;
    if (auto checked = interrupts.check(); !checked) return checked;
    return report_failures(cells, writer);
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
    if (auto apart = io::refuse_outputs_among_inputs({output_path}, {ply.path}); !apart) return apart;
    if (auto unchanged = require_unchanged(ply); !unchanged) return unchanged;
    auto written = [&]() -> Status {
        auto output = io::Output::create(output_path);
        if (!output) return fail(output.error());
        io::BufferedWriter writer(output->file());
        if (auto w = writer.write(header_text(ply.header_lines, vertex_count)); !w) return w;
        for (std::size_t done = 0; done < vertex_data.size();) {
            if (auto checked = interrupts.check(); !checked) return checked;
            const std::size_t piece = std::min(kBytesPerCheck, vertex_data.size() - done);
            if (auto w = writer.write(vertex_data.data() + done, piece); !w) return w;
            done += piece;
        }
        if (auto flushed = writer.flush(); !flushed) return flushed;
        if (auto checked = interrupts.check(); !checked) return checked;
        return output->commit();
    }();
    if (!written && written.error().kind == ErrorKind::Os) return fail(written.error().as(ErrorKind::OsMatching));
    return written;
}

}  // namespace larkspan::ortho_cells
