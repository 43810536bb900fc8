// Text formatting shared by error messages and reprs.
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

namespace segmora::engine {

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
    char buf[400];  // the longest fixed form of a double is about 330 characters
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
    out.append(buf, res.ptr);
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

}  // namespace segmora::engine
