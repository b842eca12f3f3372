#pragma once
// Typed decoding of JSON configuration documents, and the pretty writer.
//
// The JSON library's SAX parser turns a document into events (a syntax error
// becomes the last event), which are decoded as they come, in one pass: the
// parser runs on a helper thread and hands its events over in small batches,
// so memory stays a small multiple of the document whatever its size. The
// first problem in document order is the one reported, whether it is a wrong
// type or a syntax error further on. Messages name the problem and end with
// " at line L column C".
//
// A record is declared once, by listing its fields:
//
//     template <> struct json::Schema<MergeConfig> {
//         static constexpr std::string_view name = "MergeConfig";
//         static constexpr auto fields = std::make_tuple(
//             json::required("input_files", &MergeConfig::input_files),
//             json::required("output_file", &MergeConfig::output_file));
//     };
//
// Records decode from an object (unknown keys skipped, duplicates refused,
// missing required keys named in declaration order) or from an array of their
// values in declaration order. Optional fields keep the value the record was
// default-constructed with.

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <thread>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

#include "error.hpp"

namespace larkspan::json {

enum class Token {
    Null, Bool, Signed, Unsigned, Float, String, Key,
    BeginObject, EndObject, BeginArray, EndArray,
    SyntaxError,  // carries the parser's message; always the last event
    End,
};

struct Event {
    Token token = Token::End;
    std::size_t offset = 0;  // byte offset of the token's last character
    bool boolean = false;
    std::int64_t signed_value = 0;
    std::uint64_t unsigned_value = 0;
    double float_value = 0;
    std::string text;  // string and key contents, syntax error message
};

// The events of one document, handed from the parsing thread to the
// decoding one.
class EventQueue;

// Reads the events of `text`, which must outlive the cursor, as they are
// parsed. A cursor dropped before the end stops the parser.
class Cursor {
public:
    explicit Cursor(std::string_view text);
    Cursor(const Cursor&) = delete;
    Cursor& operator=(const Cursor&) = delete;
    ~Cursor();

    const Event& peek();
    // The next event, valid until the next take(); a syntax error event
    // becomes its error.
    Result<const Event*> take();

