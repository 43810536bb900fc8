#include "python/toolkit/args.hpp"

#include <stdexcept>

#include "text.hpp"

namespace segmora::py {

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

}  // namespace

Signature::Signature(std::string_view text, std::string_view qualifier) : text_(text) {
    const auto open = text.find('('), close = text.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open)
        throw std::logic_error("malformed text signature");
    name_ = std::string(text.substr(0, open));
    display_ = std::string(qualifier) + name_ + "()";
    std::string_view list = text.substr(open + 1, close - open - 1);
    while (!list.empty()) {
        const auto comma = list.find(',');
        std::string_view item = trim(list.substr(0, comma));
        list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
        if (item.empty() || item.front() == '$' || item == "/" || item == "*") continue;
        const auto eq = item.find('=');
        const bool has_default = eq != std::string_view::npos;
        params_.emplace_back(trim(item.substr(0, eq)));
        defaults_.push_back(has_default);
        if (!has_default) ++required_;
    }
    if (params_.size() > kMaxParams) throw std::logic_error("too many parameters");
}

std::string Signature::docstring(std::string_view doc) const {
    std::string out = text_;
    out += "\n--\n\n";
    out += doc;
    return out;
}

Args::Args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) : sig_(sig) {
    bind_positional(args, static_cast<std::size_t>(nargs));
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_Size(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i) bind_keyword(PyTuple_GetItem(kwnames, i), args[nargs + i]);
    }
    check_missing();
}

Args::Args(const Signature& sig, PyObject* args, PyObject* kwargs) : sig_(sig) {
    const Py_ssize_t nargs = args ? PyTuple_Size(args) : 0;
    std::array<PyObject*, kMaxParams + 1> positional{};
    if (static_cast<std::size_t>(nargs) > kMaxParams) {
        bind_positional(positional.data(), static_cast<std::size_t>(nargs));  // raises "too many"
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) positional[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);
    bind_positional(positional.data(), static_cast<std::size_t>(nargs));
    if (kwargs) {
        PyObject *key = nullptr, *value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(key, value);
    }
    check_missing();
}

void Args::bind_positional(PyObject* const* args, std::size_t nargs) {
    const std::size_t total = sig_.size();
    if (nargs > total) {
        const std::size_t req = sig_.required();
        std::string takes = req == total ? segmora::format("{}", total) : segmora::format("from {} to {}", req, total);
        const char* plural = (req == total && total == 1) ? "" : "s";
        raise(PyExc_TypeError, segmora::format("{} takes {} positional argument{} but {} {} given", sig_.display_name(),
                                              takes, plural, nargs, nargs == 1 ? "was" : "were"));
    }
    for (std::size_t i = 0; i < nargs; ++i) values_[i] = args[i];
}

void Args::bind_keyword(PyObject* key, PyObject* value) {
    // A dict passed to a constructor may hold any key; only str may be compared.
    if (!PyUnicode_Check(key)) raise(PyExc_TypeError, segmora::format("{} keywords must be strings", sig_.display_name()));
    for (std::size_t i = 0; i < sig_.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig_.param(i).c_str()) == 0) {
            if (values_[i])
                raise(PyExc_TypeError,
                      segmora::format("{} got multiple values for argument '{}'", sig_.display_name(), sig_.param(i)));
            values_[i] = value;
            return;
        }
    }
    const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, nullptr) : nullptr;
    if (!text) {
        PyErr_Clear();
        raise(PyExc_TypeError, segmora::format("{} keywords must be strings", sig_.display_name()));
    }
    raise(PyExc_TypeError, segmora::format("{} got an unexpected keyword argument '{}'", sig_.display_name(), text));
}

void Args::check_missing() const {
    std::vector<std::string> missing;
    for (std::size_t i = 0; i < sig_.size(); ++i)
        if (!values_[i] && !sig_.has_default(i)) missing.push_back("'" + sig_.param(i) + "'");
    if (missing.empty()) return;
    std::string names;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) names += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
        names += missing[i];
    }
    raise(PyExc_TypeError, segmora::format("{} missing {} required positional argument{}: {}", sig_.display_name(),
                                          missing.size(), missing.size() == 1 ? "" : "s", names));
}

std::size_t Args::index(std::string_view name) const {
    for (std::size_t i = 0; i < sig_.size(); ++i)
        if (sig_.param(i) == name) return i;
    throw std::logic_error("unknown parameter " + std::string(name));
}

}  // namespace segmora::py
