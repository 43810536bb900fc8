// clv_summary_from_columns, its partition steps (clv_partition_columns and
// combine_clv_partitions), and the purchase and spend models' native routes,
// called by the model classes of estimators.py (BetaGeoModel, ParetoNBDModel,
// GammaGammaModel).
//
// The summary reads its columns with TransactionColumns, like rfm_from_columns
// (the same forms, the same warnings for skipped rows). Over partitions that
// each hold every row of their customers, every partition is summarised on its
// own with its rows' positions in the whole input; the combination orders the
// customers by first appearance, takes T against the latest as_of day (the
// default as_of is the latest timestamp of all partitions) and warns once for
// the whole input, giving clv_summary_from_columns' result.
//
// Columns are anything a float vector argument takes (lists, NumPy arrays of
// any numeric dtype, pandas Series). A column fault (not finite, negative,
// fractional frequency, recency after T, ...) is a ValueError naming the
// argument and the first bad index; a core error is a RuntimeError. Per-
// customer results come back as bytearrays of float64 values, which the
// classes wrap as NumPy arrays.
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/clv.hpp"
#include "engine/clv_summary.hpp"
#include "engine/keyed_hash.hpp"
#include "engine/thread_pool.hpp"
#include "interrupt.hpp"
#include "python/bindings.hpp"
#include "python/transactions.hpp"
#include "python/toolkit/function.hpp"
#include "python/toolkit/output.hpp"
#include "python/toolkit/unlocked.hpp"
#include "text.hpp"

namespace segmora::py {

namespace {

using engine::PurchaseModel;

// "BetaGeo" or "ParetoNBD" (the purchase models), "GammaGamma" (spend).
enum class ModelKind { BetaGeo, ParetoNBD, GammaGamma };

ModelKind read_model(const Args& a) {
    const std::string name = a.get<std::string>("model");
    if (name == "BetaGeo") return ModelKind::BetaGeo;
    if (name == "ParetoNBD") return ModelKind::ParetoNBD;
    if (name == "GammaGamma") return ModelKind::GammaGamma;
    raise(PyExc_ValueError, format("unknown model '{}'", name));
}

PurchaseModel purchase_model(ModelKind kind) {
    if (kind == ModelKind::GammaGamma) raise(PyExc_ValueError, "GammaGamma is not a purchase model");
    return kind == ModelKind::BetaGeo ? PurchaseModel::BetaGeo : PurchaseModel::ParetoNBD;
}

// The customer columns of one call, read from a tuple in the order of `names`.
struct Columns {
    std::vector<std::vector<double>> values;
    std::span<const double> operator[](std::size_t i) const { return values[i]; }
    std::size_t size() const noexcept {  // every value of every column
        std::size_t n = 0;
        for (const auto& v : values) n += v.size();
        return n;
    }
};

Columns read_columns(PyObject* tuple, std::initializer_list<const char*> names) {
    if (!PyTuple_Check(tuple) || PyTuple_Size(tuple) != static_cast<Py_ssize_t>(names.size()))
        raise(PyExc_TypeError, format("columns must be a tuple of {} columns", names.size()));
    Columns out;
    Py_ssize_t i = 0;
    for (const char* name : names) out.values.push_back(From<std::vector<double>>::convert(PyTuple_GetItem(tuple, i++), name));
    return out;
}

void raise_fault(const std::optional<std::string>& fault) {
    if (fault) raise(PyExc_ValueError, *fault);
}

engine::PurchaseHistories purchases(const Columns& c) { return {c[0], c[1], c[2]}; }

Columns read_purchases(const Args& a) {
    Columns c = read_columns(a.raw("columns"), {"frequency", "recency", "T"});
    raise_fault(engine::check_purchases(purchases(c)));
    return c;
}

Columns read_spend(const Args& a) {
    Columns c = read_columns(a.raw("columns"), {"frequency", "monetary_value"});
    raise_fault(engine::check_spend({c[0], c[1]}));
    return c;
}

template <std::size_t N>
std::array<double, N> read_params(const Args& a, const char* arg = "params") {
    const std::vector<double> v = a.get<std::vector<double>>(arg);
    if (v.size() != N) raise(PyExc_ValueError, format("{} must hold {} values, got {}", arg, N, v.size()));
    std::array<double, N> out{};
    for (std::size_t i = 0; i < N; ++i) {
        if (!(std::isfinite(v[i]) && v[i] > 0.0))
            raise(PyExc_ValueError, format("{} must be finite and > 0, got {}", arg, v[i]));
        out[i] = v[i];
    }
    return out;
}

// A finite value >= 0 (a time span).
double read_span(const Args& a, const char* arg) {
    const double v = a.get<double>(arg);
    if (!(std::isfinite(v) && v >= 0.0)) raise(PyExc_ValueError, format("{} must be finite and >= 0, got {}", arg, v));
    return v;
}

Ref float_bytes(const std::vector<double>& v) {
    return Ref::steal(PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(v.data()),
                                                    static_cast<Py_ssize_t>(v.size() * sizeof(double))));
}

Ref params_tuple(const std::array<double, 4>& p, std::size_t n) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t i = 0; i < n; ++i) PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), to_py(p[i]).release());
    return tuple;
}

