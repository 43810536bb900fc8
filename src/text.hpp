// Text formatting shared by core error messages and binding reprs and messages.
//
// format("n_clusters ({}) cannot exceed number of data points ({})", k, n) fills
// each "{}" in turn. Floats print as the shortest decimal that reads back as the
// same value, never with an exponent and without a trailing ".0" (1.0 -> "1");
// Fixed{x, 2} prints fixed-point with that many decimals; NaN prints "NaN",
// infinities "inf" / "-inf"; booleans "true" / "false".
#pragma once

#include <charconv>
#include <cmath>
#include <concepts>
#include <string>
#include <string_view>
#include <system_error>

namespace segmora {

// A float to print fixed-point with `precision` decimals.
struct Fixed {
    double value;
    int precision;
};

namespace detail {

inline bool append_non_finite(std::string& out, double v) {
    if (std::isnan(v)) { out += "NaN"; return true; }
    if (std::isinf(v)) { out += v < 0 ? "-inf" : "inf"; return true; }
    return false;
}

}  // namespace detail

inline void append_text(std::string& out, double v) {
    if (detail::append_non_finite(out, v)) return;
    // The shortest round-trip digits, written out positionally. (to_chars's own fixed
    // form breaks length ties towards the exact expansion: 1.5e300 would print all
    // 301 exact digits instead of 15 and zeros, and 1e23 as 99999999999999991611392.)
    char buf[32];
    const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));  // "-1.25e+300", "5e-324"
    if (sci.front() == '-') {
        out += '-';
        sci.remove_prefix(1);
    }
    const std::size_t e = sci.find('e');
    std::string digits;
    for (char c : sci.substr(0, e))
        if (c != '.') digits += c;
    int exponent = 0;
    std::from_chars(sci.data() + e + 2, sci.data() + sci.size(), exponent);
    if (sci[e + 1] == '-') exponent = -exponent;
    const long point = static_cast<long>(exponent) + 1;  // digits before the decimal point
    const long n = static_cast<long>(digits.size());
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (point >= n) {
        out += digits;
        out.append(static_cast<std::size_t>(point - n), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out += '.';
        out.append(digits, static_cast<std::size_t>(point));
    }
}

inline void append_text(std::string& out, Fixed f) {
    if (detail::append_non_finite(out, f.value)) return;
    char buf[420];
    auto res = std::to_chars(buf, buf + sizeof buf, f.value, std::chars_format::fixed, f.precision);
    out.append(buf, res.ptr);
}

inline void append_text(std::string& out, bool b) { out += b ? "true" : "false"; }
inline void append_text(std::string& out, std::string_view s) { out += s; }
inline void append_text(std::string& out, const std::string& s) { out += s; }
inline void append_text(std::string& out, const char* s) { out += s; }

template <std::integral T>
    requires(!std::same_as<T, bool>)
void append_text(std::string& out, T v) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, res.ptr);
}

inline void append_text(std::string& out, float v) { append_text(out, static_cast<double>(v)); }

// Fills each "{}" of `pattern` with the next argument; extra placeholders stay as written.
template <class... Args>
std::string format(std::string_view pattern, const Args&... args) {
    std::string out;
    out.reserve(pattern.size() + 16 * sizeof...(Args));
    auto fill = [&](const auto& arg) {
        auto pos = pattern.find("{}");
        if (pos == std::string_view::npos) return;
        out.append(pattern.substr(0, pos));
        append_text(out, arg);
        pattern.remove_prefix(pos + 2);
    };
    (fill(args), ...);
    out.append(pattern);
    return out;
}

// One value as text (format("{}", v)).
template <class T>
std::string to_text(const T& v) {
    std::string out;
    append_text(out, v);
    return out;
}

}  // namespace segmora
