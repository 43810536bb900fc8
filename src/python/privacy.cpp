// k-anonymity (PyKAnonymityResult, check_k_anonymity, suppress_to_k_anonymous),
// generalisation (generalize_numeric, calculate_information_loss), noise
// (add_laplace_noise, add_gaussian_noise: a list gives a list, a float64 NumPy
// array an array of its shape) and PyPrivacyBudget.
#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/noise.hpp"
#include "engine/privacy.hpp"
#include "python/bindings.hpp"
#include "python/toolkit/classdef.hpp"
#include "python/toolkit/format.hpp"
#include "python/toolkit/unlocked.hpp"

namespace segmora::py {

namespace {

using engine::KAnonymityResult;
using engine::PrivacyBudget;

// ---- rows of str -> str ----

[[noreturn]] void refuse_text(PyObject* obj, const char* arg) {
    raise_argument(PyExc_TypeError, arg, format("'{}' object cannot be converted to 'PyString'", type_name(obj)));
}

// TypeError unless `row` is a dict of str keys and str values; a refused key
// names its entry, a refused value its key.
void check_record(PyObject* row, const char* arg) {
    if (!PyDict_Check(row)) raise_not_dict(row, arg);
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t pos = 0;
    for (std::size_t entry = 0; PyDict_Next(row, &pos, &key, &value); ++entry) {  // runs no Python code
        if (!PyUnicode_Check(key)) at_position(arg, "entry", entry, [&] { refuse_text(key, arg); });
        if (!PyUnicode_Check(value)) {
            const std::string name = From<std::string>::convert(key, arg);
            raise_argument(PyExc_TypeError, arg,
                           format("value of {}: '{}' object cannot be converted to 'PyString'", shown_key(name),
                                  type_name(value)));
        }
    }
}

// Feeds rows to the core grouper by their quasi-identifier values; a missing
// column is "". Each value is checked again as it is read and held while its
// view is in use: a dict lookup may run Python code (a str subclass's __eq__).
class RecordGrouper {
public:
    RecordGrouper(const std::vector<std::string>& columns, std::size_t expected_rows)
        : grouper_(expected_rows), held_(columns.size()), views_(columns.size()) {
        keys_.reserve(columns.size());
        for (const std::string& c : columns)
            keys_.push_back(Ref::steal(PyUnicode_FromStringAndSize(c.data(), static_cast<Py_ssize_t>(c.size()))));
    }

    void add(PyObject* row, const char* arg) {
        for (std::size_t q = 0; q < keys_.size(); ++q) {
            PyObject* value = PyDict_GetItemWithError(row, keys_[q].get());  // borrowed
            if (!value) {
                if (PyErr_Occurred()) throw PyErrorAlreadySet{};
                held_[q] = Ref();
                views_[q] = {};
                continue;
            }
            if (!PyUnicode_Check(value)) refuse_text(value, arg);
            held_[q] = Ref::borrow(value);
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(value, &size);
            if (!text) reraise_for_argument(arg);
            views_[q] = {text, static_cast<std::size_t>(size)};
        }
        grouper_.add_row(views_);
    }

    engine::QuasiIdentifierGroups finish() && { return std::move(grouper_).finish(); }

private:
    std::vector<Ref> keys_;
    engine::QuasiIdentifierGrouper grouper_;
    std::vector<Ref> held_;
    std::vector<std::string_view> views_;
};

// The column names when `obj` is a list or tuple of exact str: reading them
// runs no Python code and cannot fail on type.
std::optional<std::vector<std::string>> plain_columns(PyObject* obj) {
    if (!PyList_CheckExact(obj) && !PyTuple_CheckExact(obj)) return std::nullopt;
    SequenceItems items(obj, "quasi_identifiers");
    std::vector<std::string> out;
    out.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!PyUnicode_CheckExact(items[i])) return std::nullopt;
        out.push_back(From<std::string>::convert(items[i], "quasi_identifiers"));
    }
    return out;
}

// Rows (held), their groups and k; arguments converted in signature order.
struct Grouped {
    std::vector<Ref> rows;
    engine::QuasiIdentifierGroups groups;
    std::uint64_t k;
};