Ref float_tuple(const std::vector<double>& v) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(v.size())));
    for (std::size_t i = 0; i < v.size(); ++i) PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), to_py(v[i]).release());
    return tuple;
}

struct ClvFit {
    static constexpr const char* signature = "_clv_fit(model, columns, max_iter, tol, n_jobs=None)";
    static constexpr const char* doc =
        "Maximum-likelihood fit of a model (\"BetaGeo\", \"ParetoNBD\" on (frequency, recency, T); \"GammaGamma\"\n"
        "on (frequency, monetary_value)): (params, log_likelihood, n_iter, converged).";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        const ModelKind kind = read_model(a);
        engine::FitOptions options;
        options.max_iter = a.get<int>("max_iter");
        options.tol = a.get<double>("tol");
        options.n_jobs = a.get_or<std::optional<std::int32_t>>("n_jobs", std::nullopt);
        if (options.max_iter < 0) raise(PyExc_ValueError, format("max_iter must be >= 0, got {}", options.max_iter));
        if (!(options.tol >= 0.0)) raise(PyExc_ValueError, format("tol must be >= 0, got {}", options.tol));
        engine::FitResult fit;
        if (kind == ModelKind::GammaGamma) {
            const Columns c = read_spend(a);
            fit = unlocked(c.size(), [&] { return engine::fit_spend({c[0], c[1]}, options); });
        } else {
            const Columns c = read_purchases(a);
            const PurchaseModel model = purchase_model(kind);
            fit = unlocked(c.size(), [&] { return engine::fit_purchases(model, purchases(c), options); });
        }
        return make_tuple(params_tuple(fit.params, kind == ModelKind::GammaGamma ? 3 : 4), fit.log_likelihood, fit.n_iter,
                          fit.converged);
    }
};

struct ClvLogLikelihood {
    static constexpr const char* signature = "_clv_log_likelihood(model, params, columns, n_jobs=None)";
    static constexpr const char* doc =
        "Total log-likelihood at `params` with its gradient and row-major Hessian with respect to the\n"
        "logarithms of the parameters: (value, gradient, hessian).";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        const ModelKind kind = read_model(a);
        const auto n_jobs = a.get_or<std::optional<std::int32_t>>("n_jobs", std::nullopt);
        engine::LogLikelihood ll;
        if (kind == ModelKind::GammaGamma) {
            const auto params = read_params<3>(a);
            const Columns c = read_spend(a);
            ll = unlocked(c.size(), [&] { return engine::spend_log_likelihood(params, {c[0], c[1]}, n_jobs); });
        } else {
            const auto params = read_params<4>(a);
            const Columns c = read_purchases(a);
            const PurchaseModel model = purchase_model(kind);
            ll = unlocked(c.size(), [&] { return engine::purchase_log_likelihood(model, params, purchases(c), n_jobs); });
        }
        return make_tuple(ll.value, float_tuple(ll.gradient), float_tuple(ll.hessian));
    }
};

