#pragma once
// The text form of COLMAP model files, used by colmap.cpp: one record per line
// (two for an image), fields separated by spaces, '#' comment lines. Numbers
// are written as COLMAP writes them (17 significant digits, which read back
// to the same double) and read back exactly.

#include <cstdint>
#include <string>
#include <string_view>

#include "colmap.hpp"
#include "io.hpp"

namespace larkspan::colmap::text_form {

// Numbered lines of a text file, without their line ends.
class LineReader {
public:
    LineReader(io::File& file, std::string path);

    // The next line of any kind; false at the end of the file.
    Result<bool> next_line();
    // The next line that is neither blank nor a comment; false at the end.
    Result<bool> next_record_line();
    std::string_view line() const { return line_; }
    // "PATH, line N: problem", an Os-kind error like the binary readers'.
    Error error(std::string_view problem) const;

private:
    io::BufferedReader reader_;
    std::string path_;
    std::string line_;
    std::uint64_t number_ = 0;
};

// One point line parsed into `point` (track only when `with_track`); the
// problem's text on failure.
std::optional<std::string> parse_point3d(std::string_view line, Point3D& point, bool with_track);

Result<CameraMap> read_cameras(const std::string& path);
Result<ImageMap> read_images(const std::string& path);
Result<RigMap> read_rigs(const std::string& path);
Result<FrameMap> read_frames(const std::string& path);

Status write_cameras(const std::string& path, const CameraMap& cameras);
Status write_images(const std::string& path, const ImageMap& images);
Status write_points3d(const std::string& path, const Point3DMap& points);
Status write_rigs(const std::string& path, const RigMap& rigs);
Status write_frames(const std::string& path, const FrameMap& frames);

}  // namespace larkspan::colmap::text_form
