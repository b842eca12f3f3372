#include "inspect.hpp"

#include <algorithm>
#include <cmath>
#include <string_view>

#include "common/io.hpp"

namespace larkspan::inspect {

namespace {

// The words after "format" on the header's format line.
std::string format_words(std::string_view header_text) {
    std::size_t begin = 0;
    while (begin < header_text.size()) {
        std::size_t end = header_text.find('\n', begin);
        if (end == std::string_view::npos) end = header_text.size();
        const auto tokens = ply::split_whitespace(header_text.substr(begin, end - begin));
        if (!tokens.empty() && tokens[0] == "format") {
            std::string words;
            for (std::size_t i = 1; i < tokens.size(); ++i) {
                if (i > 1) words += ' ';
                words += tokens[i];
            }
            return words;
        }
        if (!tokens.empty() && tokens[0] == "end_header") break;
        begin = end + 1;
    }
    return {};
}

// The extent of the x, y and z of every record, read in 1 MiB pieces.
Result<Extent> record_extent(io::File& file, const ply::PlyHeader& header,
                             const ply::VertexLayout& layout, const ply::Field (&xyz)[3]) {
    const std::uint64_t size = layout.record_size;
    Extent extent;
    if (header.vertex_count == 0) return extent;
    const std::uint64_t per_piece = std::max<std::uint64_t>(1, (1u << 20) / size);
    std::vector<char> piece(per_piece * size);
    if (auto seeked = file.seek(header.header_size); !seeked) return fail(seeked.error());
    for (std::uint64_t done = 0; done < header.vertex_count;) {
        const std::uint64_t records = std::min(per_piece, header.vertex_count - done);
        if (auto read = file.read_exact(piece.data(), records * size); !read)
            return fail(read.error());
        for (std::uint64_t i = 0; i < records; ++i) {
            const char* record = piece.data() + i * size;
            extent.add(ply::read_double(record, xyz[0]), ply::read_double(record, xyz[1]),
                       ply::read_double(record, xyz[2]));
        }
        done += records;
    }
    return extent;
}

}  // namespace

void Extent::add(double x, double y, double z) {
    if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(z)) return;
    min_x = std::min(min_x, x);
    max_x = std::max(max_x, x);
    min_y = std::min(min_y, y);
    max_y = std::max(max_y, y);
    min_z = std::min(min_z, z);
    max_z = std::max(max_z, z);
}

Result<std::vector<CameraCentre>> camera_centres(const std::string& model_dir) {
    auto images = colmap::read_model_images(model_dir);
    if (!images) return fail(images.error());
    std::vector<CameraCentre> centres;
    centres.reserve(images->size());
    for (const auto& image : *images)
        centres.push_back({image.image_id, colmap::camera_centre(image)});
    return centres;
}

Result<ModelSummary> model_summary(const std::string& model_dir) {
    auto model = colmap::read_model(model_dir);
    if (!model) return fail(model.error());

    ModelSummary summary;
    summary.text = model->form == colmap::Form::Text;
    summary.cameras = model->cameras.size();
    summary.images = model->images.size();
    summary.points3d = model->points3d.size();
    if (model->has_rigs) {
        summary.rigs = model->rigs.size();
        summary.frames = model->frames.size();
    }
    for (const auto& camera : model->cameras) ++summary.camera_models[camera.model_id];
    for (const auto& image : model->images) {
        const auto [x, y, z] = colmap::camera_centre(image);
        summary.camera_centres.add(x, y, z);
    }
    for (const auto& point : model->points3d) {
        summary.points.add(point.xyz[0], point.xyz[1], point.xyz[2]);
        summary.observations += point.track.size();
    }
    return summary;
}

Result<PlySummary> ply_summary(const std::string& path) {
    auto file = io::open_read(path);
    if (!file) return fail(file.error());
    PlySummary summary;
    {
        io::BufferedReader reader(*file);
        auto header = ply::read_ply_header(reader);
        if (!header) return fail(header.error());
        summary.header = std::move(*header);
    }
    if (!summary.header.header_text.starts_with("ply"))
        return fail(Error::value("not a PLY file: it does not begin with \"ply\""));
    summary.format = format_words(summary.header.header_text);
    summary.layout = ply::vertex_layout(summary.header);
    if (!summary.layout) return summary;
    const ply::LocatedProperty* located[] = {summary.layout->find("x"), summary.layout->find("y"),
                                             summary.layout->find("z")};
    if (!located[0] || !located[1] || !located[2]) return summary;
    const ply::Field xyz[3] = {{located[0]->offset, located[0]->type},
                               {located[1]->offset, located[1]->type},
                               {located[2]->offset, located[2]->type}};
    auto extent = record_extent(*file, summary.header, *summary.layout, xyz);
    if (!extent) return fail(extent.error());
    summary.extent = *extent;
    return summary;
}

}  // namespace larkspan::inspect