struct ClvPredict {
    static constexpr const char* signature = "_clv_predict(model, quantity, params, columns, t=None, n_jobs=None)";
    static constexpr const char* doc =
        "Per-customer predictions as float64 bytes: quantity \"alive\" (P(alive)) or \"purchases\" (expected\n"
        "purchases in the next t periods) of a purchase model, \"value\" (expected average spend) of GammaGamma.";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        const ModelKind kind = read_model(a);
        const std::string quantity = a.get<std::string>("quantity");
        const auto n_jobs = a.get_or<std::optional<std::int32_t>>("n_jobs", std::nullopt);
        if (kind == ModelKind::GammaGamma) {
            if (quantity != "value") raise(PyExc_ValueError, format("unknown quantity '{}'", quantity));
            const auto params = read_params<3>(a);
            const Columns c = read_spend(a);
            return float_bytes(unlocked(c.size(), [&] { return engine::expected_average_value(params, c[0], c[1]); }));
        }
        const PurchaseModel model = purchase_model(kind);
        const auto params = read_params<4>(a);
        if (quantity == "alive") {
            const Columns c = read_purchases(a);
            return float_bytes(
                unlocked(c.size(), [&] { return engine::probability_alive(model, params, purchases(c), n_jobs); }));
        }
        if (quantity == "purchases") {
            const double t = read_span(a, "t");
            const Columns c = read_purchases(a);
            return float_bytes(
                unlocked(c.size(), [&] { return engine::conditional_purchases(model, params, t, purchases(c), n_jobs); }));
        }
        raise(PyExc_ValueError, format("unknown quantity '{}'", quantity));
    }
};

struct ClvExpected {
    static constexpr const char* signature = "_clv_expected(model, params, t)";
    static constexpr const char* doc =
        "Expected purchases in (0, t] of a new customer, one per value of the column t, as float64 bytes.";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        const PurchaseModel model = purchase_model(read_model(a));
        const auto params = read_params<4>(a);
        const std::vector<double> t = a.get<std::vector<double>>("t");
        for (std::size_t i = 0; i < t.size(); ++i)
            if (!(std::isfinite(t[i]) && t[i] >= 0.0))
                raise(PyExc_ValueError, format("t must be finite and >= 0; t[{}] is {}", i, t[i]));
        return float_bytes(unlocked(t.size(), [&] {
            std::vector<double> out(t.size());
            for (std::size_t i = 0; i < t.size(); ++i) out[i] = engine::expected_purchases(model, params, t[i]);
            return out;
        }));
    }
};

struct ClvLifetimeValue {
    static constexpr const char* signature =
        "_clv_lifetime_value(model, params, spend_params, columns, months, discount_rate, period_days, n_jobs=None)";
    static constexpr const char* doc =
        "Discounted value of the next `months` months per customer (columns frequency, recency, T,\n"
        "monetary_value), as float64 bytes.";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        const PurchaseModel model = purchase_model(read_model(a));
        const auto params = read_params<4>(a);
        const auto spend = read_params<3>(a, "spend_params");
        engine::LifetimeValueOptions options;
        options.months = a.get<int>("months");
        options.discount_rate = a.get<double>("discount_rate");
        options.period_days = a.get<double>("period_days");
        const auto n_jobs = a.get_or<std::optional<std::int32_t>>("n_jobs", std::nullopt);
        if (options.months < 0) raise(PyExc_ValueError, format("months must be >= 0, got {}", options.months));
        if (!(std::isfinite(options.discount_rate) && options.discount_rate > -1.0))
            raise(PyExc_ValueError, format("discount_rate must be finite and > -1, got {}", options.discount_rate));
        if (!(std::isfinite(options.period_days) && options.period_days > 0.0))
            raise(PyExc_ValueError, format("period_days must be finite and > 0, got {}", options.period_days));
        Columns c = read_columns(a.raw("columns"), {"frequency", "recency", "T", "monetary_value"});
        raise_fault(engine::check_purchases(purchases(c)));
        raise_fault(engine::check_spend({c[0], c[3]}));
        return float_bytes(unlocked(c.size(), [&] {
            return engine::customer_lifetime_value(model, params, spend, purchases(c), c[3], options, n_jobs);
        }));
    }
};

