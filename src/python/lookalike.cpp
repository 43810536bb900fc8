// PySeedCustomer, PyLookalikeCandidate, PyLookalikeAudience, generate_lookalike,
// find_similar_customers and cosine_similarity; seed_customers builds many
// PySeedCustomer at once from records; lookalike_audience returns the members
// of an audience as columns, from customers or from (ids, features) pairs.
#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/lookalike.hpp"
#include "python/bindings.hpp"
#include "python/transactions.hpp"
#include "python/convert.hpp"
#include "python/lowercase.hpp"
#include "python/toolkit/classdef.hpp"
#include "python/toolkit/format.hpp"
#include "python/toolkit/unlocked.hpp"

namespace segmora::py {

namespace {

using engine::CategoricalFeatures;
using engine::LookalikeAudience;
using engine::LookalikeCandidate;
using engine::LookalikeGenerator;
using engine::SeedCustomer;
using engine::SimilarityMetric;

// A sequence of PySeedCustomer read in place: the class has no mutating method,
// so an instance cannot change while the call holds it. Items of an exact list
// stay alive through the list as long as no Python code runs; `unheld` is such
// a list, and hold_all() takes references to its items before anything that
// could run Python code (an argument of a non-builtin type) is converted.
struct CustomerList {
    std::vector<Ref> held;
    std::vector<const SeedCustomer*> refs;
    PyObject* unheld = nullptr;

    void hold_all() {
        if (!unheld) return;
        held.reserve(refs.size());
        for (std::size_t i = 0; i < refs.size(); ++i)
            held.push_back(Ref::borrow(PyList_GetItem(unheld, static_cast<Py_ssize_t>(i))));
        unheld = nullptr;
    }

    // The feature values scoring reads (one more per customer).
    std::size_t values() const noexcept {
        std::size_t n = 0;
        for (const SeedCustomer* c : refs) n += c->features.size() + 1;
        return n;
    }

    // Held for a computation without the lock when it is worth one (another
    // thread may change the list meanwhile); returns the size it decided on.
    std::size_t hold_for_unlocked() {
        const std::size_t n = values();
        if (n >= kUnlockedMinimum) hold_all();
        return n;
    }
};

// Whether converting this argument runs no Python code (absent, None, exact int, float or str).
bool plain(PyObject* obj) noexcept {
    return !obj || obj == Py_None || PyLong_CheckExact(obj) || PyFloat_CheckExact(obj) || PyUnicode_CheckExact(obj);
}

// A dict of str -> str.
struct CategoricalArg {
    CategoricalFeatures values;
};

}  // namespace

template <>
struct From<CustomerList> {
    static CustomerList convert(PyObject* obj, const char* arg) {
        CustomerList out;
        if (PyList_CheckExact(obj)) {
            const Py_ssize_t n = PyList_Size(obj);
            out.refs.reserve(static_cast<std::size_t>(n));
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyObject* item = PyList_GetItem(obj, i);
                out.refs.push_back(at_position(arg, "item", static_cast<std::size_t>(i), [&] { return customer(item, arg); }));
            }
            out.unheld = obj;
            return out;
        }
        SequenceItems items(obj, arg);
        out.refs.reserve(items.size());
        out.held.reserve(items.size());
        for (std::size_t i = 0; i < items.size(); ++i) {
            out.refs.push_back(at_position(arg, "item", i, [&] { return customer(items[i], arg); }));
            out.held.push_back(Ref::borrow(items[i]));
        }
        return out;
    }

private:
    static const SeedCustomer* customer(PyObject* item, const char* arg) {
        if (!PyObject_TypeCheck(item, class_type<SeedCustomer>))
            raise_argument(PyExc_TypeError, arg,
                           format("'{}' object cannot be converted to 'PySeedCustomer'", type_name(item)));
        return &instance_of<SeedCustomer>(item)->value;
    }
};

template <>
struct From<CategoricalArg> {
    static CategoricalArg convert(PyObject* obj, const char* arg) {
        CategoricalArg out;
        if (PyDict_Check(obj)) out.values.reserve(static_cast<std::size_t>(PyDict_Size(obj)));
        convert_dict<std::string, std::string>(obj, arg, [&](std::string key, std::string value) {
            out.values.insert_or_assign(std::move(key), std::move(value));
        });
        return out;
    }
};

