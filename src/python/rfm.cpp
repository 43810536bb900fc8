// calculate_rfm_py, PyRFMConfig, PyDecayFunction, PyScoringMethod, PyRFMScore,
// PySegmentType and PySegmentProfile.
#include <algorithm>
#include <deque>
#include <optional>
#include <string_view>
#include <vector>

#include "engine/rfm.hpp"
#include "python/bindings.hpp"
#include "python/timestamps.hpp"
#include "python/transactions.hpp"
#include "python/toolkit/classdef.hpp"
#include "python/toolkit/format.hpp"
#include "python/toolkit/unlocked.hpp"

namespace segmora::py {

namespace {

using engine::DecayFunction;
using engine::RFMConfig;
using engine::RFMScore;
using engine::ScoringMethod;
using engine::SegmentType;
using engine::Transaction;

// ---- transactions ----

// The transactions of one call: views into the UTF-8 text of the tuples'
// strings. A list's tuples stay alive through the list while no Python code
// runs; an amount that is not an exact float or int may run Python code that
// drops tuples from the list, so from the first such amount on every tuple
// seen so far is held here. `unheld` is the list whose tuples back `rows`
// without being held; hold_all() takes them before any later Python code runs.
struct TransactionsInput {
    std::vector<Ref> held;
    std::vector<Transaction> rows;
    std::optional<TimeReader> times;  // looked up at the first non-str timestamp
    std::deque<std::string> texts;    // how missing times show themselves (stable addresses)
    PyObject* unheld = nullptr;

