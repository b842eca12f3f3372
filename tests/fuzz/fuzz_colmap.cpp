// The COLMAP model readers; the first input byte picks the file and its form.
// A model that reads is written, read back and written again: as many records,
// the same bytes twice, and a binary copy no longer than its input (a later
// record replaces an earlier one of the same id).
#include <cstdlib>
#include <string>

#include "common/colmap.hpp"
#include "fuzz_input.hpp"

using namespace larkspan;
using namespace larkspan::colmap;

namespace {

template <class Map>
void check_model_file(const std::uint8_t* data, std::size_t size, Form form,
                      Result<Map> (*read)(const std::string&, Form),
                      Status (*write)(const std::string&, const Map&, Form)) {
    io::File input = fuzz::file_with(data, size);
    auto model = read(fuzz::path_of(input), form);
    if (!model && model.error().message.empty()) std::abort();
    if (!model) return;
    io::File copy = fuzz::file_with();
    if (!write(fuzz::path_of(copy), *model, form)) std::abort();
    if (form == Form::Binary && fuzz::content_of(copy).size() > size) std::abort();
    auto again = read(fuzz::path_of(copy), form);
    if (!again || again->size() != model->size()) std::abort();
    io::File second_copy = fuzz::file_with();
    if (!write(fuzz::path_of(second_copy), *again, form)) std::abort();
    if (fuzz::content_of(copy) != fuzz::content_of(second_copy)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const Form form = data[0] % 10 < 5 ? Form::Binary : Form::Text;
    switch (data[0] % 5) {
        case 0: check_model_file(data + 1, size - 1, form, read_cameras, write_cameras); break;
        case 1: check_model_file(data + 1, size - 1, form, read_images, write_images); break;
        case 2: check_model_file(data + 1, size - 1, form, read_points3d, write_points3d); break;
        case 3: check_model_file(data + 1, size - 1, form, read_rigs, write_rigs); break;
        case 4: check_model_file(data + 1, size - 1, form, read_frames, write_frames); break;
    }
    return 0;
}
