// JSON decoding of every configuration record. The first input byte picks the
// record, the rest is the document.
#include "common/json.hpp"
#include "merge.hpp"

using namespace larkspan;

namespace {

template <class T>
void decode_and_reencode(std::string_view text) {
    auto decoded = json::decode<T>(text);
    if (decoded) (void)json::encode(*decoded);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 1) {
        case 0: decode_and_reencode<merge::MergeConfig>(text); break;
    }
    return 0;
}
