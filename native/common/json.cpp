#include "json.hpp"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <iterator>
#include <mutex>
#include <nlohmann/json.hpp>

#include "text.hpp"

namespace larkspan::json {

namespace {

// A character iterator that records how far the parser has read, so each SAX
// event can be given the position of the token that produced it.
class CountingIterator {
public:
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    CountingIterator() = default;
    CountingIterator(const char* at, std::size_t* consumed, const char* base)
        : at_(at), consumed_(consumed), base_(base) {}

    reference operator*() const { return *at_; }
    CountingIterator& operator++() {
        ++at_;
        *consumed_ = static_cast<std::size_t>(at_ - base_);
        return *this;
    }
    CountingIterator operator++(int) {
        auto copy = *this;
        ++*this;
        return copy;
    }
    bool operator==(const CountingIterator& other) const { return at_ == other.at_; }

private:
    const char* at_ = nullptr;
    std::size_t* consumed_ = nullptr;
    const char* base_ = nullptr;
};

bool is_number_char(char c) {
    return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

// Strips the library's "[json.exception...] parse error at line 1, column 2: "
// prefix; the position is added in our own form.
std::string syntax_message(const std::string& what) {
    const std::string marker = ": ";
    auto bracket = what.find("] ");
    std::string rest = bracket == std::string::npos ? what : what.substr(bracket + 2);
    if (rest.rfind("parse error", 0) == 0) {
        auto colon = rest.find(marker);
        if (colon != std::string::npos) rest = rest.substr(colon + marker.size());
    }
    return rest;
}

}  // namespace

// Events pass from the parser to the decoder in batches; the parser waits
// while a few batches are waiting to be taken.
class EventQueue {
public:
    // Parser side: false once the decoder has gone away.
    bool put(std::vector<Event>& batch) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return cancelled_ || batches_.size() < kWaitingBatches; });
        if (cancelled_) return false;
        batches_.push_back(std::move(batch));
        batch.clear();
        changed_.notify_all();
        return true;
    }
    void fail(std::exception_ptr error) {
        std::lock_guard lock(mutex_);
        error_ = std::move(error);
        changed_.notify_all();
    }

    // Decoder side: the next batch; rethrows what the parser threw.
    std::vector<Event> get() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !batches_.empty() || error_; });
        if (batches_.empty()) std::rethrow_exception(error_);
        std::vector<Event> batch = std::move(batches_.front());
        batches_.pop_front();
        changed_.notify_all();
        return batch;
    }
    void cancel() {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
        changed_.notify_all();
    }

    static constexpr std::size_t kBatchEvents = 128;

private:
    static constexpr std::size_t kWaitingBatches = 4;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::vector<Event>> batches_;
    std::exception_ptr error_;
    bool cancelled_ = false;
};

namespace {

class Recorder : public nlohmann::json_sax<nlohmann::json> {
public:
    Recorder(std::string_view text, const std::size_t& consumed, EventQueue& queue)
        : text_(text), consumed_(consumed), queue_(queue) {
        batch_.reserve(EventQueue::kBatchEvents);
    }

    bool null() override {
        value(Token::Null, last());
        return handed_over();
    }
    bool boolean(bool b) override {
        value(Token::Bool, last()).boolean = b;
        return handed_over();
    }
    bool number_integer(number_integer_t n) override {
        value(Token::Signed, number_end()).signed_value = n;
        return handed_over();
    }
    bool number_unsigned(number_unsigned_t n) override {
        value(Token::Unsigned, number_end()).unsigned_value = n;
        return handed_over();
    }
    bool number_float(number_float_t d, const string_t&) override {
        value(Token::Float, number_end()).float_value = d;
        return handed_over();
    }
    bool string(string_t& s) override {
        value(Token::String, last()).text = std::move(s);
        return handed_over();
    }
    bool binary(binary_t&) override { return null(); }
    bool key(string_t& s) override {
        push(Token::Key, last()).text = std::move(s);
        return handed_over();
    }
    bool start_object(std::size_t) override {
        push(Token::BeginObject, last());
        ++depth_;
        return handed_over();
    }
    bool end_object() override {
        close(Token::EndObject);
        return handed_over();
    }
    bool start_array(std::size_t) override {
        push(Token::BeginArray, last());
        ++depth_;
        return handed_over();
    }
    bool end_array() override {
        close(Token::EndArray);
        return handed_over();
    }