    void hold_all() {
        if (!unheld) return;
        held.reserve(rows.size());
        for (std::size_t i = 0; i < rows.size(); ++i)
            held.push_back(Ref::borrow(PyList_GetItem(unheld, static_cast<Py_ssize_t>(i))));
        unheld = nullptr;
    }
};

std::string_view str_view(PyObject* obj, const char* arg) {
    if (!PyUnicode_CheckExact(obj) && !PyUnicode_Check(obj))  // the exact test is inline
        raise_argument(PyExc_TypeError, arg, format("'{}' object cannot be converted to 'str'", type_name(obj)));
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);  // cached by the str object
    if (!text) reraise_for_argument(arg);
    return {text, static_cast<std::size_t>(size)};
}

PyObject* checked_tuple(PyObject* item, const char* arg) {
    if (!PyTuple_CheckExact(item) && !PyTuple_Check(item))
        raise_argument(PyExc_TypeError, arg, format("'{}' object cannot be converted to 'tuple'", type_name(item)));
    const Py_ssize_t len = PyTuple_Size(item);
    if (len != 3)
        raise_argument(PyExc_TypeError, arg, format("expected tuple of length 3, but got tuple of length {}", len));
    return item;
}

// Element 1 of a transaction: RFC 3339 text, or a date-time object.
void read_time(PyObject* when, const char* arg, TransactionsInput& out, Transaction& t) {
    if (PyUnicode_Check(when)) {
        t.timestamp = str_view(when, arg);
        return;
    }
    // A datetime (naive: UTC), a date (midnight UTC) or a NumPy datetime64;
    // NaT stays a time that does not parse, shown as such in the warning.
    engine::Instant instant;
    switch ((out.times ? *out.times : out.times.emplace()).read(when, arg, false, instant)) {
        case TimeReader::Read::Instant: t.instant = instant; break;
        case TimeReader::Read::Missing: {
            // None and NaN are no timestamps: the usual type error.
            if (when == Py_None || PyFloat_Check(when)) (void)str_view(when, arg);
            Ref shown = Ref::steal(PyObject_Str(when));
            out.texts.push_back(From<std::string>::convert(shown.get(), arg));
            t.timestamp = out.texts.back();
            break;
        }
        case TimeReader::Read::NotATime: (void)str_view(when, arg);  // the usual type error
    }
}

// A refused element names its place: "item 4, element 1: 'int' object ...".
Transaction to_transaction(PyObject* tuple, const char* arg, TransactionsInput& out) {
    Transaction t;
    t.customer_id = at_position(arg, "element", 0, [&] { return str_view(PyTuple_GetItem(tuple, 0), arg); });
    at_position(arg, "element", 1, [&] { read_time(PyTuple_GetItem(tuple, 1), arg, out, t); });
    t.amount = at_position(arg, "element", 2, [&] { return From<double>::convert(PyTuple_GetItem(tuple, 2), arg); });
    return t;
}

// Whether converting the timestamp and amount runs no Python code.
bool plain_amount(PyObject* tuple) {
    PyObject* amount = PyTuple_GetItem(tuple, 2);
    return (PyFloat_CheckExact(amount) || PyLong_CheckExact(amount)) && PyUnicode_Check(PyTuple_GetItem(tuple, 1));
}

// One pass over the sequence; a str is refused like every list argument.
TransactionsInput extract_transactions(PyObject* obj, const char* arg) {
    if (PyUnicode_Check(obj)) raise_argument(PyExc_TypeError, arg, "Can't extract `str` to `Vec`");
    TransactionsInput out;
    if (PyList_Check(obj)) {
        Py_ssize_t n = PyList_Size(obj);
        out.rows.reserve(static_cast<std::size_t>(n));
        bool holding = false;
        for (Py_ssize_t i = 0; i < n; ++i) {
            const auto at = static_cast<std::size_t>(i);
            PyObject* tuple = at_position(arg, "item", at, [&] { return checked_tuple(PyList_GetItem(obj, i), arg); });
            if (!holding && !plain_amount(tuple)) {
                holding = true;  // nothing has run yet: items 0..i are still the ones converted
                out.held.reserve(static_cast<std::size_t>(n));
                for (Py_ssize_t j = 0; j < i; ++j) out.held.push_back(Ref::borrow(PyList_GetItem(obj, j)));
            }
            if (holding) out.held.push_back(Ref::borrow(tuple));
            out.rows.push_back(at_position(arg, "item", at, [&] { return to_transaction(tuple, arg, out); }));
            if (holding) n = std::min(n, PyList_Size(obj));  // a callback may have shrunk the list
        }
        if (!holding) out.unheld = obj;
        return out;
    }
    // A DataFrame (anything with itertuples) gives its rows as plain tuples,
    // columns in order: customer id, timestamp, amount. Its [] looks up
    // column labels, so it is never indexed as a sequence.
    Ref rows_of_frame;
    if (!PyTuple_Check(obj) && PyObject_HasAttrString(obj, "itertuples")) {
        Ref method = Ref::steal(PyObject_GetAttrString(obj, "itertuples"));
        Ref args = Ref::steal(PyTuple_New(0));
        Ref kwargs = Ref::steal(Py_BuildValue("{s:O,s:O}", "index", Py_False, "name", Py_None));
        Ref rows = Ref::adopt(PyObject_Call(method.get(), args.get(), kwargs.get()));
        if (!rows) reraise_for_argument(arg);
        rows_of_frame = Ref::adopt(PySequence_List(rows.get()));
        if (!rows_of_frame) reraise_for_argument(arg);
        obj = rows_of_frame.get();
    }
    if (!PySequence_Check(obj))
        raise_argument(PyExc_TypeError, arg, format("'{}' object cannot be converted to 'Sequence'", type_name(obj)));
    const Py_ssize_t n = PySequence_Size(obj);
    if (n < 0) reraise_for_argument(arg);
    out.held.reserve(static_cast<std::size_t>(n));
    out.rows.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        out.held.push_back(Ref::steal(PySequence_GetItem(obj, i)));  // a new reference: always held
        out.rows.push_back(at_position(arg, "item", static_cast<std::size_t>(i), [&] {
            return to_transaction(checked_tuple(out.held.back().get(), arg), arg, out);
        }));
    }
    return out;
}

}  // namespace

template <>
struct From<TransactionsInput> {
    static TransactionsInput convert(PyObject* obj, const char* arg) { return extract_transactions(obj, arg); }
};

