#include "text.hpp"

#include <charconv>
#include <cstdint>
#include <system_error>

#include "error.hpp"

namespace larkspan::text {

namespace {

// whole + "." + fraction (width digits, trailing zeros removed) + unit; the
// fraction is left out when it is zero.
std::string with_fraction(std::uint64_t whole, std::uint64_t fraction, int width,
                          const char* unit) {
    std::string out = std::to_string(whole);
    if (fraction != 0) {
        std::string digits = std::to_string(fraction);
        digits.insert(0, static_cast<std::size_t>(width) - digits.size(), '0');
        digits.erase(digits.find_last_not_of('0') + 1);
        out += '.';
        out += digits;
    }
    out += unit;
    return out;
}

}  // namespace

std::string format_duration(std::chrono::nanoseconds elapsed) {
    const auto ns = static_cast<std::uint64_t>(elapsed.count() < 0 ? 0 : elapsed.count());
    if (ns >= 1'000'000'000) return with_fraction(ns / 1'000'000'000, ns % 1'000'000'000, 9, "s");
    if (ns >= 1'000'000) return with_fraction(ns / 1'000'000, ns % 1'000'000, 6, "ms");
    if (ns >= 1'000) return with_fraction(ns / 1'000, ns % 1'000, 3, "\xC2\xB5s");
    return std::to_string(ns) + "ns";
}

std::string format_shortest(double value) {
    // std::to_chars in scientific form gives the shortest round-trip digits
    // and the decimal exponent; the layout below is Ryu's.
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value,
                                   std::chars_format::scientific);
    if (ec != std::errc()) panic("shortest float formatting failed");
    std::string_view sci(buffer, static_cast<std::size_t>(end - buffer));

    std::string out;
    if (sci.front() == '-') {
        out += '-';
        sci.remove_prefix(1);
    }
    const auto e_pos = sci.find('e');
    std::string digits;
    for (char c : sci.substr(0, e_pos))
        if (c != '.') digits += c;
    int exponent = 0;
    std::from_chars(sci.data() + e_pos + 1 + (sci[e_pos + 1] == '+'), sci.data() + sci.size(),
                    exponent);
    if (digits == "0") return out + "0.0";

    // value = 0.DIGITS * 10^kk, so 10^(kk-1) <= |value| < 10^kk.
    const int length = static_cast<int>(digits.size());
    const int kk = exponent + 1;
    const int k = kk - length;
    if (k >= 0 && kk <= 16) {
        out += digits;
        out.append(static_cast<std::size_t>(k), '0');
        out += ".0";
    } else if (kk > 0 && kk <= 16) {
        out += digits.substr(0, static_cast<std::size_t>(kk));
        out += '.';
        out += digits.substr(static_cast<std::size_t>(kk));
    } else if (kk > -5 && kk <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-kk), '0');
        out += digits;
    } else {
        out += digits[0];
        if (length > 1) {
            out += '.';
            out += digits.substr(1);
        }
        out += 'e';
        out += std::to_string(kk - 1);
    }
    return out;
}

}  // namespace larkspan::text
