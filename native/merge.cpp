#include "merge.hpp"

#include "common/io.hpp"
#include "common/ply.hpp"
#include "common/text.hpp"

namespace larkspan::merge {

namespace {

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

Result<std::uint64_t> append_body(const std::string& path, const ply::PlyHeader& header,
                                  io::BufferedWriter& out, Interrupts& interrupts) {
    auto file = io::open_read(path);
    if (!file) return fail(file.error());
    return io::copy_to_end(*file, header.header_size, out, interrupts);
}

}  // namespace

Status merge_ply_files(const MergeConfig& config, const InterruptPoll& poll) {
    Interrupts interrupts(poll);
    const text::Stopwatch overall;
    io::print("Starting PLY merge process...\n");
    if (config.input_files.empty()) return fail(Error::value("No input files provided for merging."));
    // Writing the output would destroy an input that is the same file.
    if (auto refused = io::refuse_outputs_among_inputs({config.output_file}, config.input_files); !refused)
        return refused;

    io::print("Reading PLY headers and counting vertices...\n");
    std::vector<ply::PlyHeader> headers;
    std::uint64_t total = 0;
    for (const auto& path : config.input_files) {
        if (auto checked = interrupts.check(); !checked) return checked;
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
    auto output = io::Output::create(config.output_file);
    if (!output) return fail(output.error());
    io::BufferedWriter writer(output->file());
    if (auto w = writer.write(*merged_header); !w) return w;

    io::print("Concatenating vertex data...\n");
    for (std::size_t i = 0; i < config.input_files.size(); ++i) {
        const auto& path = config.input_files[i];
        if (auto checked = interrupts.check(); !checked) return checked;
        io::print("  Reading vertex data from " + path + "...\n");
        const text::Stopwatch per_file;
        auto copied = append_body(path, headers[i], writer, interrupts);
        if (!copied) return fail(copied.error());
        io::print("    Added " + std::to_string(headers[i].vertex_count) + " vertices in " +
                  per_file.elapsed_text() + "\n");
    }
    if (auto flushed = writer.flush(); !flushed) return flushed;
    if (auto checked = interrupts.check(); !checked) return checked;
    if (auto committed = output->commit(); !committed) return committed;

    io::print("PLY merge process completed in " + overall.elapsed_text() + "\n");
    io::print("Successfully merged " + std::to_string(config.input_files.size()) + " files into " +
              config.output_file + "\n");
    io::print("Total vertices: " + std::to_string(total) + "\n");
    return {};
}

}  // namespace larkspan::merge