    bool parse_error(std::size_t position, const std::string&,
                     const nlohmann::detail::exception& ex) override {
        if (root_done_) {
            // The value was complete: what follows is trailing text.
            std::size_t at = root_end_ + 1;
            while (at < text_.size() && (text_[at] == ' ' || text_[at] == '\t' ||
                                         text_[at] == '\n' || text_[at] == '\r'))
                ++at;
            push(Token::SyntaxError, std::min(at, text_.size())).text = "trailing characters";
        } else {
            std::size_t at = position == 0 ? 0 : position - 1;
            push(Token::SyntaxError, std::min(at, text_.size())).text = syntax_message(ex.what());
        }
        ended_with_error_ = true;
        return false;
    }

    // The last batch, ending in a syntax error or the end of the document.
    void finish() {
        if (!ended_with_error_) push(Token::End, text_.size());
        queue_.put(batch_);
    }

private:
    // Hands a full batch over; false (stop parsing) once nobody reads on.
    bool handed_over() {
        if (batch_.size() < EventQueue::kBatchEvents) return true;
        return queue_.put(batch_);
    }

    std::size_t last() const { return consumed_ == 0 ? 0 : consumed_ - 1; }

    // The parser reads one character past a number before reporting it.
    std::size_t number_end() const {
        std::size_t end = last();
        if (end > 0 && !is_number_char(text_[end])) --end;
        return end;
    }

    Event& push(Token token, std::size_t offset) {
        Event& e = batch_.emplace_back();
        e.token = token;
        e.offset = offset;
        return e;
    }
    Event& value(Token token, std::size_t offset) {
        Event& e = push(token, offset);
        note_value_end(offset);
        return e;
    }
    void close(Token token) {
        push(token, last());
        --depth_;
        note_value_end(last());
    }
    void note_value_end(std::size_t offset) {
        if (depth_ == 0) {
            root_done_ = true;
            root_end_ = offset;
        }
    }