namespace {

// ---- calculate_rfm_py ----

// The UserWarnings of a call, worded as rfm_from_columns words them:
// transactions dropped for a time that does not parse (and the customers left
// out for want of any other), then NaN amounts among the transactions that count.
void warn_skipped(const std::vector<Transaction>& rows, const engine::RfmInputReport& input) {
    SkipReport report;
    report.rows = rows.size();
    report.unreadable = input.unparsed;
    report.first_unreadable = input.first_unparsed;
    if (input.unparsed) report.first_unreadable_text = std::string(rows[input.first_unparsed].timestamp);
    report.customers_left_out = input.customers_left_out;
    report.nan_amounts = input.nan_amounts;
    report.first_nan_amount = input.first_nan_amount;
    warn_skips(report);
}

struct CalculateRfmPy {
    static constexpr const char* signature = "calculate_rfm_py(transactions, config, n_jobs=None)";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        TransactionsInput transactions = a.get<TransactionsInput>("transactions");
        const Borrowed<RFMConfig> config = a.get<Borrowed<RFMConfig>>("config");
        // An n_jobs other than None or an exact int may run __index__, which
        // may drop the tuples the rows point into.
        if (PyObject* jobs = a.raw("n_jobs"); jobs && jobs != Py_None && !PyLong_CheckExact(jobs))
            transactions.hold_all();
        const auto n_jobs = a.get_or<std::optional<std::int32_t>>("n_jobs", std::nullopt);
        // Without the lock another thread may empty the caller's list: the
        // tuples behind the rows are held first.
        const std::size_t size = transactions.rows.size() * 3;
        if (size >= kUnlockedMinimum) transactions.hold_all();
        engine::RfmInputReport report;
        const RFMConfig& settings = *config;
        std::vector<RFMScore> scores =
            unlocked(size, [&] { return engine::calculate_rfm(transactions.rows, settings, n_jobs, &report); });
        warn_skipped(transactions.rows, report);
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(scores.size())));
        for (std::size_t i = 0; i < scores.size(); ++i)
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), wrap(std::move(scores[i])).release());
        return list;
    }
};

// ---- RFM over partitions of customers ----

Ref scores_to_list(std::vector<RFMScore> scores) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(scores.size())));
    for (std::size_t i = 0; i < scores.size(); ++i)
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), wrap(std::move(scores[i])).release());
    return list;
}

// The instant `now` of a partition: RFC 3339 text, a datetime (naive: UTC), a
// date (midnight UTC), a NumPy datetime64 or int epoch seconds. A text that
// does not parse gives nullopt and stays in `text` (the caller reports it once
// every argument is converted).
std::optional<engine::Instant> now_argument(PyObject* obj, std::string& text) {
    if (PyUnicode_Check(obj)) {
        text = From<std::string>::convert(obj, "now");
        return engine::parse_rfc3339(text);
    }
    engine::Instant now;
    if (TimeReader().read(obj, "now", true, now) == TimeReader::Read::Instant) return now;
    raise_argument(PyExc_TypeError, "now",
                   format("expected a datetime, date, datetime64, int (epoch seconds) or RFC 3339 str, not {}",
                          type_name(obj)));
}

struct RfmPartitionValues {
    static constexpr const char* signature = "rfm_partition_values(transactions, config, now, rows=None, n_jobs=None)";
    static constexpr const char* doc =
        "Raw RFM values of one partition's customers at the instant `now`, for RFM over\n"
        "partitioned data (each customer in one partition).\n"
        "\n"
        "transactions: (customer_id, timestamp, amount) tuples as calculate_rfm_py takes them;\n"
        "config: a PyRFMConfig; now: the instant of the whole computation (RFC 3339 text, a\n"
        "datetime (naive: UTC), a date (midnight UTC), a NumPy datetime64 or int epoch\n"
        "seconds); rows: each transaction's position in the whole input (default 0, 1, ...).\n"
        "\n"
        "Returns one (customer_id, recency, frequency, monetary, first_row, last_seconds,\n"
        "last_nanos) tuple per customer with a parsed transaction, for score_rfm_values.\n"
        "Raises RuntimeError \"Data validation error: now is not an RFC 3339 date-time: ...\"\n"
        "for a text that does not parse.\n"
        "\n"
        ">>> tx = [(\"a\", \"2024-05-01T00:00:00Z\", 10.0), (\"b\", \"2024-05-20T00:00:00Z\", 5.0),\n"
        "...       (\"a\", \"2024-05-25T00:00:00Z\", 7.5)]\n"
        ">>> [v[:4] for v in rfm_partition_values(tx, PyRFMConfig(), \"2024-06-01T00:00:00Z\")]\n"
        "[('a', 0.9222222222222223, 2.0, 17.5), ('b', 0.8666666666666667, 1.0, 5.0)]";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        TransactionsInput transactions = a.get<TransactionsInput>("transactions");
        // Any later conversion may run Python code that drops the tuples.
        transactions.hold_all();
        const Borrowed<RFMConfig> config = a.get<Borrowed<RFMConfig>>("config");
        std::string now_text;
        const std::optional<engine::Instant> now = now_argument(a.raw("now"), now_text);
        const auto rows = a.get_or<std::vector<std::uint64_t>>("rows", {});
        const auto n_jobs = a.get_or<std::optional<std::int32_t>>("n_jobs", std::nullopt);
        if (!now) throw SegmoraError::data_validation(format("now is not an RFC 3339 date-time: {}", now_text));
        const RFMConfig& settings = *config;
        std::vector<engine::CustomerValues> values = unlocked(transactions.rows.size() * 3, [&] {
            return engine::rfm_partition_values(transactions.rows, rows, settings, n_jobs, *now);
        });
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
        for (std::size_t i = 0; i < values.size(); ++i) {
            const RFMScore& r = values[i].record;
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i),
                           py::make_tuple(r.customer_id, r.recency, r.frequency, r.monetary, values[i].first_row,
                                          values[i].last.seconds, values[i].last.nanos)
                               .release());
        }
        return list;
    }
};

