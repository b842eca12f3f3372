// JSON decoding of every configuration record. The first input byte picks the
// record, the rest is the document. Every refusal must say where the problem
// is; every accepted record is encoded again, and that encoding must decode
// and encode to itself: what the system writes, it reads back unchanged.
#include <cstdlib>
#include <regex>
#include <string>

#include "cleanup.hpp"
#include "common/json.hpp"
#include "merge.hpp"
#include "split_cameras.hpp"
#include "split_point_cloud.hpp"

using namespace larkspan;

namespace {

template <class Decode, class Encode>
void check_round_trip(std::string_view text, Decode decode, Encode encode) {
    auto decoded = decode(text);
    static const std::regex position(" at line [1-9][0-9]* column [1-9][0-9]*$");  // both from 1
    if (!decoded && !std::regex_search(decoded.error().message, position)) std::abort();
    if (!decoded) return;
    const std::string encoded = encode(*decoded);
    auto again = decode(encoded);
    if (!again || encode(*again) != encoded) std::abort();
}

template <class T>
void check_record(std::string_view text) {
    check_round_trip(text, json::decode<T>, json::encode<T>);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 6) {
        case 0: check_record<merge::MergeConfig>(text); break;
        case 1: check_record<split_cameras::SplitCamerasConfig>(text); break;
        case 2: check_record<split_cameras::CameraPatchConfig>(text); break;
        // Config through the functions Config.from_json and to_json use.
        case 3: check_round_trip(text, split_point_cloud::config_from_json, split_point_cloud::config_to_json); break;
        case 4: check_record<split_point_cloud::Patch>(text); break;
        case 5: check_record<cleanup::CleanConfig>(text); break;
    }
    return 0;
}