    // message + " at line L column C" for the given byte offset.
    Error error_at(std::string message, std::size_t offset) const;
    Error invalid_type(const Event& found, std::string_view expected) const;
    Error invalid_value(const Event& found, std::string_view expected) const;

private:
    std::string_view text_;
    std::unique_ptr<EventQueue> queue_;
    std::thread parser_;
    std::deque<Event> ahead_;  // received, not yet taken
    Event taken_;
};

// Consumes one value of any shape (an unknown key's value).
Status skip_value(Cursor& cursor);

// ---- field declarations ----

enum class Presence {
    Required,          // missing: "missing field `name`"
    Optional,          // missing: keeps the default; null only for std::optional members
    OptionalNullable,  // missing or null: keeps the default
};

template <class R, class M>
struct Field {
    std::string_view name;
    M R::*member;
    Presence presence;
};

template <class R, class M>
constexpr Field<R, M> required(std::string_view name, M R::*member) {
    return {name, member, Presence::Required};
}
template <class R, class M>
constexpr Field<R, M> optional(std::string_view name, M R::*member) {
    return {name, member, Presence::Optional};
}
template <class R, class M>
constexpr Field<R, M> optional_or_null(std::string_view name, M R::*member) {
    return {name, member, Presence::OptionalNullable};
}

template <class T>
struct Schema;  // specialised per record: name and fields

template <class T>
concept Record = requires {
    Schema<T>::name;
    Schema<T>::fields;
};

// ---- value decoders ----

template <class T>
struct Decoder;

template <>
struct Decoder<double> {
    static constexpr std::string_view expected = "f64";
    static Status decode(Cursor& cursor, double& out);
};
template <>
struct Decoder<std::uint64_t> {
    static constexpr std::string_view expected = "u64";
    static Status decode(Cursor& cursor, std::uint64_t& out);
};
template <>
struct Decoder<bool> {
    static constexpr std::string_view expected = "a boolean";
    static Status decode(Cursor& cursor, bool& out);
};
template <>
struct Decoder<std::string> {
    static constexpr std::string_view expected = "a string";
    static Status decode(Cursor& cursor, std::string& out);
};

template <class T>
struct Decoder<std::optional<T>> {
    static constexpr std::string_view expected = Decoder<T>::expected;
    static Status decode(Cursor& cursor, std::optional<T>& out) {
        if (cursor.peek().token == Token::Null) {
            (void)cursor.take();
            out.reset();
            return {};
        }
        T value{};
        auto decoded = Decoder<T>::decode(cursor, value);
        if (!decoded) return decoded;
        out = std::move(value);
        return {};
    }
};

template <class T>
struct Decoder<std::vector<T>> {
    static constexpr std::string_view expected = "a sequence";
    static Status decode(Cursor& cursor, std::vector<T>& out) {
        auto open = cursor.take();
        if (!open) return fail(open.error());
        if ((*open)->token != Token::BeginArray) return fail(cursor.invalid_type(**open, expected));
        out.clear();
        while (cursor.peek().token != Token::EndArray) {
            if (cursor.peek().token == Token::SyntaxError) return fail(cursor.take().error());
            T element{};
            auto decoded = Decoder<T>::decode(cursor, element);
            if (!decoded) return decoded;
            out.push_back(std::move(element));
        }
        (void)cursor.take();
        return {};
    }
};

namespace detail {

template <class T>
struct is_optional : std::false_type {};
template <class T>
struct is_optional<std::optional<T>> : std::true_type {};

template <class R, class M>
Status decode_field(Cursor& cursor, const Field<R, M>& field, R& record) {
    if (field.presence == Presence::OptionalNullable && cursor.peek().token == Token::Null) {
        (void)cursor.take();
        return {};
    }
    return Decoder<M>::decode(cursor, record.*(field.member));
}

// Calls fn(field, index) for every field of the record, in order.
template <class R, class Fn>
void for_each_field(Fn&& fn) {
    constexpr auto& fields = Schema<R>::fields;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (fn(std::get<I>(fields), I), ...);
    }(std::make_index_sequence<std::tuple_size_v<std::remove_cvref_t<decltype(fields)>>>{});
}

template <class R>
constexpr std::size_t field_count() {
    return std::tuple_size_v<std::remove_cvref_t<decltype(Schema<R>::fields)>>;
}

template <class R>
std::string struct_expectation() {
    return "struct " + std::string(Schema<R>::name);
}

template <class R>
Status decode_object(Cursor& cursor, R& record) {
    std::array<bool, field_count<R>()> seen{};
    for (;;) {
        auto event = cursor.take();
        if (!event) return fail(event.error());
        const Event& key = **event;
        if (key.token == Token::EndObject) {
            Status missing;
            for_each_field<R>([&](const auto& field, std::size_t i) {
                if (missing && !seen[i] && field.presence == Presence::Required)
                    missing = fail(cursor.error_at(
                        "missing field `" + std::string(field.name) + "`", key.offset));
            });
            return missing;
        }
        bool known = false;
        Status result;
        for_each_field<R>([&](const auto& field, std::size_t i) {
            if (known || field.name != key.text) return;
            known = true;
            if (seen[i]) {
                result = fail(cursor.error_at(
                    "duplicate field `" + std::string(field.name) + "`", key.offset));
                return;
            }
            seen[i] = true;
            result = decode_field(cursor, field, record);
        });
        if (!known) result = skip_value(cursor);
        if (!result) return result;
    }
}

template <class R>
Status decode_array(Cursor& cursor, R& record) {
    std::size_t present = 0;
    Status result;
    bool ended = false;
    for_each_field<R>([&](const auto& field, std::size_t) {
        if (!result || ended) {
            if (result && ended && field.presence == Presence::Required)
                result = fail(cursor.error_at(
                    "invalid length " + std::to_string(present) + ", expected " +
                        struct_expectation<R>() + " with " + std::to_string(field_count<R>()) +
                        " elements",
                    cursor.peek().offset));
            return;
        }
        const Token next = cursor.peek().token;
        if (next == Token::SyntaxError) {
            result = fail(cursor.take().error());
            return;
        }
        if (next == Token::EndArray) {
            ended = true;
            if (field.presence == Presence::Required)
                result = fail(cursor.error_at(
                    "invalid length " + std::to_string(present) + ", expected " +
                        struct_expectation<R>() + " with " + std::to_string(field_count<R>()) +
                        " elements",
                    cursor.peek().offset));
            return;
        }
        result = decode_field(cursor, field, record);
        ++present;
    });
    if (!result) return result;
    auto close = cursor.take();
    if (!close) return fail(close.error());
    if ((*close)->token != Token::EndArray)
        return fail(cursor.error_at("trailing characters", (*close)->offset));
    return {};
}

}  // namespace detail