double read_period_days(const Args& a) {
    const double period_days = a.get_given_or<double>("period_days", 1.0);
    if (!(std::isfinite(period_days) && period_days > 0.0))
        raise(PyExc_ValueError, format("period_days must be finite and > 0, got {}", period_days));
    return period_days;
}

// The held transactions grouped and summarised without the interpreter lock,
// with what was skipped.
struct Summarised {
    engine::Grouping groups;
    engine::ClvSummary summary;
    SkipReport report;
};

Summarised summarise(TransactionColumns& tx, bool has_as_of, double period_days, std::optional<std::int32_t> n_jobs) {
    Summarised out;
    out.report = unlocked(tx.size() * 3, [&] {  // the columns are held by `tx`
        if (tx.size() > 0) {
            const auto pool = engine::build_thread_pool(n_jobs.value_or(-1));
            out.groups = tx.group(pool.get());
            poll_interrupt();
            out.summary = engine::clv_summary(out.groups, tx.purchases(),
                                              has_as_of ? std::optional(tx.as_of()) : std::nullopt, period_days, *pool);
        }
        return tx.report(out.groups);
    });
    return out;
}

// clv_summary_from_columns' columns (monetary_value only with amounts).
void put_summary(const ColumnDict& out, TransactionColumns& tx, PyObject* ids, const Summarised& done, bool has_amounts,
                 const OutputColumns& columns) {
    const engine::ClvSummary& summary = done.summary;
    out.put("customer_id", tx.id_column(ids, done.groups, summary.group, columns));
    out.put("frequency", columns.floats(summary.frequency));
    out.put("recency", columns.floats(summary.recency));
    out.put("T", columns.floats(summary.age));
    if (has_amounts) out.put("monetary_value", columns.floats(summary.monetary_value));
}