namespace {

SimilarityMetric metric_argument(Args& a) {
    PyObject* raw = a.raw("metric");
    if (!raw) return SimilarityMetric::Cosine;
    (void)a.get<std::string>("metric");  // type check: a str
    const std::string text = lowered(raw, "metric");
    const auto metric = engine::parse_similarity_metric(text);
    if (!metric)
        raise(PyExc_ValueError,
              format("Unknown similarity metric '{}'. Expected one of: cosine, euclidean, manhattan, jaccard", text));
    return *metric;
}

// ---- PySeedCustomer ----

// The constructor's arguments in signature order, nullptr where omitted.
using SeedCustomerFields = std::array<PyObject*, 5>;

struct SeedCustomerNew {
    static constexpr const char* signature =
        "PySeedCustomer(customer_id, features, ltv=0.0, cohort='', categorical_features=None)";
    static constexpr Raises raises = Raises::ValueError;
    static SeedCustomer create(Args& a) {
        return from_fields({a.raw("customer_id"), a.raw("features"), a.raw("ltv"), a.raw("cohort"),
                            a.raw("categorical_features")});
    }
    // Converts in signature order, naming the argument in each error; the two
    // required fields must be present.
    static SeedCustomer from_fields(const SeedCustomerFields& f) {
        SeedCustomer c;
        c.customer_id = From<std::string>::convert(f[0], "customer_id");
        c.features = From<std::vector<double>>::convert(f[1], "features");
        if (f[2]) c.ltv = From<double>::convert(f[2], "ltv");
        if (f[3]) c.cohort = From<std::string>::convert(f[3], "cohort");
        if (f[4] && f[4] != Py_None)
            c.categorical_features = From<CategoricalArg>::convert(f[4], "categorical_features").values;
        return c;
    }
};

// ---- seed_customers ----

// A record's items are the constructor's positional arguments: the same
// conversions build the same customer and fail with the same exception class;
// the message names the record.
struct SeedCustomers {
    static constexpr const char* signature = "seed_customers(records)";
    static constexpr const char* doc =
        "Build many seed or candidate customers at once: one PySeedCustomer per\n"
        "record, in order (records: a sequence or any iterable). Each record is a tuple or list\n"
        "(customer_id, features[, ltv[, cohort[, categorical_features]]]) read\n"
        "exactly like PySeedCustomer's positional arguments (features may be a NumPy\n"
        "array or pandas Series, ltv a NumPy number).\n"
        "\n"
        "Returns a list of PySeedCustomer. A record that is no tuple or list, or whose items\n"
        "PySeedCustomer refuses, raises the constructor's exception class with a message that\n"
        "names the record (\"argument 'records': item 1: ...\").\n"
        "\n"
        ">>> people = seed_customers([(\"a\", [1.0, 2.0]), (\"b\", [0.5, 0.0], 120.0, \"2024-01\")])\n"
        ">>> [p.customer_id for p in people]\n"
        "['a', 'b']";
    static constexpr Raises raises = Raises::ValueError;

    static Ref call(Args& a) {
        // Iterators and other iterables that are no sequence (zip, map,
        // DataFrame.itertuples()) are read into a list first.
        PyObject* raw = a.raw("records");
        Ref listed;
        if (!PySequence_Check(raw) && PyObject_HasAttrString(raw, "__iter__")) {
            listed = Ref::adopt(PySequence_List(raw));
            if (!listed) reraise_for_argument("records");
            raw = listed.get();
        }
        SequenceItems records(raw, "records");
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
        for (std::size_t i = 0; i < records.size(); ++i) {
            if (i % 4096 == 0) poll_interrupt();
            try {
                PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), build(records[i]).release());
            } catch (const PyErrorAlreadySet&) {
                reraise_with_prefix(format("argument 'records': item {}: ", i));
            }
        }
        return list;
    }