Grouped group_arguments(Args& a) {
    PyObject* data = a.raw("data");
    Grouped out;
    if (PyList_Check(data) || PyTuple_Check(data)) {
        if (auto columns = plain_columns(a.raw("quasi_identifiers"))) {
            // One pass: each row is checked and grouped while it is in cache.
            // Python code run by a lookup may change the list, so its length
            // and items are read afresh on every step.
            const bool is_list = PyList_Check(data);
            auto size = [&] { return is_list ? PyList_Size(data) : PyTuple_Size(data); };
            RecordGrouper grouper(*columns, static_cast<std::size_t>(size()));
            for (Py_ssize_t i = 0; i < size(); ++i) {
                Ref row = Ref::borrow(is_list ? PyList_GetItem(data, i) : PyTuple_GetItem(data, i));
                at_position("data", "item", static_cast<std::size_t>(i), [&] { check_record(row.get(), "data"); });
                grouper.add(row.get(), "data");
                out.rows.push_back(std::move(row));
            }
            out.groups = std::move(grouper).finish();
            out.k = a.get<std::uint64_t>("k");
            return out;
        }
    }
    SequenceItems items(data, "data");
    for (std::size_t i = 0; i < items.size(); ++i)
        at_position("data", "item", i, [&] { check_record(items[i], "data"); });
    const auto columns = a.get<std::vector<std::string>>("quasi_identifiers");
    out.k = a.get<std::uint64_t>("k");
    RecordGrouper grouper(columns, items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        grouper.add(items[i], "data");
        out.rows.push_back(Ref::borrow(items[i]));
    }
    out.groups = std::move(grouper).finish();
    return out;
}

struct CheckKAnonymity {
    static constexpr const char* signature = "check_k_anonymity(data, quasi_identifiers, k)";
    static constexpr const char* doc =
        "Check whether `data` (a list of row dicts) is k-anonymous with respect to\n"
        "`quasi_identifiers` (the column names that, combined, could re-identify a\n"
        "row) for the given `k`.";
    static constexpr Raises raises = Raises::ValueError;
    static Ref call(Args& a) {
        const Grouped g = group_arguments(a);
        return wrap(engine::check_k_anonymity(g.groups, g.k));
    }
};

struct SuppressToKAnonymous {
    static constexpr const char* signature = "suppress_to_k_anonymous(data, quasi_identifiers, k)";
    static constexpr const char* doc =
        "Drop rows from `data` that fall in quasi-identifier groups smaller than\n"
        "`k`, returning only the rows that are already k-anonymous.";
    static constexpr Raises raises = Raises::ValueError;
    static Ref call(Args& a) {
        const Grouped g = group_arguments(a);
        const std::vector<std::size_t> kept = engine::k_anonymous_rows(g.groups, g.k);
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(kept.size())));
        for (std::size_t i = 0; i < kept.size(); ++i) {
            Ref copy = Ref::steal(PyDict_Copy(g.rows[kept[i]].get()));
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), copy.release());
        }
        return list;
    }
};

std::string k_anonymity_repr(const KAnonymityResult& r) {
    return format("KAnonymityResult(k={}, anonymized={}, suppressed_rows={})", r.k_value, r.anonymized,
                  r.suppressed_rows);
}

// ---- generalisation ----

struct GeneralizeNumeric {
    static constexpr const char* signature = "generalize_numeric(data, intervals)";
    static constexpr const char* doc =
        "Bucket numeric values into `intervals` equal-width bins (returns each\n"
        "value's bin index) \u2014 a generalization step for k-anonymity.";
    static constexpr Raises raises = Raises::ValueError;
    static Ref call(Args& a) {
        const auto data = a.get<std::vector<double>>("data");
        const auto intervals = a.get<std::uint64_t>("intervals");
        return to_py(unlocked(data.size(), [&] { return engine::generalize_numeric(data, intervals); }));
    }
};

struct CalculateInformationLoss {
    static constexpr const char* signature = "calculate_information_loss(original, generalized, intervals)";
    static constexpr const char* doc =
        "Root-mean-square normalized distance between original values and the\n"
        "midpoints of the bins they were generalized into.";
    static constexpr Raises raises = Raises::ValueError;
    static Ref call(Args& a) {
        const auto original = a.get<std::vector<double>>("original");
        const auto generalized = a.get<std::vector<std::uint64_t>>("generalized");
        const auto intervals = a.get<std::uint64_t>("intervals");
        return to_py(unlocked(original.size() + generalized.size(),
                              [&] { return engine::information_loss(original, generalized, intervals); }));
    }
};