struct ClvSummaryFromColumns {
    static constexpr const char* signature =
        "clv_summary_from_columns(customer_ids, timestamps, amounts=None, as_of=None, period_days=1.0, n_jobs=None)";
    static constexpr const char* doc =
        "Per-customer summaries for BetaGeoModel, ParetoNBDModel and GammaGammaModel from transactions.\n\n"
        "Takes the columns rfm_from_columns takes (str or int ids; datetime64, epoch seconds, datetimes, dates or\n"
        "RFC 3339 strings; float amounts) and skips and reports the same rows. A customer's purchases are first\n"
        "merged per UTC calendar day (one purchase a day, worth the day's total); purchases after as_of (default:\n"
        "the latest timestamp in the data) are left out. frequency is the number of purchase days after the first,\n"
        "recency the time from the first to the last purchase day, T the time from the first purchase day to\n"
        "as_of's day, both in units of period_days days (1.0: days, 7.0: weeks); monetary_value is the mean of the\n"
        "repeat days' totals (0.0 without a repeat purchase). ValueError for period_days not finite and > 0.\n\n"
        "Returns a dict of equal-length columns (customer_id, frequency, recency, T and, with amounts,\n"
        "monetary_value), customers in order of first appearance; pandas.DataFrame(result) takes it as is.\n\n"
        ">>> s = clv_summary_from_columns([\"a\", \"a\", \"a\", \"b\"], [\"2024-01-02T10:00:00Z\", \"2024-02-10T09:00:00Z\",\n"
        "...                              \"2024-05-01T12:00:00Z\", \"2024-01-15T10:00:00Z\"], [20.0, 35.0, 25.0, 10.0],\n"
        "...                              as_of=\"2024-06-30T00:00:00Z\")\n"
        ">>> s[\"frequency\"].tolist(), s[\"recency\"].tolist(), s[\"T\"].tolist(), s[\"monetary_value\"].tolist()\n"
        "([2.0, 0.0], [120.0, 0.0], [180.0, 167.0], [30.0, 0.0])";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        TransactionColumns tx;
        tx.read_ids(a.raw("customer_ids"), "customer_ids");
        tx.read_timestamps(a.raw("timestamps"), "timestamps");
        PyObject* amounts = a.raw("amounts");
        const bool has_amounts = amounts && amounts != Py_None;
        if (has_amounts) tx.read_amounts(amounts, "amounts");
        PyObject* as_of = a.raw("as_of");
        const bool has_as_of = as_of && as_of != Py_None;
        if (has_as_of) tx.read_as_of(as_of, "as_of");
        const double period_days = read_period_days(a);
        const auto n_jobs = a.get_or<std::optional<std::int32_t>>("n_jobs", std::nullopt);
        tx.check_lengths();
        const Summarised done = summarise(tx, has_as_of, period_days, n_jobs);
        warn_skips(done.report);
        const OutputColumns columns;
        const ColumnDict out;
        put_summary(out, tx, a.raw("customer_ids"), done, has_amounts, columns);
        return out.dict();
    }
};

struct ClvPartitionColumns {
    static constexpr const char* signature =
        "clv_partition_columns(customer_ids, timestamps, amounts, rows, as_of=None, period_days=1.0, n_jobs=None)";
    static constexpr const char* doc =
        "The summary of one partition's customers (every transaction of them), read as clv_summary_from_columns\n"
        "reads its columns.\n\n"
        "amounts: floats, or None for none. rows: each transaction's position in the whole input, ascending.\n"
        "as_of: the reference instant of the whole computation (transactions dated after it are left out), or None\n"
        "for the latest timestamp of the whole input, which only combine_clv_partitions knows.\n\n"
        "Returns (summary, as_of_day, report): clv_summary_from_columns' columns against this partition's as_of (the\n"
        "given one, else its own latest timestamp) plus first_day (int64 UTC day numbers, days since 1970-01-01, of\n"
        "each customer's first purchase) and first_row (int64 positions where each customer first appears); the\n"
        "day number of that as_of (None without a usable row and no as_of); and the partition's skip report, with\n"
        "positions in the whole input. combine_clv_partitions(every partition's result) then gives\n"
        "clv_summary_from_columns' result and warnings. ValueError for rows that are not ascending non-negative\n"
        "positions, one per transaction, and as clv_summary_from_columns.\n\n"
        "    part = clv_partition_columns(ids, stamps, amounts, rows, None)";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        TransactionColumns tx;
        tx.read_ids(a.raw("customer_ids"), "customer_ids");
        tx.read_timestamps(a.raw("timestamps"), "timestamps");
        PyObject* amounts = a.raw("amounts");
        const bool has_amounts = amounts != Py_None;
        if (has_amounts) tx.read_amounts(amounts, "amounts");
        const auto rows = a.get<std::vector<std::int64_t>>("rows");
        PyObject* as_of = a.raw("as_of");
        const bool has_as_of = as_of && as_of != Py_None;
        if (has_as_of) tx.read_as_of(as_of, "as_of");
        const double period_days = read_period_days(a);
        const auto n_jobs = a.get_or<std::optional<std::int32_t>>("n_jobs", std::nullopt);
        tx.check_lengths();
        check_positions(rows, tx.size());