private:
    static Ref build(PyObject* record) {
        const bool tuple = PyTuple_Check(record);
        if (!tuple && !PyList_Check(record))
            raise(PyExc_TypeError, format("'{}' object is not a tuple or list", type_name(record)));
        const Py_ssize_t n = tuple ? PyTuple_Size(record) : PyList_Size(record);
        // A tuple keeps its items alive; a list's items are held, as converting
        // one of them may run code that changes the list.
        SeedCustomerFields fields{};
        std::array<Ref, std::tuple_size_v<SeedCustomerFields>> held;
        const auto size = static_cast<Py_ssize_t>(fields.size());
        for (Py_ssize_t j = 0; j < n && j < size; ++j) {
            const auto k = static_cast<std::size_t>(j);
            fields[k] = tuple ? PyTuple_GetItem(record, j) : PyList_GetItem(record, j);
            if (!tuple) held[k] = Ref::borrow(fields[k]);
        }
        if (n < 2 || n > size) {
            // The constructor's parser raises its argument-count error.
            Args parsed(*detail::constructor_signature<SeedCustomer, SeedCustomerNew>, fields.data(), n, nullptr);
            return wrap(SeedCustomerNew::create(parsed));
        }
        return wrap_built<SeedCustomer>(class_type<SeedCustomer>, [&] { return SeedCustomerNew::from_fields(fields); });
    }
};

// ---- PyLookalikeAudience ----

std::string audience_repr(const LookalikeAudience& a) {
    return format("LookalikeAudience(name={}, seeds={}, lookalikes={}, avg_similarity={})", a.audience_name,
                  a.seed_count, a.lookalike_count, Fixed{a.avg_similarity, 4});
}

// ---- functions ----

// ValueError unless the threshold is a finite number >= 0 (above 1 the cutoff
// is the best similarity, as at 1).
void require_threshold(double threshold) {
    if (!(std::isfinite(threshold) && threshold >= 0.0))
        raise(PyExc_ValueError, format("percentile_threshold must be a finite number >= 0, got {}", threshold));
}

// ValueError naming the first candidate whose feature vector differs in
// length from `expected` (the vector metrics compare element by element).
void require_lengths(const std::vector<const SeedCustomer*>& candidates, std::size_t expected, const char* arg,
                     const char* against) {
    for (std::size_t i = 0; i < candidates.size(); ++i)
        if (candidates[i]->features.size() != expected)
            raise(PyExc_ValueError, format("{}[{}] (customer_id '{}') has {} features but {} {}", arg, i,
                                           candidates[i]->customer_id, candidates[i]->features.size(), against, expected));
}

struct GenerateLookalike {
    static constexpr const char* signature =
        "generate_lookalike(seed_customers, candidate_customers, metric='cosine', percentile_threshold=0.9, "
        "max_lookalikes=None)";
    static constexpr const char* doc =
        "Build a lookalike audience: score every candidate against the average\n"
        "feature profile of the seed customers, keep the top `percentile_threshold`\n"
        "fraction (e.g. 0.9 = top 10%), capped at `max_lookalikes`.";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        auto seeds = a.get<CustomerList>("seed_customers");
        if (!PyList_CheckExact(a.raw("candidate_customers"))) seeds.hold_all();
        auto candidates = a.get<CustomerList>("candidate_customers");
        if (!plain(a.raw("metric")) || !plain(a.raw("percentile_threshold")) || !plain(a.raw("max_lookalikes"))) {
            seeds.hold_all();
            candidates.hold_all();
        }
        PyObject* metric_obj = a.raw("metric");
        if (metric_obj) (void)a.get<std::string>("metric");
        const double threshold = a.get_given_or<double>("percentile_threshold", 0.9);
        const auto cap = a.get_or<std::optional<std::uint64_t>>("max_lookalikes", std::nullopt);
        const SimilarityMetric metric = metric_argument(a);
        require_threshold(threshold);
        if (metric != SimilarityMetric::Jaccard && !seeds.refs.empty())
            require_lengths(candidates.refs, seeds.refs.front()->features.size(), "candidate_customers", "the seeds have");
        const std::size_t size = seeds.hold_for_unlocked() + candidates.hold_for_unlocked();
        return wrap(unlocked(size, [&] {
            return LookalikeGenerator::generate_lookalike(seeds.refs, candidates.refs, metric, threshold, cap);
        }));
    }
};

