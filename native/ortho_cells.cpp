#include "ortho_cells.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "common/io.hpp"
#include "common/parallel.hpp"
#include "common/rect_index.hpp"

namespace larkspan::ortho_cells {

namespace {

constexpr std::uint64_t kReadPiece = std::uint64_t{1} << 20;
constexpr std::uint64_t kAssignProgressStep = 100000;
// Cell files are written through a larger buffer than the 8 KiB floor: a cell
// of a few hundred MB would otherwise cost a system call per 33 records.
constexpr std::size_t kCellWriteBuffer = std::size_t{1} << 20;
constexpr std::size_t kPrefetchAhead = 8;
constexpr std::uint64_t kPrefetchBytes = 512;

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
    auto data = read_vertex_block(*file, header->header_size, total, ply_path, interrupts);
    if (!data) return fail(data.error());

    ply.source_path = ply_path;
    ply.header_lines = trimmed_lines(header->header_text);
    ply.vertex_data = std::move(*data);
    ply.vertex_size = layout->record_size;
    ply.vertex_count = header->vertex_count;
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
    const RectIndex grid = index_of(cells);
    CellIndices indices(cells.size());
    for (std::uint64_t start = 0; start < ply.vertex_count; start += kAssignProgressStep) {
        if (interrupts != nullptr && !interrupts->check()) break;
        const std::uint64_t end = std::min(ply.vertex_count, start + kAssignProgressStep);
        for (std::uint64_t i = start; i < end; ++i) {
            const double x = ply.x(i), y = ply.y(i);
            for (const std::uint32_t c : grid.candidates(x, y))
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