// ---- noise ----

// A float64 NumPy array's values and a fresh C-ordered float64 array of its
// shape for the noisy ones: the input is read in place when it is C-ordered,
// native and aligned, else first copied into the output (np.copyto), which the
// noise then overwrites in place. Empty (no error pending) for anything else,
// which keeps the list path.
class NoisedArray {
public:
    explicit NoisedArray(PyObject* data) {
        PyObject* numpy = imported_module("numpy");
        if (!numpy) return;
        Ref ndarray = Ref::adopt(PyObject_GetAttrString(numpy, "ndarray"));
        if (!ndarray || !PyType_Check(ndarray.get()) ||
            !PyObject_TypeCheck(data, reinterpret_cast<PyTypeObject*>(ndarray.get())) || !float64(data)) {
            PyErr_Clear();
            return;
        }
        Ref empty_like = Ref::steal(PyObject_GetAttrString(numpy, "empty_like"));
        Ref args = Ref::steal(Py_BuildValue("(O)", data));
        Ref kwargs = Ref::steal(Py_BuildValue("{s:s,s:s}", "dtype", "float64", "order", "C"));
        array_ = Ref::steal(PyObject_Call(empty_like.get(), args.get(), kwargs.get()));
        if (PyObject_GetBuffer(array_.get(), &out_, PyBUF_WRITABLE | PyBUF_ND | PyBUF_FORMAT) != 0) throw PyErrorAlreadySet{};
        out_held_ = true;
        if (PyObject_GetBuffer(data, &in_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) == 0) {
            in_held_ = true;
            const std::string_view format = in_.format ? in_.format : "B";
            const bool native = format == "d" || format == "=d" || (format == "<d" && std::endian::native == std::endian::little);
            if (native && reinterpret_cast<std::uintptr_t>(in_.buf) % alignof(double) == 0) return;
            PyBuffer_Release(&in_);
            in_held_ = false;
        }
        PyErr_Clear();  // not C-contiguous: copied below
        Ref copyto = Ref::steal(PyObject_GetAttrString(numpy, "copyto"));
        Ref copied = Ref::steal(PyObject_CallFunctionObjArgs(copyto.get(), array_.get(), data, nullptr));
    }
    NoisedArray(const NoisedArray&) = delete;
    NoisedArray& operator=(const NoisedArray&) = delete;
    ~NoisedArray() {
        if (in_held_) PyBuffer_Release(&in_);
        if (out_held_) PyBuffer_Release(&out_);
    }

    explicit operator bool() const noexcept { return out_held_; }
    std::span<double> out() noexcept { return {static_cast<double*>(out_.buf), static_cast<std::size_t>(out_.len) / sizeof(double)}; }
    std::span<const double> in() noexcept {
        if (!in_held_) return out();
        return {static_cast<const double*>(in_.buf), static_cast<std::size_t>(in_.len) / sizeof(double)};
    }
    Ref result() {
        if (in_held_) PyBuffer_Release(&in_);
        PyBuffer_Release(&out_);
        in_held_ = out_held_ = false;
        return std::move(array_);
    }

private:
    static bool float64(PyObject* obj) {
        Py_buffer view;
        if (PyObject_GetBuffer(obj, &view, PyBUF_RECORDS_RO) != 0) return false;
        const std::string_view format = view.format ? view.format : "B";
        const bool yes = view.itemsize == 8 && !format.empty() && format.back() == 'd' && format.size() <= 2;
        PyBuffer_Release(&view);
        return yes;
    }
    Ref array_;
    Py_buffer in_{}, out_{};
    bool in_held_ = false, out_held_ = false;
};

struct AddLaplaceNoise {
    static constexpr const char* signature = "add_laplace_noise(data, epsilon, sensitivity)";
    static constexpr const char* doc =
        "Add Laplace-mechanism noise to a vector of counts/sums for\n"
        "epsilon-differential privacy.";
    static constexpr Raises raises = Raises::ValueError;
    static Ref call(Args& a) {
        if (NoisedArray array{a.raw("data")}) {
            const auto epsilon = a.get<double>("epsilon");
            const auto sensitivity = a.get<double>("sensitivity");
            const std::span<const double> in = array.in();  // both buffers held by `array`
            const std::span<double> out = array.out();
            unlocked(out.size(), [&] { engine::add_laplace_noise(in, out, epsilon, sensitivity, engine::thread_noise_source()); });
            return array.result();
        }
        auto data = a.get<std::vector<double>>("data");
        const auto epsilon = a.get<double>("epsilon");
        const auto sensitivity = a.get<double>("sensitivity");
        unlocked(data.size(),
                 [&] { engine::add_laplace_noise(data, data, epsilon, sensitivity, engine::thread_noise_source()); });
        return to_py(data);
    }
};

