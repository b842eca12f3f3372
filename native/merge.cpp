#include "merge.hpp"

#include <sys/stat.h>

#include "common/io.hpp"
#include "common/ply.hpp"
#include "common/records.hpp"
#include "common/text.hpp"

namespace larkspan::merge {

namespace {

// Creating the output truncates it, so an output that is also an input would
// be destroyed before its body is read.
Status refuse_output_among_inputs(const MergeConfig& config) {
    const std::string output = io::path_identity(config.output_file);
    for (const auto& input : config.input_files) {
        if (io::path_identity(input) == output || io::same_existing_file(input, config.output_file))
            return fail(Error::value("Output file " + config.output_file +
                                     " is also an input file (" + input +
                                     "); merging would overwrite it."));
    }
    return {};
}

Result<ply::PlyHeader> read_header(const std::string& path) {
    auto file = io::open_read(path);
    if (!file) return fail(file.error());
    io::BufferedReader reader(*file);
    return ply::read_ply_header(reader);
}

// Records of another layout appended under the first header would read as
// garbage, so every input must declare the first input's vertex layout.
Status require_same_layout(const ply::PlyHeader& first, const std::string& first_path,
                           const ply::PlyHeader& header, const std::string& path) {
    if (ply::same_vertex_layout(header, first)) return {};
    return fail(Error::value("Input file " + path +
                             " lays out its vertex records differently from " + first_path +
                             " (format line or vertex properties differ); refusing to merge"));
}

// Inputs larger together than memory are read once and left out of the
// page cache behind the copy, so the cache keeps what is still to come.
Result<std::uint64_t> append_body(const std::string& path, const ply::PlyHeader& header,
                                  io::BufferedWriter& out, bool drop_behind) {
    auto file = io::open_read(path);
    if (!file) return fail(file.error());
    if (drop_behind) return io::copy_to_end_dropping_behind(*file, header.header_size, out);
    return io::copy_to_end(*file, header.header_size, out);
}

// The bytes every input holds after its header.
std::uint64_t body_bytes(const std::vector<std::string>& paths, const std::vector<ply::PlyHeader>& headers) {
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        struct stat info {};
        if (::stat(paths[i].c_str(), &info) == 0 && static_cast<std::uint64_t>(info.st_size) > headers[i].header_size)
            total += static_cast<std::uint64_t>(info.st_size) - headers[i].header_size;
    }
    return total;
}

}  // namespace

Status merge_ply_files(const MergeConfig& config) {
    const text::Stopwatch overall;
    io::print("Starting PLY merge process...\n");
    if (config.input_files.empty()) return fail(Error::value("No input files provided for merging."));
    if (auto refused = refuse_output_among_inputs(config); !refused) return refused;

    io::print("Reading PLY headers and counting vertices...\n");
    std::vector<ply::PlyHeader> headers;
    std::uint64_t total = 0;
    for (const auto& path : config.input_files) {
        auto header = read_header(path);
        if (!header) return fail(header.error());
        if (auto layout = ply::vertex_layout(*header); !layout) return fail(layout.error());
        if (!headers.empty()) {
            auto same = require_same_layout(headers.front(), config.input_files.front(), *header, path);
            if (!same) return same;
        }
        if (__builtin_add_overflow(total, header->vertex_count, &total))
            return fail(Error::value("Total vertex count does not fit in 64 bits"));
        io::print("  " + path + ": " + std::to_string(header->vertex_count) + " vertices\n");
        headers.push_back(std::move(*header));
    }
    io::print("Total vertices across all files: " + std::to_string(total) + "\n");

    const auto& first = headers.front();
    auto merged_header = ply::rewrite_vertex_count(first.header_text, first.vertex_count, total);
    if (!merged_header) return fail(merged_header.error());
    auto output = io::create_truncate(config.output_file);
    if (!output) return fail(output.error());
    io::BufferedWriter writer(*output);
    if (auto w = writer.write(*merged_header); !w) return w;

    io::print("Concatenating vertex data...\n");
    const bool drop_behind = io::larger_than_memory(body_bytes(config.input_files, headers));
    for (std::size_t i = 0; i < config.input_files.size(); ++i) {
        const auto& path = config.input_files[i];
        io::print("  Reading vertex data from " + path + "...\n");
        const text::Stopwatch per_file;
        auto copied = append_body(path, headers[i], writer, drop_behind);
        if (!copied) return fail(copied.error());
        io::print("    Added " + std::to_string(headers[i].vertex_count) + " vertices in " +
                  per_file.elapsed_text() + "\n");
    }
    if (auto flushed = writer.flush(); !flushed) return flushed;
    if (auto closed = output->close(); !closed) return closed;

    io::print("PLY merge process completed in " + overall.elapsed_text() + "\n");
    io::print("Successfully merged " + std::to_string(config.input_files.size()) + " files into " +
              config.output_file + "\n");
    io::print("Total vertices: " + std::to_string(total) + "\n");
    return {};
}

}  // namespace larkspan::merge