// (customer_id, recency, frequency, monetary, first_row, last_seconds, last_nanos) tuples.
std::vector<engine::CustomerValues> extract_values(PyObject* obj, const char* arg) {
    if (PyUnicode_Check(obj)) raise_argument(PyExc_TypeError, arg, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(obj))
        raise_argument(PyExc_TypeError, arg, format("'{}' object cannot be converted to 'Sequence'", type_name(obj)));
    const Py_ssize_t n = PySequence_Size(obj);
    if (n < 0) reraise_for_argument(arg);
    std::vector<engine::CustomerValues> out;
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item = Ref::steal(PySequence_GetItem(obj, i));
        if (!item) reraise_for_argument(arg);
        require_tuple(item.get(), 7, arg);
        engine::CustomerValues v;
        v.record.customer_id = std::string(str_view(PyTuple_GetItem(item.get(), 0), arg));
        v.record.recency = From<double>::convert(PyTuple_GetItem(item.get(), 1), arg);
        v.record.frequency = From<double>::convert(PyTuple_GetItem(item.get(), 2), arg);
        v.record.monetary = From<double>::convert(PyTuple_GetItem(item.get(), 3), arg);
        v.first_row = From<std::uint64_t>::convert(PyTuple_GetItem(item.get(), 4), arg);
        v.last.seconds = From<std::int64_t>::convert(PyTuple_GetItem(item.get(), 5), arg);
        v.last.nanos = From<std::uint32_t>::convert(PyTuple_GetItem(item.get(), 6), arg);
        if (v.last.nanos >= 1'000'000'000) raise_argument(PyExc_ValueError, arg, "last_nanos must be below 10^9");
        out.push_back(std::move(v));
    }
    return out;
}

struct ScoreRfmValues {
    static constexpr const char* signature = "score_rfm_values(values, config, reports=None)";
    static constexpr const char* doc =
        "Scores and names the gathered per-customer values of every partition, giving\n"
        "calculate_rfm_py's records (the last step of RFM over partitioned data).\n"
        "\n"
        "values: the tuples of rfm_partition_values or rfm_partition_columns of every\n"
        "partition, in partition order; config: the PyRFMConfig of the computation (its\n"
        "scoring method applies); reports: the partitions' skip reports (from\n"
        "rfm_partition_columns), warned about once for the whole input as\n"
        "rfm_from_columns warns.\n"
        "\n"
        "Returns a list of PyRFMScore, highest monetary value first. A malformed tuple is a\n"
        "TypeError or ValueError naming `values` and the item.\n"
        "\n"
        ">>> tx = [(\"a\", \"2024-05-01T00:00:00Z\", 10.0), (\"b\", \"2024-05-20T00:00:00Z\", 5.0)]\n"
        ">>> values = rfm_partition_values(tx, PyRFMConfig(), \"2024-06-01T00:00:00Z\")\n"
        ">>> score_rfm_values(values, PyRFMConfig())\n"
        "[RFMScore(customer_id=a, r=3, f=3, m=5, segment=Promising), RFMScore(customer_id=b, r=5, f=5, m=3, segment=Loyal Customers)]";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        std::vector<engine::CustomerValues> values = extract_values(a.raw("values"), "values");
        const Borrowed<RFMConfig> config = a.get<Borrowed<RFMConfig>>("config");
        std::optional<SkipReport> report;
        if (PyObject* reports = a.raw("reports"); reports && reports != Py_None) {
            SequenceItems items(reports, "reports");
            report.emplace();
            for (std::size_t i = 0; i < items.size(); ++i) report->merge(report_from_py(items[i], "reports"));
        }
        const ScoringMethod method = config->scoring_method;
        const std::size_t size = values.size() * 4;
        Ref scores = scores_to_list(
            unlocked(size, [&] { return engine::score_partition_values(std::move(values), method); }));
        if (report) warn_skips(*report);
        return scores;
    }
};