struct AddGaussianNoise {
    static constexpr const char* signature = "add_gaussian_noise(data, epsilon, delta, sensitivity)";
    static constexpr const char* doc =
        "Add Gaussian-mechanism noise to a vector for (epsilon, delta)-differential\n"
        "privacy on range queries.";
    static constexpr Raises raises = Raises::ValueError;
    static Ref call(Args& a) {
        if (NoisedArray array{a.raw("data")}) {
            const auto epsilon = a.get<double>("epsilon");
            const auto delta = a.get<double>("delta");
            const auto sensitivity = a.get<double>("sensitivity");
            const std::span<const double> in = array.in();  // both buffers held by `array`
            const std::span<double> out = array.out();
            unlocked(out.size(), [&] {
                engine::add_gaussian_noise(in, out, epsilon, delta, sensitivity, engine::thread_noise_source());
            });
            return array.result();
        }
        auto data = a.get<std::vector<double>>("data");
        const auto epsilon = a.get<double>("epsilon");
        const auto delta = a.get<double>("delta");
        const auto sensitivity = a.get<double>("sensitivity");
        unlocked(data.size(), [&] {
            engine::add_gaussian_noise(data, data, epsilon, delta, sensitivity, engine::thread_noise_source());
        });
        return to_py(data);
    }
};

// ---- PyPrivacyBudget ----

struct BudgetNew {
    static constexpr const char* signature = "PyPrivacyBudget(epsilon, delta)";
    static constexpr Raises raises = Raises::ValueError;
    static PrivacyBudget create(Args& a) {
        const auto epsilon = a.get<double>("epsilon");
        const auto delta = a.get<double>("delta");
        return PrivacyBudget(epsilon, delta);
    }
};

struct BudgetConsume {
    static constexpr const char* signature = "consume($self, cost)";
    static constexpr const char* doc =
        "Consume `cost` epsilon from the budget. Returns False (and leaves the\n"
        "budget untouched) if the remaining budget is insufficient.";
    static constexpr Raises raises = Raises::ValueError;
    static constexpr Access access = Access::Exclusive;
    static Ref call(PrivacyBudget& self, Args& a) { return to_py(self.consume(a.get<double>("cost"))); }
};

struct BudgetExhausted {
    static constexpr const char* signature = "budget_exhausted($self)";
    static constexpr const char* doc =
        "Whether nothing is left: remaining_epsilon <= 0.";
    static constexpr Raises raises = Raises::ValueError;
    static constexpr Access access = Access::Shared;
    static Ref call(const PrivacyBudget& self, Args&) { return to_py(self.exhausted()); }
};

struct BudgetPercentage {
    static constexpr const char* signature = "budget_percentage($self)";
    static constexpr const char* doc =
        "The share of the budget spent, in percent: (epsilon - remaining_epsilon) / epsilon * 100.";
    static constexpr Raises raises = Raises::ValueError;
    static constexpr Access access = Access::Shared;
    static Ref call(const PrivacyBudget& self, Args&) { return to_py(self.spent_percentage()); }
};

double budget_epsilon(const PrivacyBudget& b) { return b.epsilon(); }
double budget_delta(const PrivacyBudget& b) { return b.delta(); }
double budget_remaining(const PrivacyBudget& b) { return b.remaining_epsilon(); }

std::string budget_repr(const PrivacyBudget& b) {
    return format("PrivacyBudget(epsilon={}, remaining={})", b.epsilon(), Fixed{b.remaining_epsilon(), 4});
}

// ---- pickling ----

