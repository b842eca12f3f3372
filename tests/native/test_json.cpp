#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "common/json.hpp"

using namespace larkspan;

namespace {

struct Inner {
    double lo = -std::numeric_limits<double>::infinity();
    std::string name;
};

struct Outer {
    std::string path;
    std::optional<double> bound;
    std::uint64_t count = 10;
    bool flag = false;
    std::vector<Inner> items;
};

}  // namespace

template <>
struct json::Schema<Inner> {
    static constexpr std::string_view name = "Inner";
    static constexpr auto fields = std::make_tuple(json::optional_or_null("lo", &Inner::lo),
                                                   json::required("name", &Inner::name));
};

template <>
struct json::Schema<Outer> {
    static constexpr std::string_view name = "Outer";
    static constexpr auto fields = std::make_tuple(
        json::required("path", &Outer::path), json::optional("bound", &Outer::bound),
        json::optional("count", &Outer::count), json::optional("flag", &Outer::flag),
        json::required("items", &Outer::items));
};

struct ErrorCase {
    const char* document;
    const char* message;
};

class JsonErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(JsonErrors, ExactMessageWithPosition) {
    auto r = json::decode<Outer>(GetParam().document);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message, GetParam().message);
    EXPECT_EQ(r.error().kind, ErrorKind::Value);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, JsonErrors,
    ::testing::Values(
        ErrorCase{"{\n  \"path\": \"p\",\n  \"path\": \"q\", \"items\": []}",
                  "duplicate field `path` at line 3 column 8"},
        ErrorCase{R"({"path": "p", "count": 1.5, "items": []})",
                  "invalid type: floating point `1.5`, expected u64 at line 1 column 26"},
        ErrorCase{R"({"path": "p", "flag": 1, "items": []})",
                  "invalid type: integer `1`, expected a boolean at line 1 column 23"},
        ErrorCase{R"({"path": "p", "items": [{"lo": null}]})", "missing field `name` at line 1 column 36"},
        ErrorCase{R"(5)", "invalid type: integer `5`, expected struct Outer at line 1 column 1"},
        ErrorCase{R"(["p", 1])", "invalid length 2, expected struct Outer with 5 elements at line 1 column 8"},
        // A type error before a syntax error is reported first, as it comes first.
        ErrorCase{R"({"path": 1, "items": [)", "invalid type: integer `1`, expected a string at line 1 column 10"}));