// ---- PyRFMConfig ----

struct RFMConfigNew {
    static constexpr const char* signature =
        "PyRFMConfig(recency_window_days=None, frequency_threshold=None, monetary_threshold=None, "
        "decay_function=None, decay_half_life_days=None, scoring_method=None)";
    static constexpr Raises raises = Raises::ValueError;
    static RFMConfig create(Args& a) {
        RFMConfig c;
        c.recency_window_days = a.get_or<std::uint32_t>("recency_window_days", c.recency_window_days);
        c.frequency_threshold = a.get_or<std::uint64_t>("frequency_threshold", c.frequency_threshold);
        c.monetary_threshold = a.get_or<double>("monetary_threshold", c.monetary_threshold);
        if (PyObject* decay = a.raw("decay_function"); decay && decay != Py_None)
            c.decay_function = *Borrowed<DecayFunction>(decay, "decay_function");
        c.decay_half_life_days = a.get_or<std::uint32_t>("decay_half_life_days", c.decay_half_life_days);
        if (PyObject* method = a.raw("scoring_method"); method && method != Py_None)
            c.scoring_method = *Borrowed<ScoringMethod>(method, "scoring_method");
        return c;
    }
};

// ---- PyDecayFunction, PyScoringMethod ----

using DecayLinear = MakeValue<DecayFunction::Linear, "linear()",
                              "Linear decay: the recency weight falls in a straight line from 1 for a purchase today\n"
                              "to 0 at three half-lives, (3h - d) / (3h) clamped to 0..1, for d days since the last\n"
                              "purchase and h = decay_half_life_days.">;
using DecayExponential = MakeValue<DecayFunction::Exponential, "exponential()",
                                   "Exponential decay: the recency weight 2^(-d/h) halves every h =\n"
                                   "decay_half_life_days days after the last purchase (at most 1).">;
using DecayInverse = MakeValue<DecayFunction::Inverse, "inverse()",
                               "Inverse decay: the recency weight 1 / (d/h + 1) is 1 for a purchase today and 0.5\n"
                               "after h = decay_half_life_days days.">;

std::string decay_repr(const DecayFunction& d) { return format("DecayFunction({})", engine::decay_name(d)); }

using ScoringQuintile = MakeValue<ScoringMethod::Quintile, "quintile()",
                                  "Scores 1 to 5 by rank: ceil((1 - i/n) * 5) at position i of n, highest value first.">;
using ScoringDecile = MakeValue<ScoringMethod::Decile, "decile()",
                                "Scores 1 to 10 by rank: ceil((1 - i/n) * 10) at position i of n, highest value first.">;
using ScoringPercentile =
    MakeValue<ScoringMethod::Percentile, "percentile()",
              "Scores 1 to 100 by rank: trunc((1 - i/n) * 100), at least 1, at position i of n, highest value first.">;

// ---- PyRFMScore ----

std::string score_segment(const RFMScore& s) { return s.segment; }

// The three scores in decimal, recency first, nothing between: 5, 4, 5 -> "545".
std::string score_rank(const RFMScore& s) {
    return format("{}{}{}", s.recency_score, s.frequency_score, s.monetary_score);
}

std::string score_repr(const RFMScore& s) {
    return format("RFMScore(customer_id={}, r={}, f={}, m={}, segment={})", s.customer_id, s.recency_score,
                  s.frequency_score, s.monetary_score, s.segment);
}

// ---- PySegmentType, PySegmentProfile ----

using SegmentChampions = MakeValue<SegmentType::Champions, "champions()", "The \"Champions\" segment type.">;
using SegmentLoyalCustomers =
    MakeValue<SegmentType::LoyalCustomers, "loyal_customers()", "The \"Loyal Customers\" segment type.">;
using SegmentPotentialLoyalists =
    MakeValue<SegmentType::PotentialLoyalists, "potential_loyalists()", "The \"Potential Loyalists\" segment type.">;