// The remainder is kept exactly, as doubles that sum to it.
struct BudgetState {
    static constexpr std::uint32_t version = 2;
    static Ref save(const PrivacyBudget& b) { return py::make_tuple(b.epsilon(), b.delta(), b.remaining_parts()); }
    static PrivacyBudget load(PyObject* state) {
        StateReader r(state, 3);
        const auto epsilon = r.next<double>();
        const auto delta = r.next<double>();
        const auto parts = r.next<std::vector<double>>();
        try {
            return PrivacyBudget::restore(epsilon, delta, parts);
        } catch (const SegmoraError& e) {
            throw StateError{e.message()};
        }
    }
};

using KAnonymityState =
    FieldsState<KAnonymityResult, &KAnonymityResult::k_value, &KAnonymityResult::anonymized,
                &KAnonymityResult::generalized_rows, &KAnonymityResult::suppressed_rows,
                &KAnonymityResult::information_loss>;

}  // namespace

constexpr const char* kPrivacyBudgetDoc =
    "An epsilon budget for differentially private releases: each release consumes\n"
    "part of it, and a release the rest cannot pay for is refused.\n"
    "\n"
    "epsilon: the total budget, finite and > 0; delta: the delta of (epsilon, delta)\n"
    "releases, in [0, 1) (stored). ValueError otherwise. The granted costs are summed\n"
    "exactly, so 0.1 + 0.1 + 0.1 spends a budget of 0.3.\n"
    "\n"
    ">>> budget = PyPrivacyBudget(1.0, 1e-5)\n"
    ">>> budget.consume(0.25), budget.consume(0.9), budget.budget_percentage()\n"
    "(True, False, 25.0)\n"
    ">>> budget\n"
    "PrivacyBudget(epsilon=1, remaining=0.7500)";

PyTypeObject* privacy_budget_type() {
    return type_once<PrivacyBudget>([] {
        return ClassDef<PrivacyBudget>("PyPrivacyBudget", kPrivacyBudgetDoc)
            .constructor<BudgetNew>()
            .method<BudgetConsume>()
            .method<BudgetExhausted>()
            .method<BudgetPercentage>()
            .property<&budget_epsilon>("epsilon", "The total epsilon given at construction.")
            .property<&budget_delta>("delta", "The delta given at construction (stored only).")
            .property<&budget_remaining>("remaining_epsilon", "The epsilon not yet consumed.")
            .repr<&budget_repr>()
            .pickle<BudgetState>()
            .build();
    });
}

constexpr const char* kKAnonymityResultDoc =
    "The outcome of check_k_anonymity: k, whether the rows are k-anonymous, and\n"
    "how many rows lie in groups of at least k and below it. The attributes are read-only.\n"
    "\n"
    ">>> r = check_k_anonymity([{\"zip\": \"10001\"}, {\"zip\": \"10001\"}, {\"zip\": \"10002\"}], [\"zip\"], 2)\n"
    ">>> r.anonymized, r.generalized_rows, r.suppressed_rows\n"
    "(False, 2, 1)";

PyTypeObject* k_anonymity_result_type() {
    return type_once<KAnonymityResult>([] {
        return ClassDef<KAnonymityResult>("PyKAnonymityResult", kKAnonymityResultDoc)
            .property<&KAnonymityResult::k_value>("k_value", "The k checked.")
            .property<&KAnonymityResult::anonymized>(
                "anonymized", "True when no row lies in a quasi-identifier group smaller than k.")
            .property<&KAnonymityResult::generalized_rows>("generalized_rows", "Rows in groups of at least k.")
            .property<&KAnonymityResult::suppressed_rows>(
                "suppressed_rows", "Rows in groups smaller than k (the rows suppress_to_k_anonymous drops).")
            .property<&KAnonymityResult::information_loss>(
                "information_loss", "Suppressed rows as a percentage of all rows.")
            .repr<&k_anonymity_repr>()
            .pickle<KAnonymityState>()
            .build();
    });
}

PyMethodDef* add_laplace_noise_def() { return function_def<AddLaplaceNoise>(); }
PyMethodDef* add_gaussian_noise_def() { return function_def<AddGaussianNoise>(); }
PyMethodDef* check_k_anonymity_def() { return function_def<CheckKAnonymity>(); }
PyMethodDef* suppress_to_k_anonymous_def() { return function_def<SuppressToKAnonymous>(); }
PyMethodDef* generalize_numeric_def() { return function_def<GeneralizeNumeric>(); }
PyMethodDef* calculate_information_loss_def() { return function_def<CalculateInformationLoss>(); }

}  // namespace segmora::py