template <Record R>
struct Decoder<R> {
    static Status decode(Cursor& cursor, R& record) {
        const Event& first = cursor.peek();
        if (first.token == Token::BeginObject) {
            (void)cursor.take();
            return detail::decode_object(cursor, record);
        }
        if (first.token == Token::BeginArray) {
            (void)cursor.take();
            return detail::decode_array(cursor, record);
        }
        auto event = cursor.take();
        if (!event) return fail(event.error());
        return fail(cursor.invalid_type(**event, detail::struct_expectation<R>()));
    }
};

// Decodes a whole document into T; anything but whitespace after the value is
// "trailing characters". Errors are ValueError-kind, without a prefix.
template <class T>
Result<T> decode(std::string_view text) {
    Cursor cursor(text);
    T value{};
    auto decoded = Decoder<T>::decode(cursor, value);
    if (!decoded) return fail(decoded.error());
    auto end = cursor.take();
    if (!end) return fail(end.error());
    if ((*end)->token != Token::End) return fail(cursor.error_at("trailing characters", (*end)->offset));
    return value;
}

// ---- writer ----

// Pretty printing with two-space indentation: members on lines of their own,
// empty containers as "[]" / "{}", non-finite numbers as null, finite numbers
// in the shortest round-trip form.
class PrettyWriter {
public:
    void begin_object() { open('{'); }
    void end_object() { close('}'); }
    void begin_array() { open('['); }
    void end_array() { close(']'); }
    void key(std::string_view name);
    void number(double value);
    void string(std::string_view value);
    void boolean(bool value);
    void unsigned_number(std::uint64_t value);
    void null();
    std::string take() { return std::move(out_); }

private:
    void before_value();
    void open(char bracket);
    void close(char bracket);
    void newline_indent();

    std::string out_;
    std::vector<bool> has_members_;
    bool after_key_ = false;
};

// JSON string literal with escaping; invalid UTF-8 is replaced.
std::string quote(std::string_view text);

template <class T>
struct Encoder;

template <>
struct Encoder<double> {
    static void encode(PrettyWriter& w, double v) { w.number(v); }
};
template <>
struct Encoder<std::string> {
    static void encode(PrettyWriter& w, const std::string& v) { w.string(v); }
};
template <>
struct Encoder<bool> {
    static void encode(PrettyWriter& w, bool v) { w.boolean(v); }
};
template <>
struct Encoder<std::uint64_t> {
    static void encode(PrettyWriter& w, std::uint64_t v) { w.unsigned_number(v); }
};
template <class T>
struct Encoder<std::optional<T>> {
    static void encode(PrettyWriter& w, const std::optional<T>& v) {
        if (v) Encoder<T>::encode(w, *v);
        else w.null();
    }
};
template <class T>
struct Encoder<std::vector<T>> {
    static void encode(PrettyWriter& w, const std::vector<T>& values) {
        w.begin_array();
        for (const auto& v : values) Encoder<T>::encode(w, v);
        w.end_array();
    }
};
template <Record R>
struct Encoder<R> {
    static void encode(PrettyWriter& w, const R& record) {
        w.begin_object();
        detail::for_each_field<R>([&](const auto& field, std::size_t) {
            w.key(field.name);
            using Member = std::remove_cvref_t<decltype(record.*(field.member))>;
            Encoder<Member>::encode(w, record.*(field.member));
        });
        w.end_object();
    }
};

// The record as pretty-printed JSON, keys in declaration order.
template <Record R>
std::string encode(const R& record) {
    PrettyWriter writer;
    Encoder<R>::encode(writer, record);
    return writer.take();
}

}  // namespace larkspan::json
