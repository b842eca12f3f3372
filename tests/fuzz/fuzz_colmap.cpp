// The three COLMAP model readers. The first input byte picks the file
// (cameras.bin, images.bin, points3D.bin), the rest is its content. A model
// that reads is written out, read back and written again: the copy must read
// to as many records, and both writes must be the same bytes.
#include <cstdlib>
#include <string>

#include "common/colmap.hpp"
#include "fuzz_input.hpp"

using namespace larkspan;
using namespace larkspan::colmap;

namespace {

template <class Map>
void check_model_file(const std::uint8_t* data, std::size_t size,
                      Result<Map> (*read)(const std::string&),
                      Status (*write)(const std::string&, const Map&)) {
    io::File input = fuzz::file_with(data, size);
    auto model = read(fuzz::path_of(input));
    if (!model) {
        if (model.error().message.empty()) std::abort();
        return;
    }
    io::File copy = fuzz::empty_file();
    if (!write(fuzz::path_of(copy), *model)) std::abort();
    // The copy holds the input's records, less those a later one replaced.
    if (fuzz::content_of(copy).size() > size) std::abort();
    auto again = read(fuzz::path_of(copy));
    if (!again || again->size() != model->size()) std::abort();
    io::File second_copy = fuzz::empty_file();
    if (!write(fuzz::path_of(second_copy), *again)) std::abort();
    if (fuzz::content_of(copy) != fuzz::content_of(second_copy)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    switch (data[0] % 3) {
        case 0: check_model_file(data + 1, size - 1, read_cameras_bin, write_cameras_bin); break;
        case 1: check_model_file(data + 1, size - 1, read_images_bin, write_images_bin); break;
        case 2: check_model_file(data + 1, size - 1, read_points3d_bin, write_points3d_bin); break;
    }
    return 0;
}