using SegmentAtRisk = MakeValue<SegmentType::AtRisk, "at_risk()", "The \"At Risk\" segment type.">;
using SegmentCannotLose = MakeValue<SegmentType::CannotLose, "cannot_lose()", "The \"Cannot Lose Them\" segment type.">;
using SegmentVip = MakeValue<SegmentType::VIP, "vip()", "The \"VIP\" segment type.">;
using SegmentNewCustomers =
    MakeValue<SegmentType::NewCustomers, "new_customers()", "The \"New Customers\" segment type.">;
using SegmentNeedAttention =
    MakeValue<SegmentType::NeedAttention, "need_attention()", "The \"Need Attention\" segment type.">;

struct SegmentAsStr {
    static constexpr const char* signature = "as_str($self)";
    static constexpr const char* doc =
        "The segment type's display name, e.g. \"Cannot Lose Them\".";
    static constexpr Raises raises = Raises::ValueError;
    static constexpr Access access = Access::Shared;
    static Ref call(const SegmentType& self, Args&) { return to_py(engine::display_name(self)); }
};

std::string segment_type_repr(const SegmentType& t) { return format("SegmentType({})", engine::display_name(t)); }

struct SegmentProfile {
    SegmentType type = SegmentType::Champions;
    std::uint64_t size = 0;
    double avg_recency = 0.0;
    double avg_frequency = 0.0;
    double avg_monetary = 0.0;
    double revenue_contribution = 0.0;
    double churn_risk = 0.0;
};

struct SegmentProfileNew {
    static constexpr const char* signature = "PySegmentProfile(segment_type)";
    static constexpr Raises raises = Raises::ValueError;
    static SegmentProfile create(Args& a) {
        SegmentProfile p;
        p.type = *a.get<Borrowed<SegmentType>>("segment_type");
        return p;
    }
};

std::string_view profile_type(const SegmentProfile& p) { return engine::display_name(p.type); }
std::string_view profile_description(const SegmentProfile& p) { return engine::description(p.type); }

std::string profile_repr(const SegmentProfile& p) {
    return format("SegmentProfile(type={}, size={}, avg_monetary={})", engine::display_name(p.type), p.size,
                  Fixed{p.avg_monetary, 2});
}

// ---- pickling ----

struct RFMConfigState {
    static constexpr std::uint32_t version = 1;
    static Ref save(const RFMConfig& c) {
        return py::make_tuple(c.recency_window_days, c.frequency_threshold, c.monetary_threshold,
                          static_cast<std::uint32_t>(c.decay_function), c.decay_half_life_days,
                          static_cast<std::uint32_t>(c.scoring_method));
    }
    static RFMConfig load(PyObject* state) {
        StateReader r(state, 6);
        RFMConfig c;
        c.recency_window_days = r.next<std::uint32_t>();
        c.frequency_threshold = r.next<std::uint64_t>();
        c.monetary_threshold = r.next<double>();
        c.decay_function = r.next_enum<DecayFunction>(3);
        c.decay_half_life_days = r.next<std::uint32_t>();
        c.scoring_method = r.next_enum<ScoringMethod>(3);
        return c;
    }
};

// A segment name must be one of the thirteen display names (or empty, unscored).
bool known_segment(std::string_view name) {
    if (name.empty()) return true;
    for (const auto& info : engine::segment_types())
        if (info.display_name == name) return true;
    return false;
}

struct RFMScoreState {
    static constexpr std::uint32_t version = 1;
    static Ref save(const RFMScore& s) {
        return py::make_tuple(s.customer_id, s.segment, s.recency, s.frequency, s.monetary, s.recency_score,
                          s.frequency_score, s.monetary_score);
    }
    static RFMScore load(PyObject* state) {
        StateReader r(state, 8);
        RFMScore s;
        s.customer_id = r.next<std::string>();
        s.segment = r.next<std::string>();
        if (!known_segment(s.segment)) throw StateError{format("unknown segment name '{}'", s.segment)};
        s.recency = r.next<double>();
        s.frequency = r.next<double>();
        s.monetary = r.next<double>();
        s.recency_score = r.next<std::uint32_t>();
        s.frequency_score = r.next<std::uint32_t>();
        s.monetary_score = r.next<std::uint32_t>();
        return s;
    }
};