        Summarised done = summarise(tx, has_as_of, period_days, n_jobs);
        const engine::Grouping& groups = done.groups;
        const engine::ClvSummary& summary = done.summary;
        SkipReport& report = done.report;
        report.to_positions(rows);
        std::optional<std::int64_t> as_of_day;
        if (has_as_of) as_of_day = engine::utc_day(tx.as_of());
        else if (summary.as_of) as_of_day = engine::utc_day(*summary.as_of);

        const OutputColumns columns;
        const ColumnDict out;
        put_summary(out, tx, a.raw("customer_ids"), done, has_amounts, columns);
        out.put("first_day", columns.int64s(summary.first_day));
        out.put("first_row", columns.int64s(summary.group.size(), [&](std::int64_t* first) {
            for (std::size_t i = 0; i < summary.group.size(); ++i) first[i] = rows[groups.first_row[summary.group[i]]];
        }));
        return py::make_tuple(out.dict(), as_of_day, report_to_py(report));
    }
};

// One column of a partition's summary, read as a vector of `T`.
template <class T>
std::vector<T> summary_column(PyObject* summary, const char* key, std::size_t part, std::size_t size) {
    PyObject* column = PyDict_GetItemString(summary, key);  // borrowed
    if (!column) raise(PyExc_ValueError, format("parts[{}] has no column '{}'", part, key));
    std::vector<T> values = From<std::vector<T>>::convert(column, "parts");
    if (values.size() != size)
        raise(PyExc_ValueError, format("parts[{}]: column '{}' has {} values but customer_id has {}", part, key,
                                       values.size(), size));
    return values;
}

// A day number an instant can have (64-bit seconds), so that differences of two never overflow.
std::int64_t checked_day(std::int64_t day, std::size_t part, const char* what) {
    constexpr std::int64_t kLimit = std::numeric_limits<std::int64_t>::max() / 86'400 + 1;
    if (day < -kLimit || day > kLimit) raise(PyExc_ValueError, format("parts[{}]: {} {} is out of range", part, what, day));
    return day;
}

// An id as the text duplicates are found by (ints in decimal).
std::string id_text(PyObject* id) {
    Ref text = PyUnicode_Check(id) ? Ref::borrow(id) : Ref::steal(PyObject_Str(id));
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (!data) throw PyErrorAlreadySet{};
    return std::string(data, static_cast<std::size_t>(size));
}

struct CombineClvPartitions {
    static constexpr const char* signature = "combine_clv_partitions(parts, period_days=1.0)";
    static constexpr const char* doc =
        "The summary of every customer from the results of clv_partition_columns over the partitions of one input\n"
        "(each customer's transactions in one partition), with clv_summary_from_columns' warnings for the whole\n"
        "input.\n\n"
        "parts: the (summary, as_of_day, report) results, in any order. Customers come in order of first appearance\n"
        "in the whole input; T is taken against the latest as_of day of the parts. period_days: as given to the\n"
        "parts.\n\n"
        "Returns clv_summary_from_columns' dict of columns, the ids as a list. RuntimeError for a customer found in\n"
        "more than one partition; ValueError for parts of another shape, or with and without monetary_value.\n\n"
        "    summary = combine_clv_partitions([clv_partition_columns(*p) for p in partitions])";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        SequenceItems parts(a.raw("parts"), "parts");
        const double period_days = read_period_days(a);