struct FindSimilarCustomers {
    static constexpr const char* signature = "find_similar_customers(seed, candidates, n, metric='cosine')";
    static constexpr const char* doc = "Find the top `n` candidates most similar to a single seed customer.";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        const auto seed = a.get<Borrowed<SeedCustomer>>("seed");
        auto candidates = a.get<CustomerList>("candidates");
        if (!plain(a.raw("n")) || !plain(a.raw("metric"))) candidates.hold_all();
        const auto n = a.get<std::uint64_t>("n");
        const SimilarityMetric metric = metric_argument(a);
        if (metric != SimilarityMetric::Jaccard)
            require_lengths(candidates.refs, seed->features.size(), "candidates", "the seed has");
        const engine::SeedCustomer& one = *seed;
        std::vector<LookalikeCandidate> found = unlocked(candidates.hold_for_unlocked(), [&] {
            return LookalikeGenerator::find_similar_customers(one, candidates.refs, n, metric);
        });
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(found.size())));
        for (std::size_t i = 0; i < found.size(); ++i)
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), wrap(std::move(found[i])).release());
        return list;
    }
};

// Seeds or candidates of lookalike_audience: PySeedCustomer objects, or an
// (ids, features) pair whose features are read as a matrix (in place when
// they are a C-contiguous float64 array) and whose ids are only taken at the
// selected rows.
struct AudienceSide {
    std::optional<CustomerList> customers;
    Ref ids;
    std::unique_ptr<MatrixArgument> features;

    engine::Customers view() const {
        if (customers) return engine::CustomerRefs(customers->refs);
        return engine::FeatureRows{features->data(), features->rows(), features->cols()};
    }
    // The values scoring reads.
    std::size_t size() const noexcept { return customers ? customers->values() : features->rows() * features->cols(); }
};

AudienceSide audience_side(PyObject* obj, const char* arg) {
    AudienceSide side;
    const bool pair = PyTuple_Check(obj) && PyTuple_Size(obj) == 2 &&
                      !PyObject_TypeCheck(PyTuple_GetItem(obj, 0), class_type<SeedCustomer>);
    if (!pair) {
        side.customers = From<CustomerList>::convert(obj, arg);
        side.customers->hold_all();
        return side;
    }
    PyObject* ids = PyTuple_GetItem(obj, 0);
    if (PyUnicode_Check(ids)) raise_argument(PyExc_TypeError, arg, "the ids must be a column of ids, not a str");
    // A list is copied (one tuple): converting later arguments may run code that changes it.
    side.ids = PyList_Check(ids) ? Ref::adopt(PyList_AsTuple(ids)) : Ref::borrow(ids);
    if (!side.ids) reraise_for_argument(arg);
    ids = side.ids.get();
    side.features = std::make_unique<MatrixArgument>(PyTuple_GetItem(obj, 1), arg);
    const Py_ssize_t n_ids = PyObject_Size(ids);
    if (n_ids < 0) reraise_for_argument(arg);
    if (static_cast<std::size_t>(n_ids) != side.features->rows())
        raise(PyExc_ValueError, format("{} has {} ids for {} rows of features", arg, n_ids, side.features->rows()));
    return side;
}

struct AudienceMembersOf {
    static constexpr const char* signature =
        "lookalike_audience(seed_customers, candidate_customers, metric='cosine', percentile_threshold=0.9, "
        "max_lookalikes=None)";
    static constexpr const char* doc =
        "The members of the audience generate_lookalike describes, as columns.\n\n"
        "seed_customers, candidate_customers: lists of PySeedCustomer, or pairs (ids, features) with one id\n"
        "per row of a 2-D feature matrix (a NumPy array of any dtype or layout, a DataFrame, a list of rows;\n"
        "a C-contiguous float64 array is read in place, and no customer object is built). Rows of features\n"
        "carry no categorical features, so under 'jaccard' they score 0.0.\n\n"
        "Returns a dict of equal-length columns: customer_id (the selected ids, taken from the id column in\n"
        "its own kind: a list, a NumPy array, the array of a pandas Series, an Arrow array, a polars Series),\n"
        "similarity (float64) and rank (int64, 1 for the best), best first with ties in candidate order as\n"
        "find_similar_customers orders them; its length and similarity statistics are generate_lookalike's\n"
        "for the same arguments. Ids and feature rows of unequal count raise ValueError.\n\n"
        ">>> import numpy as np\n"
        ">>> X = np.array([[1.0, 0.0], [0.9, 0.1], [0.0, 1.0]])\n"
        ">>> out = lookalike_audience((['s'], X[:1]), (['a', 'b', 'c'], X), percentile_threshold=0.5)\n"
        ">>> out['customer_id'], out['rank'].tolist()\n"
        "(['a', 'b'], [1, 2])";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        const AudienceSide seeds = audience_side(a.raw("seed_customers"), "seed_customers");
        const AudienceSide candidates = audience_side(a.raw("candidate_customers"), "candidate_customers");
        if (PyObject* metric = a.raw("metric")) (void)From<std::string>::convert(metric, "metric");
        const double threshold = a.get_given_or<double>("percentile_threshold", 0.9);
        const auto cap = a.get_or<std::optional<std::uint64_t>>("max_lookalikes", std::nullopt);
        const SimilarityMetric metric = metric_argument(a);
        // Customers are held by the sides, feature rows by their buffers or copies.
        const engine::Customers seed_rows = seeds.view(), candidate_rows = candidates.view();
        const engine::AudienceMembers members = unlocked(seeds.size() + candidates.size(), [&] {
            return LookalikeGenerator::lookalike_members(seed_rows, candidate_rows, metric, threshold, cap);
        });