struct SegmentProfileState {
    static constexpr std::uint32_t version = 1;
    static Ref save(const SegmentProfile& p) {
        return py::make_tuple(static_cast<std::uint32_t>(p.type), p.size, p.avg_recency, p.avg_frequency, p.avg_monetary,
                          p.revenue_contribution, p.churn_risk);
    }
    static SegmentProfile load(PyObject* state) {
        StateReader r(state, 7);
        SegmentProfile p;
        p.type = r.next_enum<SegmentType>(static_cast<std::uint32_t>(engine::kSegmentTypeCount));
        p.size = r.next<std::uint64_t>();
        p.avg_recency = r.next<double>();
        p.avg_frequency = r.next<double>();
        p.avg_monetary = r.next<double>();
        p.revenue_contribution = r.next<double>();
        p.churn_risk = r.next<double>();
        return p;
    }
};

}  // namespace

constexpr const char* kRFMConfigDoc =
    "Settings of an RFM computation; None takes the default.\n"
    "\n"
    "recency_window_days (90), frequency_threshold (1) and monetary_threshold (0.0) are\n"
    "stored and readable but not used by the computation. decay_function (a\n"
    "PyDecayFunction, default linear) turns the days since a customer's latest purchase\n"
    "into the recency weight, with decay_half_life_days (30) as its half-life h.\n"
    "scoring_method (a PyScoringMethod, default quintile) sets the score range.\n"
    "\n"
    "Integers out of range raise OverflowError, other types TypeError, naming the argument.\n"
    "\n"
    ">>> config = PyRFMConfig(decay_function=PyDecayFunction.exponential(), decay_half_life_days=60)\n"
    ">>> config.decay_half_life_days, config.recency_window_days\n"
    "(60, 90)";

PyTypeObject* rfm_config_type() {
    return type_once<RFMConfig>([] {
        return ClassDef<RFMConfig>("PyRFMConfig", kRFMConfigDoc)
            .constructor<RFMConfigNew>()
            .property<&RFMConfig::recency_window_days>(
                "recency_window_days", "Recency window in days (default 90); stored, not used by the computation.")
            .property<&RFMConfig::frequency_threshold>(
                "frequency_threshold", "Frequency threshold (default 1); stored, not used by the computation.")
            .property<&RFMConfig::monetary_threshold>(
                "monetary_threshold", "Monetary threshold (default 0.0); stored, not used by the computation.")
            .property<&RFMConfig::decay_half_life_days>(
                "decay_half_life_days", "Half-life h of the recency decay, in days (default 30).")
            .pickle<RFMConfigState>()
            .build();
    });
}

constexpr const char* kRFMScoreDoc =
    "One customer's RFM record: the recency weight, frequency and monetary value, a\n"
    "rank score on each, and the segment they name.\n"
    "\n"
    "Made by calculate_rfm_py and score_rfm_values; the attributes are read-only.\n"
    "\n"
    ">>> [s] = calculate_rfm_py([(\"c1\", \"2024-01-05T10:00:00Z\", 40.0)], PyRFMConfig())\n"
    ">>> s.customer_id, s.frequency, s.monetary, s.rfm_rank, s.rfm_segment\n"
    "('c1', 1.0, 40.0, '555', 'Champions')";

PyTypeObject* rfm_score_type() {
    return type_once<RFMScore>([] {
        return ClassDef<RFMScore>("PyRFMScore", kRFMScoreDoc)
            .property<&RFMScore::customer_id>("customer_id", "The customer's id.")
            .property<&RFMScore::recency>(
                "recency",
                "Recency weight of the latest purchase, 1.0 for today and falling with its age (the decay function).")
            .property<&RFMScore::frequency>("frequency", "Number of purchases whose timestamp was read.")
            .property<&RFMScore::monetary>("monetary", "Sum of the amounts of those purchases.")
            .property<&RFMScore::recency_score>(
                "recency_score",
                "Rank score on recency: 5 (quintile), 10 (decile) or 100 (percentile) for the most recent.")
            .property<&RFMScore::frequency_score>(
                "frequency_score", "Rank score on frequency, highest for the most frequent.")
            .property<&RFMScore::monetary_score>(
                "monetary_score", "Rank score on monetary value, highest for the biggest spender.")
            .property<&score_segment>(
                "rfm_segment",
                "Segment name: a score above 3 is high, and the three highs name it (all high: \"Champions\").")
            .property<&score_rank>(
                "rfm_rank", "The three scores written one after another, recency first (5, 4, 5 give \"545\").")
            .repr<&score_repr>()
            .pickle<RFMScoreState>()
            .build();
    });
}

