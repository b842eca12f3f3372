#include "merge.hpp"

#include <sys/stat.h>

#include <optional>

#include "common/io.hpp"
#include "common/ply.hpp"
#include "common/records.hpp"
#include "common/text.hpp"

namespace larkspan::merge {

namespace {

// One input as the merge copies it: its header, its record size and how many
// bytes follow the header (unknown for a file without a size, a pipe say).
struct Input {
    ply::PlyHeader header;
    std::uint64_t record_size = 0;
    std::optional<std::uint64_t> body_size;

    std::uint64_t records_size() const { return header.vertex_count * record_size; }
};

// The first header line, as the format requires it: "ply".
bool starts_as_ply(const std::string& header_text) {
    const auto line_end = header_text.find('\n');
    return ply::trim(std::string_view(header_text).substr(0, line_end)) == "ply";
}

// Files that are no PLY file at all would be copied as records.
Status require_ply(const ply::PlyHeader& header, const std::string& path) {
    if (header.header_text.empty())
        return fail(Error::value("Input file " + path + " is empty: it is no PLY file"));
    if (!starts_as_ply(header.header_text) || !header.has_end_header)
        return fail(Error::value("Input file " + path +
                                 " is not a PLY file: it must begin with a \"ply\" line and end "
                                 "its header with \"end_header\""));
    return {};
}

// A merged file holds exactly count x record size bytes of each input: an
// input whose body is shorter or longer than its header says would shift or
// cut the records of every input after it, so it is refused.
Status require_whole_records(const Input& input, const std::string& path) {
    unsigned long long declared = 0;
    const bool overflows = multiply_overflows(input.header.vertex_count, input.record_size, declared);
    if (input.body_size && (overflows || declared != *input.body_size))
        return fail(Error::value(
            "Input file " + path + " declares " + std::to_string(input.header.vertex_count) +
            " vertices of " + std::to_string(input.record_size) + " bytes (" +
            (overflows ? std::string("more than 2^64") : std::to_string(declared)) +
            " bytes), but holds " + std::to_string(*input.body_size) +
            " bytes after its header"));
    return {};
}

Result<Input> read_input(const std::string& path) {
    auto file = io::open_read(path);
    if (!file) return fail(file.error());
    io::BufferedReader reader(*file);
    auto header = ply::read_ply_header(reader);
    if (!header) return fail(header.error());
    if (auto is_ply = require_ply(*header, path); !is_ply) return fail(is_ply.error());
    Input input{std::move(*header), 0, std::nullopt};
    if (auto layout = ply::vertex_layout(input.header); !layout) return fail(layout.error());
    else input.record_size = layout->record_size;
    struct stat info {};
    if (::fstat(file->fd(), &info) == 0 && S_ISREG(info.st_mode)) {
        const auto size = static_cast<std::uint64_t>(info.st_size);
        input.body_size = size > input.header.header_size ? size - input.header.header_size : 0;
    }
    return input;
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
Status append_records(const std::string& path, const Input& input, io::BufferedWriter& out,
                      Interrupts& interrupts, bool drop_behind) {
    auto file = io::open_read(path);
    if (!file) return fail(file.error());
    if (drop_behind)
        return io::copy_range_dropping_behind(*file, input.header.header_size, input.records_size(), out,
                                              interrupts);
    return io::copy_range(*file, input.header.header_size, input.records_size(), out, interrupts);
}

// The record bytes of every input.
std::uint64_t records_bytes(const std::vector<Input>& inputs) {
    std::uint64_t total = 0;
    for (const Input& input : inputs) total += input.records_size();
    return total;
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
    std::vector<Input> inputs;
    std::uint64_t total = 0;
    for (const auto& path : config.input_files) {
        if (auto checked = interrupts.check(); !checked) return checked;
        auto input = read_input(path);
        if (!input) return fail(input.error());
        if (!inputs.empty()) {
            auto same = require_same_layout(inputs.front().header, config.input_files.front(),
                                            input->header, path);
            if (!same) return same;
        }
        if (auto whole = require_whole_records(*input, path); !whole) return whole;
        if (__builtin_add_overflow(total, input->header.vertex_count, &total))
            return fail(Error::value("Total vertex count does not fit in 64 bits"));
        io::print("  " + path + ": " + std::to_string(input->header.vertex_count) + " vertices\n");
        inputs.push_back(std::move(*input));
    }
    io::print("Total vertices across all files: " + std::to_string(total) + "\n");

    const auto& first = inputs.front().header;
    auto merged_header = ply::rewrite_vertex_count(first.header_text, first.vertex_count, total);
    if (!merged_header) return fail(merged_header.error());
    auto output = io::Output::create(config.output_file);
    if (!output) return fail(output.error());
    io::BufferedWriter writer(output->file());
    if (auto w = writer.write(*merged_header); !w) return w;

    io::print("Concatenating vertex data...\n");
    const bool drop_behind = io::larger_than_memory(records_bytes(inputs));
    for (std::size_t i = 0; i < config.input_files.size(); ++i) {
        const auto& path = config.input_files[i];
        if (auto checked = interrupts.check(); !checked) return checked;
        io::print("  Reading vertex data from " + path + "...\n");
        const text::Stopwatch per_file;
        if (auto copied = append_records(path, inputs[i], writer, interrupts, drop_behind); !copied)
            return copied;
        io::print("    Added " + std::to_string(inputs[i].header.vertex_count) + " vertices in " +
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
