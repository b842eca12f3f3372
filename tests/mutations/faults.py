"""Faults planted one at a time by run.py: each replaces `find`, which occurs
exactly once in `file`, with `replace`, and leaves a module that still builds
but behaves wrongly in a way a user could observe."""

C = "native/common/"

FAULTS = [
    # PLY header model
    dict(id="ply-record-size", file=C + "ply.cpp",  # every property taken as 4 bytes
         find="layout.record_size += type_size(*property.type);", replace="layout.record_size += 4;"),
    dict(id="ply-ascii-message", file=C + "ply.cpp",
         find='declares ascii records; only "', replace='declares ascii data; only "'),
    # records window reader: the last, partial window is never read
    dict(id="records-last-window", file=C + "records.cpp",
         find="count_ / window_records_ + (count_ % window_records_ != 0 ? 1 : 0)",
         replace="count_ / window_records_"),
    # outputs under a temporary name
    dict(id="io-mode-not-kept", file=C + "io.cpp",  # a replaced file loses its permissions
         find="if (exists) ::fchmod(output.file_.fd(), existing.st_mode & 07777);", replace=""),
    dict(id="io-overwrite-message", file=C + "io.cpp",
         find="writing it would overwrite the input.", replace="writing it would destroy the input."),
    dict(id="io-reservation-kept", file=C + "io.cpp",  # blocks reserved ahead stay past the end
         find="if (*end < reserved_end_) return truncate(*end);", replace="if (*end < reserved_end_) return {};"),
    dict(id="io-ahead-on-full-disk", file=C + "io.cpp",  # reserving ahead however little room is left
         find="reserves_ahead_ = reserves_ && free_bytes >= kRoomToReserveAhead;",
         replace="reserves_ahead_ = reserves_;"),
    # COLMAP binary readers and writers
    dict(id="colmap-swap-qvec-tvec", file=C + "colmap.cpp",
         find="out.value(image.qvec);\n    out.value(image.tvec);",
         replace="out.value(image.tvec);\n    out.value(image.qvec);"),
    dict(id="colmap-reserve-untrusted", file=C + "colmap.cpp",  # count used before checking the file holds it
         find="records.reserve(static_cast<std::size_t>(in.affordable(count, min_record_size)));",
         replace="records.reserve(static_cast<std::size_t>(count));"),
    dict(id="colmap-list-untrusted", file=C + "colmap.cpp",
         find="const std::uint64_t take = std::min(left, affordable);",
         replace="const std::uint64_t take = left;"),
    dict(id="colmap-writer-no-flush", file=C + "colmap.cpp",
         find="if (status_) status_ = writer_.flush();\n        if (status_) status_ = output_.commit();",
         replace="if (status_) status_ = output_.commit();"),
    dict(id="colmap-model-message", file=C + "colmap.cpp",
         find='bad_content("Unknown camera model: " + std::to_string',
         replace='bad_content("Unknown camera model id: " + std::to_string'),
    dict(id="colmap-param-count", file=C + "colmap.cpp",
         find='{"FULL_OPENCV", 12},', replace='{"FULL_OPENCV", 11},'),
    dict(id="colmap-rig-sensor-count", file=C + "colmap.cpp",
         find="static_cast<std::uint32_t>(rig.sensors.size() + 1)",
         replace="static_cast<std::uint32_t>(rig.sensors.size())"),
    # COLMAP text form
    dict(id="text-double-digits", file=C + "colmap_text.cpp",
         find="std::chars_format::general, 17", replace="std::chars_format::general, 15"),
    dict(id="text-no-point-id", file=C + "colmap_text.cpp",
         find='if (point.point3d_id == kNoPoint3D) out << "-1";',
         replace='if (point.point3d_id == kNoPoint3D) out << "0";'),
    dict(id="text-param-count-check", file=C + "colmap_text.cpp",
         find="if (camera.params.size() != expected)", replace="if (camera.params.size() > expected)"),
    # JSON config decoding
    dict(id="json-column", file=C + "json.cpp",
         find="const std::size_t column = offset - line_start + 1;",
         replace="const std::size_t column = offset - line_start;"),
    dict(id="json-duplicate-unchecked", file=C + "json.hpp",
         find="if (seen[i]) {", replace="if (false && seen[i]) {"),
    dict(id="json-missing-message", file=C + "json.hpp",
         find='"missing field `"', replace='"missing key `"'),
    # argument binding
    dict(id="args-too-many-bound", file="native/python/declaration.cpp",
         find="if (static_cast<std::size_t>(nargs) > count) {",
         replace="if (static_cast<std::size_t>(nargs) >= count) {"),
    dict(id="args-was-were", file="native/python/declaration.cpp",
         find='nargs == 1 ? "was" : "were"', replace='nargs == 1 ? "were" : "was"'),
    # progress and duration texts
    dict(id="duration-truncated", file=C + "progress.cpp",
         find="static_cast<std::uint64_t>(std::llround(seconds))",
         replace="static_cast<std::uint64_t>(seconds)"),
    dict(id="duration-ms-bound", file=C + "text.cpp",
         find="if (ns >= 1'000'000) return", replace="if (ns > 1'000'000) return"),
    # split_cameras_json
    dict(id="cams-z-bound", file="native/split_cameras.cpp",
         find="p[2] <= max_z", replace="p[2] < max_z"),
    dict(id="cams-point-error", file="native/split_cameras.cpp",
         find="point.error = -1.0;", replace="point.error = input.error;"),
    # patches planner and BoundingBox
    # max_cameras cameras on a line: one chunk instead of the whole box, which
    # differ only for a buffer under 0.05 or x values apart by less than epsilon
    dict(id="patches-fits-bound", file="native/patches.cpp",
         find="cameras.size() <= options.max_cameras;", replace="cameras.size() < options.max_cameras;"),
    dict(id="patches-capacity-bound", file="native/patches.cpp",  # a patch may not hold exactly max_cameras
         find="(counts_.load(j, i, k, e) <= max_cameras_ ? accepted : rejected) = e;",
         replace="(counts_.load(j, i, k, e) < max_cameras_ ? accepted : rejected) = e;"),
    dict(id="patches-buffer-default", file="native/patches.hpp",
         find="double buffer = 1.5;", replace="double buffer = 1.0;"),
    dict(id="bbox-swapped-y", file="native/python/patches.cpp",
         find="!to_double(bound[2], box.min_y) || !to_double(bound[3], box.max_y)",
         replace="!to_double(bound[3], box.min_y) || !to_double(bound[2], box.max_y)"),
    # buffered writes: the part of a large piece past its whole buffers is lost
    dict(id="io-writer-tail", file=C + "io.cpp", find="used_ = size - whole;", replace="used_ = 0;"),
    # rectangle index: a cell on a rectangle's upper edge taken as inside it
    dict(id="rect-certain-edge", file=C + "rect_index.cpp",
         find="cx < x1 && y0 < cy", replace="cx <= x1 && y0 < cy"),
    # split_ply
    dict(id="split-z-bound", file="native/split_point_cloud.cpp",
         find="return min_z_ <= z && z < max_z_;", replace="return min_z_ <= z && z <= max_z_;"),
    dict(id="split-point-error", file="native/split_point_cloud.cpp",
         find="{p.red, p.green, p.blue}, -1.0, 0);", replace="{p.red, p.green, p.blue}, 0.0, 0);"),
    dict(id="split-count-unchecked", file="native/split_point_cloud.cpp",
         find="if (block_size > available) return fail(io::short_read_error());", replace=""),
    dict(id="split-patch-edge", file="native/split_point_cloud.hpp",
         find="(x < max_x)", replace="(x <= max_x)"),
    dict(id="split-kept-last-piece", file="native/split_point_cloud.cpp",  # points_loaded from one piece
         find="total += *count;", replace="total = *count;"),
    dict(id="split-redraw-each-pass", file="native/split_point_cloud.cpp",  # groups of patches disagree
         find="            if (!extracted) {\n                auto kept_now", replace="            {\n                auto kept_now"),
    dict(id="split-stretch-unordered", file="native/split_point_cloud.cpp",  # stale order in short stretches
         find="                order_members(cut, group.size());\n", replace=""),
    dict(id="split-window-cut-short", file="native/split_point_cloud.cpp",  # a window's lists stopped early
         find="w.whole = find_members(w.st, window, window.first, end, grid, slot_of, group.size()) <= kMaxStretchRecords;",
         replace="w.whole = true;\n            find_members(w.st, window, window.first, end, grid, slot_of, group.size());"),
    dict(id="split-member-vertex-cut", file="native/split_point_cloud.cpp",  # vertices past 65535 of a window
         find="= member & kVertexMask;", replace="= member & 0xFFFF;"),
    dict(id="split-commit-before-assignment", file="native/split_point_cloud.cpp",
         find="changed.wait(lock, [&] { return writing_allowed || stopped.load(std::memory_order_relaxed); });",
         replace=""),
    # cleanup_splats
    dict(id="cleanup-box-upper", file="native/cleanup.cpp",
         find="(!high || v < *high)", replace="(!high || v <= *high)"),
    dict(id="cleanup-radius-strict", file="native/cleanup.cpp",
         find="count += (d2 <= r2) & in_cells;", replace="count += (d2 < r2) & in_cells;"),
    dict(id="cleanup-no-flush", file="native/cleanup.cpp",
         find="if (auto flushed = writer_->flush(); !flushed) return flushed;\n    if (header_count_",
         replace="if (header_count_"),
    dict(id="cleanup-guess-kept", file="native/cleanup.cpp",  # records stay after a header of other length
         find="if (guessed->size() != text.size()) {", replace="if (false) {"),
    dict(id="cleanup-commit-before-check", file="native/cleanup.cpp",  # an interrupted call leaves a file
         find="    if (auto checked = interrupts.check(); !checked) return checked;\n    return output_->commit();",
         replace="    if (auto committed = output_->commit(); !committed) return committed;\n"
                 "    return interrupts.check();"),
    dict(id="cleanup-z-cells-narrow", file="native/cleanup.cpp",  # the last cell of a range is skipped
         find="std::rotl((std::uint64_t{1} << width) - 1, shift);",
         replace="std::rotl((std::uint64_t{1} << (width - 1)) - 1, shift);"),
    dict(id="cleanup-z-cells-no-wrap", file="native/cleanup.cpp",  # ranges across z = 64k lose cells
         find="return std::rotl((std::uint64_t{1} << width) - 1, shift);",
         replace="return ((std::uint64_t{1} << width) - 1) << shift;"),
    dict(id="cleanup-scale-bound-inside", file="native/cleanup.cpp",  # splats just under the limit fail
         find="surely_large_ = 0.5 * log_area + kMargin;", replace="surely_large_ = 0.5 * log_area - kMargin;"),
    dict(id="cleanup-scale-nan-decided", file="native/cleanup.cpp",  # a NaN scale beside a large one fails
         find="if (!any_nan && (s0 > surely_large_", replace="if ((s0 > surely_large_"),
    dict(id="cleanup-whole-column-narrow", file="native/cleanup.cpp",  # the cell above the splat's is left out
         find="static_cast<std::uint64_t>(z_first) <= 2;", replace="static_cast<std::uint64_t>(z_first) <= 1;"),
    dict(id="cleanup-count-skips-point", file="native/cleanup.cpp",  # the last point of each eight is not counted
         find="std::min(run.size(), at + kCountedTogether);", replace="std::min(run.size(), at + kCountedTogether - 1);"),
    dict(id="cleanup-batch-last-unsearched", file="native/cleanup.cpp",  # a batch's last search is dropped
         find="for (std::size_t j = 0; j < n; ++j) {", replace="for (std::size_t j = 0; j + 1 < n; ++j) {"),
    dict(id="cleanup-dense-first-column", file="native/cleanup.cpp",  # the first column loses its points
         find="    offsets_[0] = 0;\n", replace=""),
    dict(id="cleanup-dense-z-unsorted", file="native/cleanup.cpp",  # a column's cells are not runs
         find="std::sort(first, last, [&](std::size_t a, std::size_t b) {", replace="std::sort(last, last, [&](std::size_t a, std::size_t b) {"),
    dict(id="io-skip-past-end", file=C + "io.cpp",  # a points file cut inside a track reads
         find="if (end_ == 0) return fail(short_read_error());\n        }\n        const std::size_t take",
         replace="if (end_ == 0) return {};\n        }\n        const std::size_t take"),
    dict(id="io-move-front-first", file=C + "io.cpp",  # a move towards the back overwrites its source
         find="const bool forward = to < from;", replace="const bool forward = true;"),
    dict(id="io-reserve-past-end", file=C + "io.cpp",  # each write leaves a reservation behind it
         find="reserve(static_cast<std::uint64_t>(position), length);",
         replace="reserve(static_cast<std::uint64_t>(position), 2 * length);"),
    dict(id="io-reserve-tmpfs", file=C + "io.cpp",  # tmpfs pages cleared only to be overwritten
         find="reserves_ = ::fstatfs(fd_, &system) == 0 && system.f_type != TMPFS_MAGIC;",
         replace="reserves_ = true;"),
    dict(id="records-pipeline-unordered", file=C + "records.hpp",  # windows written as they finish
         find="tbb::make_filter<Window*, void>(tbb::filter_mode::serial_in_order,",
         replace="tbb::make_filter<Window*, void>(tbb::filter_mode::serial_out_of_order,"),
    # OrthoCells and write_ply_file
    dict(id="cells-edge", file="native/ortho_cells.hpp",
         find="x <= max_x && min_y", replace="x < max_x && min_y"),
    dict(id="cells-bounds-swapped", file="native/ortho_cells.cpp",
         find="if (y > bounds.max_y) bounds.max_y = y;", replace="if (y > bounds.max_y) bounds.max_x = y;"),
    dict(id="cells-count-unchecked", file="native/ortho_cells.cpp",
         find="if (size < offset || size - offset < needed) return fail(io::short_read_error());",
         replace=""),
    dict(id="cells-reserve-whole-input", file="native/ortho_cells.cpp",  # a cell holds the input's space
         find="file.reserve(0, out.header_size + out.expected * ply_.vertex_size);",
         replace="file.reserve(0, out.header_size + ply_.vertex_count * ply_.vertex_size);"),
    dict(id="write-ply-size-check", file="native/ortho_cells.cpp",
         find="if (overflows || expected != vertex_data.size())",
         replace="if (overflows || expected > vertex_data.size())"),
    dict(id="write-ply-no-commit", file="native/ortho_cells.cpp",
         find="return checked;\n        return output->commit();", replace="return checked;\n        return {};"),
    # merge_ply_files_py
    dict(id="merge-body-longer", file="native/merge.cpp",
         find="declared != *input.body_size", replace="declared > *input.body_size"),
]
