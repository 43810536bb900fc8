// Signature-driven argument parsing.
//
// A Signature is parsed once from its text signature, e.g.
// "kmeans_py(data, n_clusters, max_iter=None)" or "fit($self, data)": the names
// in order, which have defaults, and the docstring's first line. Args binds a
// call's positional and keyword arguments to those names with the interpreter's
// errors (missing, unexpected keyword, multiple values, too many positional) and
// converts them on request, naming the argument in conversion errors.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "python/toolkit/values.hpp"

namespace segmora::py {

class Signature {
public:
    // `text` is the text signature; `qualifier` ("PyAudienceSegmenter.") prefixes
    // the name in argument-count errors of methods.
    explicit Signature(std::string_view text, std::string_view qualifier = {});

    const std::string& name() const noexcept { return name_; }
    const std::string& display_name() const noexcept { return display_; }
    std::size_t size() const noexcept { return params_.size(); }
    const std::string& param(std::size_t i) const noexcept { return params_[i]; }
    bool has_default(std::size_t i) const noexcept { return defaults_[i]; }
    std::size_t required() const noexcept { return required_; }
    // "text\n--\n\n" followed by `doc`.
    std::string docstring(std::string_view doc = {}) const;
    const std::string& text() const noexcept { return text_; }

private:
    std::string text_, name_, display_;
    std::vector<std::string> params_;
    std::vector<bool> defaults_;
    std::size_t required_ = 0;
};

constexpr std::size_t kMaxParams = 16;

class Args {
public:
    // Vectorcall form: args[0..nargs) positional, then one value per kwnames entry.
    Args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
    // Tuple/dict form (constructors).
    Args(const Signature& sig, PyObject* args, PyObject* kwargs);

    // Required argument (None only when T is std::optional).
    template <class T>
    T get(std::string_view name) const {
        const std::size_t i = index(name);
        return From<T>::convert(values_[i], sig_.param(i).c_str());
    }
    // Optional argument: absent or None gives `fallback`.
    template <class T>
    T get_or(std::string_view name, T fallback) const {
        const std::size_t i = index(name);
        if (!values_[i] || values_[i] == Py_None) return fallback;
        return From<T>::convert(values_[i], sig_.param(i).c_str());
    }
    // Argument with a non-None default: omitted gives `fallback`; None is
    // converted like any other value (refused unless T accepts it).
    template <class T>
    T get_given_or(std::string_view name, T fallback) const {
        const std::size_t i = index(name);
        if (!values_[i]) return fallback;
        return From<T>::convert(values_[i], sig_.param(i).c_str());
    }
    // The raw object, or nullptr when the argument was omitted.
    PyObject* raw(std::string_view name) const { return values_[index(name)]; }

private:
    std::size_t index(std::string_view name) const;
    void bind_positional(PyObject* const* args, std::size_t nargs);
    void bind_keyword(PyObject* key, PyObject* value);
    void check_missing() const;

    const Signature& sig_;
    std::array<PyObject*, kMaxParams> values_{};
};

}  // namespace segmora::py
