// SegmoraError: the one failure type of the library.
//
// Five kinds, each with a fixed display prefix; what() returns the full display
// text ("Invalid configuration: n_clusters must be > 0"), which the binding layer
// passes on verbatim as the Python exception message. The core throws it by value;
// only the binding layer catches it.
#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <utility>

namespace segmora {

enum class ErrorKind { InvalidConfig, DataValidation, Clustering, Io, Arrow };

// Display prefix of each kind ("Invalid configuration: ", ...).
constexpr std::string_view error_prefix(ErrorKind kind) noexcept {
    switch (kind) {
        case ErrorKind::InvalidConfig: return "Invalid configuration: ";
        case ErrorKind::DataValidation: return "Data validation error: ";
        case ErrorKind::Clustering: return "Clustering error: ";
        case ErrorKind::Io: return "IO error: ";
        case ErrorKind::Arrow: return "Arrow error: ";
    }
    return "";
}

class SegmoraError : public std::exception {
public:
    SegmoraError(ErrorKind kind, std::string message)
        : kind_(kind), message_(std::move(message)),
          display_(std::string(error_prefix(kind)) + message_) {}

    static SegmoraError invalid_config(std::string m) { return {ErrorKind::InvalidConfig, std::move(m)}; }
    static SegmoraError data_validation(std::string m) { return {ErrorKind::DataValidation, std::move(m)}; }
    static SegmoraError clustering(std::string m) { return {ErrorKind::Clustering, std::move(m)}; }

    ErrorKind kind() const noexcept { return kind_; }
    // The payload without the prefix.
    const std::string& message() const noexcept { return message_; }
    // The full display text.
    const std::string& display() const noexcept { return display_; }
    const char* what() const noexcept override { return display_.c_str(); }

private:
    ErrorKind kind_;
    std::string message_;
    std::string display_;
};

}  // namespace segmora
