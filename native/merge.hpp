#pragma once
// PLY merge: the first input's header with the total count, then the body
// bytes of every input in order.

#include <string>
#include <vector>

#include "common/error.hpp"
#include "common/interrupt.hpp"
#include "common/json.hpp"

namespace larkspan::merge {

struct MergeConfig {
    std::vector<std::string> input_files;
    std::string output_file;
};

// Prints its stage lines on standard output. The output appears only when
// complete; a failure or an interrupt leaves whatever was there before.
Status merge_ply_files(const MergeConfig& config, const InterruptPoll& poll);

}  // namespace larkspan::merge

template <>
struct larkspan::json::Schema<larkspan::merge::MergeConfig> {
    using R = larkspan::merge::MergeConfig;
    static constexpr std::string_view name = "MergeConfig";
    static constexpr auto fields = std::make_tuple(json::required("input_files", &R::input_files),
                                                   json::required("output_file", &R::output_file));
};