constexpr const char* kDecayFunctionDoc =
    "How the days since a customer's latest purchase become the recency weight.\n"
    "\n"
    "Made by the static methods linear(), exponential() and inverse(); pass one to\n"
    "PyRFMConfig(decay_function=...).\n"
    "\n"
    ">>> PyDecayFunction.exponential()\n"
    "DecayFunction(exponential)";

PyTypeObject* decay_function_type() {
    return type_once<DecayFunction>([] {
        return ClassDef<DecayFunction>("PyDecayFunction", kDecayFunctionDoc)
            .method<DecayLinear>()
            .method<DecayExponential>()
            .method<DecayInverse>()
            .repr<&decay_repr>()
            .pickle<EnumState<DecayFunction, 3>>()
            .build();
    });
}

constexpr const char* kScoringMethodDoc =
    "The range of the rank scores: quintile() 1 to 5, decile() 1 to 10, percentile()\n"
    "1 to 100. Pass one to PyRFMConfig(scoring_method=...).\n"
    "\n"
    ">>> PyRFMConfig(scoring_method=PyScoringMethod.decile()).decay_half_life_days\n"
    "30";

PyTypeObject* scoring_method_type() {
    return type_once<ScoringMethod>([] {
        return ClassDef<ScoringMethod>("PyScoringMethod", kScoringMethodDoc)
            .method<ScoringQuintile>()
            .method<ScoringDecile>()
            .method<ScoringPercentile>()
            .pickle<EnumState<ScoringMethod, 3>>()
            .build();
    });
}

constexpr const char* kSegmentTypeDoc =
    "A named RFM segment type, made by its static method (champions(), vip(), ...).\n"
    "\n"
    "as_str() gives its display name; PySegmentProfile(segment_type) its description.\n"
    "\n"
    ">>> PySegmentType.cannot_lose().as_str()\n"
    "'Cannot Lose Them'";

PyTypeObject* segment_type_type() {
    return type_once<SegmentType>([] {
        return ClassDef<SegmentType>("PySegmentType", kSegmentTypeDoc)
            .method<SegmentChampions>()
            .method<SegmentLoyalCustomers>()
            .method<SegmentPotentialLoyalists>()
            .method<SegmentAtRisk>()
            .method<SegmentCannotLose>()
            .method<SegmentVip>()
            .method<SegmentNewCustomers>()
            .method<SegmentNeedAttention>()
            .method<SegmentAsStr>()
            .repr<&segment_type_repr>()
            .pickle<EnumState<SegmentType, static_cast<std::uint32_t>(engine::kSegmentTypeCount)>>()
            .build();
    });
}

constexpr const char* kSegmentProfileDoc =
    "A segment type with its display name, description and (empty) statistics.\n"
    "\n"
    "segment_type: a PySegmentType (TypeError otherwise).\n"
    "\n"
    ">>> p = PySegmentProfile(PySegmentType.vip())\n"
    ">>> p.description, p\n"
    "('Premium customers with exceptional value metrics', SegmentProfile(type=VIP, size=0, avg_monetary=0.00))";

PyTypeObject* segment_profile_type() {
    return type_once<SegmentProfile>([] {
        return ClassDef<SegmentProfile>("PySegmentProfile", kSegmentProfileDoc)
            .constructor<SegmentProfileNew>()
            .property<&profile_type>("segment_type", "The segment type's display name.")
            .property<&profile_description>("description", "The segment type's one-line description.")
            .property<&SegmentProfile::size>("size", "Number of customers (0: a new profile carries no statistics).")
            .property<&SegmentProfile::avg_recency>("avg_recency", "Average recency (0.0 in a new profile).")
            .property<&SegmentProfile::avg_frequency>("avg_frequency", "Average frequency (0.0 in a new profile).")
            .property<&SegmentProfile::avg_monetary>("avg_monetary", "Average monetary value (0.0 in a new profile).")
            .property<&SegmentProfile::revenue_contribution>(
                "revenue_contribution", "Share of revenue (0.0 in a new profile).")
            .property<&SegmentProfile::churn_risk>("churn_risk", "Churn risk (0.0 in a new profile).")
            .repr<&profile_repr>()
            .pickle<SegmentProfileState>()
            .build();
    });
}

PyMethodDef* calculate_rfm_py_def() { return function_def<CalculateRfmPy>(); }
PyMethodDef* rfm_partition_values_def() { return function_def<RfmPartitionValues>(); }
PyMethodDef* score_rfm_values_def() { return function_def<ScoreRfmValues>(); }

}  // namespace segmora::py