        const OutputColumns columns;
        Ref ids;
        if (candidates.customers) {
            ids = Ref::steal(PyList_New(static_cast<Py_ssize_t>(members.candidate.size())));
            for (std::size_t i = 0; i < members.candidate.size(); ++i)
                PyList_SetItem(ids.get(), static_cast<Py_ssize_t>(i),
                               to_py(candidates.customers->refs[members.candidate[i]]->customer_id).release());
        } else {
            ids = rows_of_column(candidates.ids.get(), members.candidate, columns, "candidate_customers");  // a list for a list
        }
        const ColumnDict out;
        out.put("customer_id", std::move(ids));
        out.put("similarity", columns.floats(members.similarity));
        out.put("rank", columns.int64s(members.candidate.size(), [&](std::int64_t* rank) {
            for (std::size_t i = 0; i < members.candidate.size(); ++i) rank[i] = static_cast<std::int64_t>(i) + 1;
        }));
        return out.dict();
    }
};

struct CosineSimilarity {
    static constexpr const char* signature = "cosine_similarity(vec_a, vec_b)";
    static constexpr const char* doc = "Cosine similarity between two equal-length numeric feature vectors.";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        const auto vec_a = a.get<std::vector<double>>("vec_a");
        const auto vec_b = a.get<std::vector<double>>("vec_b");
        return to_py(engine::cosine_similarity(vec_a, vec_b));
    }
};

// ---- pickling ----

struct SeedCustomerState {
    static constexpr std::uint32_t version = 1;
    static Ref save(const SeedCustomer& c) {
        // Categorical features by key, so equal customers give equal states.
        std::vector<std::pair<std::string, std::string>> categorical(c.categorical_features.begin(),
                                                                     c.categorical_features.end());
        std::sort(categorical.begin(), categorical.end());
        return py::make_tuple(c.customer_id, c.features, c.ltv, c.cohort, categorical);
    }
    static SeedCustomer load(PyObject* state) {
        StateReader r(state, 5);
        SeedCustomer c;
        c.customer_id = r.next<std::string>();
        c.features = r.next<std::vector<double>>();
        c.ltv = r.next<double>();
        c.cohort = r.next<std::string>();
        for (auto& [key, value] : r.next<std::vector<std::pair<std::string, std::string>>>())
            if (!c.categorical_features.emplace(std::move(key), std::move(value)).second)
                throw StateError{"item 4 repeats a key"};
        return c;
    }
};

using CandidateState = FieldsState<LookalikeCandidate, &LookalikeCandidate::customer_id, &LookalikeCandidate::features,
                                   &LookalikeCandidate::similarity_score, &LookalikeCandidate::percentile>;
using AudienceState =
    FieldsState<LookalikeAudience, &LookalikeAudience::audience_name, &LookalikeAudience::seed_count,
                &LookalikeAudience::lookalike_count, &LookalikeAudience::min_similarity,
                &LookalikeAudience::max_similarity, &LookalikeAudience::avg_similarity,
                &LookalikeAudience::predicted_ltv>;

}  // namespace

constexpr const char* kSeedCustomerDoc =
    "A seed or candidate customer for lookalike audiences: an id, a numeric feature\n"
    "vector, a lifetime value, a cohort label and categorical attributes (used only by\n"
    "the \"jaccard\" metric). The values are copied in; only customer_id reads back.\n"
    "\n"
    "customer_id: str; features: floats (a list, NumPy array or pandas Series); ltv: a\n"
    "number (default 0.0); cohort: str (default \"\"); categorical_features: None or a\n"
    "dict of str to str. A wrong type is a TypeError naming the argument.\n"
    "seed_customers() builds many at once.\n"
    "\n"
    ">>> PySeedCustomer(\"s1\", [1.0, 0.0], ltv=200.0, categorical_features={\"region\": \"north\"}).customer_id\n"
    "'s1'";