    std::string_view text_;
    const std::size_t& consumed_;
    EventQueue& queue_;
    std::vector<Event> batch_;
    bool ended_with_error_ = false;
    int depth_ = 0;
    bool root_done_ = false;
    std::size_t root_end_ = 0;
};

// A string as parse-error messages show what was found: in double quotes,
// with quotes, backslashes and control characters escaped.
std::string quoted_for_message(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char buf[16];
                    std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
                    out += buf;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

// What was found, as the messages name it: "null", "integer `5`", "map"...
std::string describe(const Event& e) {
    switch (e.token) {
        case Token::Null: return "null";
        case Token::Bool: return std::string("boolean `") + (e.boolean ? "true" : "false") + "`";
        case Token::Signed: return "integer `" + std::to_string(e.signed_value) + "`";
        case Token::Unsigned: return "integer `" + std::to_string(e.unsigned_value) + "`";
        case Token::Float: return "floating point `" + text::format_shortest(e.float_value) + "`";
        case Token::String: return "string " + quoted_for_message(e.text);
        case Token::BeginArray: return "sequence";
        case Token::BeginObject: return "map";
        default: return "unexpected token";
    }
}

}  // namespace

Cursor::Cursor(std::string_view text) : text_(text), queue_(std::make_unique<EventQueue>()) {
    parser_ = std::thread([text, queue = queue_.get()] {
        try {
            std::size_t consumed = 0;
            Recorder recorder(text, consumed, *queue);
            CountingIterator first(text.data(), &consumed, text.data());
            CountingIterator last(text.data() + text.size(), &consumed, text.data());
            nlohmann::json::sax_parse(first, last, &recorder, nlohmann::json::input_format_t::json,
                                      /*strict=*/true);
            recorder.finish();
        } catch (...) {
            queue->fail(std::current_exception());
        }
    });
}

Cursor::~Cursor() {
    queue_->cancel();
    parser_.join();
}

const Event& Cursor::peek() {
    while (ahead_.empty()) {
        auto batch = queue_->get();
        for (Event& e : batch) ahead_.push_back(std::move(e));
    }
    return ahead_.front();
}

Result<const Event*> Cursor::take() {
    const Event& e = peek();
    if (e.token == Token::SyntaxError) return fail(error_at(e.text, e.offset));
    if (e.token == Token::End) return &e;  // stays: the end is taken again and again
    taken_ = std::move(ahead_.front());
    ahead_.pop_front();
    return &taken_;
}

Error Cursor::error_at(std::string message, std::size_t offset) const {
    const std::string_view before = text_.substr(0, std::min(offset, text_.size()));
    const std::size_t line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
    const std::size_t line_start = before.rfind('\n') == std::string_view::npos ? 0 : before.rfind('\n') + 1;
    const std::size_t column = offset - line_start + 1;
    message += " at line " + std::to_string(line) + " column " + std::to_string(column);
    return Error::value(std::move(message));
}

Error Cursor::invalid_type(const Event& found, std::string_view expected) const {
    return error_at("invalid type: " + describe(found) + ", expected " + std::string(expected),
                    found.offset);
}

Error Cursor::invalid_value(const Event& found, std::string_view expected) const {
    return error_at("invalid value: " + describe(found) + ", expected " + std::string(expected),
                    found.offset);
}

Status skip_value(Cursor& cursor) {
    int depth = 0;
    do {
        auto event = cursor.take();
        if (!event) return fail(event.error());
        switch ((*event)->token) {
            case Token::BeginArray:
            case Token::BeginObject: ++depth; break;
            case Token::EndArray:
            case Token::EndObject: --depth; break;
            case Token::End: return fail(cursor.error_at("EOF while parsing a value", (*event)->offset));
            default: break;
        }
    } while (depth > 0);
    return {};
}

Status Decoder<double>::decode(Cursor& cursor, double& out) {
    auto event = cursor.take();
    if (!event) return fail(event.error());
    const Event& e = **event;
    switch (e.token) {
        case Token::Signed: out = static_cast<double>(e.signed_value); return {};
        case Token::Unsigned: out = static_cast<double>(e.unsigned_value); return {};
        case Token::Float: out = e.float_value; return {};
        default: return fail(cursor.invalid_type(e, expected));
    }
}

Status Decoder<std::uint64_t>::decode(Cursor& cursor, std::uint64_t& out) {
    auto event = cursor.take();
    if (!event) return fail(event.error());
    const Event& e = **event;
    if (e.token == Token::Unsigned) {
        out = e.unsigned_value;
        return {};
    }
    if (e.token == Token::Signed) {
        if (e.signed_value >= 0) {
            out = static_cast<std::uint64_t>(e.signed_value);
            return {};
        }
        return fail(cursor.invalid_value(e, expected));
    }
    return fail(cursor.invalid_type(e, expected));
}

Status Decoder<bool>::decode(Cursor& cursor, bool& out) {
    auto event = cursor.take();
    if (!event) return fail(event.error());
    if ((*event)->token != Token::Bool) return fail(cursor.invalid_type(**event, expected));
    out = (*event)->boolean;
    return {};
}

Status Decoder<std::string>::decode(Cursor& cursor, std::string& out) {
    auto event = cursor.take();
    if (!event) return fail(event.error());
    if ((*event)->token != Token::String) return fail(cursor.invalid_type(**event, expected));
    out = (*event)->text;
    return {};
}

std::string quote(std::string_view text) {
    return nlohmann::json(std::string(text))
        .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void PrettyWriter::newline_indent() {
    out_ += '\n';
    out_.append(has_members_.size() * 2, ' ');
}

void PrettyWriter::before_value() {
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (has_members_.empty()) return;
    if (has_members_.back()) out_ += ',';
    has_members_.back() = true;
    newline_indent();
}

void PrettyWriter::open(char bracket) {
    before_value();
    out_ += bracket;
    has_members_.push_back(false);
}

void PrettyWriter::close(char bracket) {
    const bool had_members = has_members_.back();
    has_members_.pop_back();
    if (had_members) newline_indent();
    out_ += bracket;
}

void PrettyWriter::key(std::string_view name) {
    before_value();
    out_ += quote(name);
    out_ += ": ";
    after_key_ = true;
}

void PrettyWriter::number(double value) {
    before_value();
    out_ += std::isfinite(value) ? text::format_shortest(value) : "null";
}

void PrettyWriter::string(std::string_view value) {
    before_value();
    out_ += quote(value);
}

void PrettyWriter::boolean(bool value) {
    before_value();
    out_ += value ? "true" : "false";
}

void PrettyWriter::unsigned_number(std::uint64_t value) {
    before_value();
    out_ += std::to_string(value);
}

void PrettyWriter::null() {
    before_value();
    out_ += "null";
}

}  // namespace larkspan::json
