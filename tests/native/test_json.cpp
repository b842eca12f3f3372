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

TEST(JsonDecode, DefaultsNullsAndUnknownKeys) {
    auto r = json::decode<Outer>(
        R"({"extra": {"deep": [1, {"x": null}]}, "path": "p", "bound": null, "items": [{"name": "a", "lo": null}, [null, "b"]]})");
    ASSERT_TRUE(r) << r.error().message;
    EXPECT_EQ(r->path, "p");
    EXPECT_FALSE(r->bound.has_value());
    EXPECT_EQ(r->count, 10u);
    ASSERT_EQ(r->items.size(), 2u);
    EXPECT_TRUE(std::isinf(r->items[0].lo));
    EXPECT_EQ(r->items[1].name, "b");
}

TEST(JsonDecode, ArrayFormFillsOptionalTail) {
    auto r = json::decode<Outer>(R"(["p", 1.5, 3, true, []])");
    ASSERT_TRUE(r) << r.error().message;
    EXPECT_EQ(*r->bound, 1.5);
    EXPECT_EQ(r->count, 3u);
    EXPECT_TRUE(r->flag);
}

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
        ErrorCase{R"({"items": []})", "missing field `path` at line 1 column 13"},
        ErrorCase{"{\n  \"path\": \"p\",\n  \"path\": \"q\", \"items\": []}",
                  "duplicate field `path` at line 3 column 8"},
        ErrorCase{R"({"path": 5, "items": []})", "invalid type: integer `5`, expected a string at line 1 column 10"},
        ErrorCase{R"({"path": "p", "count": -1, "items": []})",
                  "invalid value: integer `-1`, expected u64 at line 1 column 25"},
        ErrorCase{R"({"path": "p", "count": 1.5, "items": []})",
                  "invalid type: floating point `1.5`, expected u64 at line 1 column 26"},
        ErrorCase{R"({"path": "p", "flag": 1, "items": []})",
                  "invalid type: integer `1`, expected a boolean at line 1 column 23"},
        ErrorCase{R"({"path": "p", "items": [{"name": "n", "lo": "x"}]})",
                  "invalid type: string \"x\", expected f64 at line 1 column 47"},
        ErrorCase{R"({"path": "p", "items": {}})", "invalid type: map, expected a sequence at line 1 column 24"},
        ErrorCase{R"(["p", 1])", "invalid length 2, expected struct Outer with 5 elements at line 1 column 8"},
        ErrorCase{R"(["p", 1, 2, true, [], 6])", "trailing characters at line 1 column 23"},
        ErrorCase{R"({"path": "p", "items": []} x)", "trailing characters at line 1 column 28"},
        ErrorCase{R"(5)", "invalid type: integer `5`, expected struct Outer at line 1 column 1"},
        // A type error before a syntax error is reported first, as it comes first.
        ErrorCase{R"({"path": 1, "items": [)", "invalid type: integer `1`, expected a string at line 1 column 10"}));

TEST(JsonDecode, SyntaxErrorCarriesPosition) {
    auto r = json::decode<Outer>("{\"path\": \"p\",\n \"items\": [}");
    ASSERT_FALSE(r);
    EXPECT_NE(r.error().message.find(" at line 2 column "), std::string::npos) << r.error().message;
}

TEST(JsonEncode, PrettyLayout) {
    Outer o;
    o.path = "a\"b";
    o.items = {Inner{1.0, "n"}, Inner{std::nan(""), "m"}};
    EXPECT_EQ(json::encode(o),
              "{\n  \"path\": \"a\\\"b\",\n  \"bound\": null,\n  \"count\": 10,\n  \"flag\": false,\n"
              "  \"items\": [\n    {\n      \"lo\": 1.0,\n      \"name\": \"n\"\n    },\n"
              "    {\n      \"lo\": null,\n      \"name\": \"m\"\n    }\n  ]\n}");
    o.items.clear();
    EXPECT_NE(json::encode(o).find("\"items\": []\n}"), std::string::npos);
}