PyTypeObject* seed_customer_type() {
    return type_once<SeedCustomer>([] {
        return ClassDef<SeedCustomer>("PySeedCustomer", kSeedCustomerDoc)
            .constructor<SeedCustomerNew>()
            .property<&SeedCustomer::customer_id>("customer_id", "The customer's id.")
            .pickle<SeedCustomerState>()
            .build();
    });
}

constexpr const char* kLookalikeCandidateDoc =
    "A candidate as find_similar_customers ranks it: its id, similarity and\n"
    "percentile rank. The attributes are read-only.\n"
    "\n"
    ">>> seed = PySeedCustomer(\"s1\", [1.0, 0.0])\n"
    ">>> best = find_similar_customers(seed, [PySeedCustomer(\"a\", [1.0, 0.1]), PySeedCustomer(\"b\", [0.0, 1.0])], 2)\n"
    ">>> [(c.customer_id, c.percentile) for c in best]\n"
    "[('a', 0.0), ('b', 50.0)]";

PyTypeObject* lookalike_candidate_type() {
    return type_once<LookalikeCandidate>([] {
        return ClassDef<LookalikeCandidate>("PyLookalikeCandidate", kLookalikeCandidateDoc)
            .property<&LookalikeCandidate::customer_id>("customer_id", "The candidate's id.")
            .property<&LookalikeCandidate::similarity_score>(
                "similarity_score", "Its similarity to the seed under the metric.")
            .property<&LookalikeCandidate::percentile>(
                "percentile",
                "Its rank as a percentage of the candidates: i / n * 100 at position i (0.0 for the best).")
            .pickle<CandidateState>()
            .build();
    });
}

constexpr const char* kLookalikeAudienceDoc =
    "A lookalike audience as generate_lookalike summarises it: how many seeds and\n"
    "lookalikes, their similarity range and mean, and a predicted lifetime value.\n"
    "lookalike_audience() gives the members themselves. The attributes are read-only.\n"
    "\n"
    ">>> seeds = [PySeedCustomer(\"s1\", [1.0, 0.0], ltv=200.0)]\n"
    ">>> candidates = [PySeedCustomer(\"a\", [1.0, 0.1]), PySeedCustomer(\"b\", [0.0, 1.0])]\n"
    ">>> generate_lookalike(seeds, candidates, percentile_threshold=0.5)\n"
    "LookalikeAudience(name=Lookalike (cosine), seeds=1, lookalikes=1, avg_similarity=0.9950)";

PyTypeObject* lookalike_audience_type() {
    return type_once<LookalikeAudience>([] {
        return ClassDef<LookalikeAudience>("PyLookalikeAudience", kLookalikeAudienceDoc)
            .property<&LookalikeAudience::audience_name>(
                "audience_name", "\"Lookalike (metric)\", or \"Empty\" without seeds or candidates.")
            .property<&LookalikeAudience::seed_count>("seed_count", "Number of seed customers.")
            .property<&LookalikeAudience::lookalike_count>("lookalike_count", "Number of candidates selected.")
            .property<&LookalikeAudience::min_similarity>("min_similarity", "Smallest similarity among the selected.")
            .property<&LookalikeAudience::max_similarity>("max_similarity", "Largest similarity among the selected.")
            .property<&LookalikeAudience::avg_similarity>("avg_similarity", "Mean similarity of the selected.")
            .property<&LookalikeAudience::predicted_ltv>(
                "predicted_ltv", "avg_similarity times the seeds' mean lifetime value.")
            .repr<&audience_repr>()
            .pickle<AudienceState>()
            .build();
    });
}

PyMethodDef* generate_lookalike_def() { return function_def<GenerateLookalike>(); }
PyMethodDef* find_similar_customers_def() { return function_def<FindSimilarCustomers>(); }
PyMethodDef* cosine_similarity_def() { return function_def<CosineSimilarity>(); }
PyMethodDef* seed_customers_def() { return function_def<SeedCustomers>(); }
PyMethodDef* lookalike_audience_def() { return function_def<AudienceMembersOf>(); }

}  // namespace segmora::py