        std::vector<Ref> ids;
        std::vector<std::int64_t> first_row, first_day;
        std::vector<double> frequency, recency, monetary_value;
        std::optional<std::int64_t> day;
        std::optional<bool> has_amounts;
        SkipReport report;
        for (std::size_t p = 0; p < parts.size(); ++p) {
            require_tuple(parts[p], 3, "parts");
            PyObject* summary = PyTuple_GetItem(parts[p], 0);
            if (!PyDict_Check(summary))
                raise_argument(PyExc_TypeError, "parts",
                               format("a summary must be a dict of columns, not {}", type_name(summary)));
            PyObject* part_day = PyTuple_GetItem(parts[p], 1);
            if (part_day != Py_None) {
                const auto d = checked_day(From<std::int64_t>::convert(part_day, "parts"), p, "as_of day");
                day = day ? std::max(*day, d) : d;
            }
            report.merge(report_from_py(PyTuple_GetItem(parts[p], 2), "parts"));

            PyObject* id_column = PyDict_GetItemString(summary, "customer_id");
            if (!id_column) raise(PyExc_ValueError, format("parts[{}] has no column 'customer_id'", p));
            SequenceItems part_ids(id_column, "parts");
            const std::size_t n = part_ids.size();
            for (std::size_t i = 0; i < n; ++i) ids.push_back(Ref::borrow(part_ids[i]));
            auto append = [](auto& to, const auto& from) { to.insert(to.end(), from.begin(), from.end()); };
            append(first_row, summary_column<std::int64_t>(summary, "first_row", p, n));
            for (const std::int64_t d : summary_column<std::int64_t>(summary, "first_day", p, n))
                first_day.push_back(checked_day(d, p, "first_day"));
            append(frequency, summary_column<double>(summary, "frequency", p, n));
            append(recency, summary_column<double>(summary, "recency", p, n));
            const bool amounts = PyDict_GetItemString(summary, "monetary_value") != nullptr;
            if (has_amounts && *has_amounts != amounts)
                raise(PyExc_ValueError, "parts must all have monetary_value or none");
            has_amounts = amounts;
            if (amounts) append(monetary_value, summary_column<double>(summary, "monetary_value", p, n));
        }

        const std::size_t n = ids.size();
        if (n > 0 && !day) raise(PyExc_ValueError, "parts list customers but no as_of day");
        std::vector<std::size_t> order(n);
        for (std::size_t i = 0; i < n; ++i) order[i] = i;
        std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) { return first_row[x] < first_row[y]; });
        engine::StringMap<std::size_t> seen;
        for (const std::size_t i : order)
            if (!seen.emplace(id_text(ids[i].get()), i).second)
                throw SegmoraError::data_validation(
                    format("customer {} appears in more than one partition", id_text(ids[i].get())));
        poll_interrupt();

        const OutputColumns columns;
        auto gather = [&](const std::vector<double>& v) {
            std::vector<double> out(n);
            for (std::size_t i = 0; i < n; ++i) out[i] = v[order[i]];
            return columns.floats(out);
        };
        std::vector<double> age(n);
        for (std::size_t i = 0; i < n; ++i) age[i] = engine::periods_between(first_day[order[i]], *day, period_days);
        warn_skips(report);

        const ColumnDict out;
        Ref id_list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
        for (std::size_t i = 0; i < n; ++i) PyList_SetItem(id_list.get(), static_cast<Py_ssize_t>(i), Ref(ids[order[i]]).release());
        out.put("customer_id", std::move(id_list));
        out.put("frequency", gather(frequency));
        out.put("recency", gather(recency));
        out.put("T", columns.floats(age));
        if (has_amounts.value_or(true)) out.put("monetary_value", gather(monetary_value));
        return out.dict();
    }
};

}  // namespace

PyMethodDef* clv_partition_columns_def() { return function_def<ClvPartitionColumns>(); }
PyMethodDef* combine_clv_partitions_def() { return function_def<CombineClvPartitions>(); }
PyMethodDef* clv_summary_from_columns_def() { return function_def<ClvSummaryFromColumns>(); }
PyMethodDef* clv_fit_def() { return function_def<ClvFit>(); }
PyMethodDef* clv_log_likelihood_def() { return function_def<ClvLogLikelihood>(); }
PyMethodDef* clv_predict_def() { return function_def<ClvPredict>(); }
PyMethodDef* clv_expected_def() { return function_def<ClvExpected>(); }
PyMethodDef* clv_lifetime_value_def() { return function_def<ClvLifetimeValue>(); }

}  // namespace segmora::py
