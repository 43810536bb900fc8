// kmeans_py, PyKMeansResult and PyAudienceSegmenter.
#include <optional>

#include "engine/clustering.hpp"
#include "engine/kprototypes.hpp"
#include "python/bindings.hpp"
#include "python/convert.hpp"
#include "python/toolkit/classdef.hpp"
#include "python/toolkit/format.hpp"
#include "python/toolkit/unlocked.hpp"

namespace segmora::py {

namespace {

using engine::KMeansResult;
using engine::Matrix;

constexpr std::uint64_t kDefaultMaxIter = 300;
constexpr std::uint64_t kDefaultSeed = 42;
constexpr std::int32_t kDefaultJobs = -1;

// ---- kmeans_py ----

struct KMeansPy {
    static constexpr const char* signature = "kmeans_py(data, n_clusters, max_iter=None, random_state=None, n_jobs=None)";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) { return wrap(run(a)); }

    // Converts kmeans_py's arguments in signature order, then fits.
    static KMeansResult run(Args& a) {
        RowsArgument input(a, "data");
        const auto n_clusters = a.get<std::uint64_t>("n_clusters");
        const auto max_iter = a.get_or<std::uint64_t>("max_iter", kDefaultMaxIter);
        const auto random_state = a.get_or<std::uint64_t>("random_state", kDefaultSeed);
        const auto n_jobs = a.get_or<std::int32_t>("n_jobs", kDefaultJobs);
        const engine::MatrixRef data = input.matrix();
        return unlocked(data.size(), [&] { return engine::kmeans(data, n_clusters, max_iter, random_state, n_jobs); });
    }
};

// ---- _kmeans_arrays (the estimators' fast route) ----

// kmeans_py with the estimator's options, and the labels (int64) and the
// row-major centers (float64) as bytearrays, which NumPy wraps without a
// per-element conversion: (labels, centers, n_clusters, n_features, inertia, n_iter).
struct KMeansArrays {
    static constexpr const char* signature =
        "_kmeans_arrays(data, n_clusters, max_iter=None, random_state=None, n_jobs=None, sample_weight=None, "
        "n_init=None, init=None)";
    static constexpr const char* doc =
        "kmeans_py with the KMeans estimator's options: one weight per row (whole weights fit\n"
        "exactly as repeated rows), n_init fits from successive seedings of one generator (the\n"
        "first of least inertia is kept), or starting centers `init` (k rows of the data's width,\n"
        "one fit). Returns (labels, centers, n_clusters, n_features, inertia, n_iter) with labels\n"
        "and centers as raw int64 / float64 bytes. Raises RuntimeError as kmeans_py does, and\n"
        "for a bad weight, n_init = 0 or centers of another shape.\n"
        "\n"
        ">>> r = _kmeans_arrays([[0.0], [1.0], [10.0]], 2, sample_weight=[1.0, 3.0, 1.0])\n"
        ">>> r[4]\n"
        "0.75";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        RowsArgument input(a, "data");
        const auto n_clusters = a.get<std::uint64_t>("n_clusters");
        const auto max_iter = a.get_or<std::uint64_t>("max_iter", kDefaultMaxIter);
        const auto random_state = a.get_or<std::uint64_t>("random_state", kDefaultSeed);
        const auto n_jobs = a.get_or<std::int32_t>("n_jobs", kDefaultJobs);
        const auto weights = a.get_or<std::optional<std::vector<double>>>("sample_weight", std::nullopt);
        engine::KMeansOptions options;
        options.n_init = a.get_or<std::uint64_t>("n_init", 1);
        std::optional<RowsInput> init_rows = a.get_or<std::optional<RowsInput>>("init", std::nullopt);
        const engine::MatrixRef data = input.matrix();
        std::optional<Matrix> init;
        if (init_rows) init = to_matrix(std::move(*init_rows));
        options.weights = weights ? &*weights : nullptr;
        options.init = init ? &*init : nullptr;
        const KMeansResult r =
            unlocked(data.size(), [&] { return engine::kmeans(data, n_clusters, max_iter, random_state, n_jobs, options); });
        static_assert(sizeof(std::uint64_t) == sizeof(std::int64_t));
        return py::make_tuple(byte_array(r.labels.data(), r.labels.size() * sizeof(std::uint64_t)),
                              byte_array(r.centers.values().data(), r.centers.values().size() * sizeof(double)),
                              r.centers.rows(), r.centers.cols(), r.inertia, r.n_iter);
    }
};

// Nearest centers and inertia of rows, for the estimators: (labels as int64
// bytes, inertia).
struct AssignArrays {
    static constexpr const char* signature = "_assign_arrays(data, centers)";
    static constexpr const char* doc =
        "Nearest-center labels of the rows of `data` (squared Euclidean distance, ties to the\n"
        "lower index) as raw int64 bytes, with the sum of the rows' squared distances to those\n"
        "centers in row order: (labels, inertia). Raises RuntimeError when there are no centers\n"
        "or the widths differ.\n"
        "\n"
        ">>> _assign_arrays([[0.0], [4.0]], [[1.0], [5.0]])[1]\n"
        "2.0";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        PyObject* data = a.raw("data");
        RowsInput center_rows = a.get<RowsInput>("centers");
        const Matrix centers = to_matrix(std::move(center_rows));
        engine::Assignment r;
        if (const auto held = HeldRows::hold(data)) {
            const engine::MatrixView view = held->view();
            r = unlocked(view.rows * view.cols, [&] { return engine::assign_with_inertia(view, centers); });
        } else {
            const Matrix rows = to_array2(data, "data");
            r = unlocked(rows.size(), [&] { return engine::assign_with_inertia(rows, centers); });
        }
        return py::make_tuple(byte_array(r.labels.data(), r.labels.size() * sizeof(std::uint64_t)), r.inertia);
    }
};

// ---- Lloyd steps over chunks ----

struct KMeansChunkStep {
    static constexpr const char* signature = "kmeans_chunk_step(data, centers, previous_labels=None)";
    static constexpr const char* doc =
        "One Lloyd step over a chunk of rows, for k-means over partitioned data.\n"
        "\n"
        "Each row is labelled with its nearest center (squared Euclidean distance, ties to\n"
        "the lower index). Returns (sums, counts, inertia, changed, farthest_distance,\n"
        "farthest_row, labels): per-center sums of the chunk's rows and their counts, the\n"
        "rows' squared distances to their centers summed in row order, whether a label\n"
        "differs from previous_labels (True without them), the largest such distance and\n"
        "its row (None for an empty chunk), and the labels. The sums and counts of every\n"
        "chunk added in chunk order and divided give the next centers, exactly as\n"
        "kmeans_py's update over all the rows.\n"
        "\n"
        "data: rows of floats (lists or a 2-D array); centers: k rows of the same width;\n"
        "previous_labels: the chunk's labels from the step before, or None.\n"
        "Raises RuntimeError when there are no centers or the widths differ.\n"
        "\n"
        ">>> kmeans_chunk_step([[0.0], [1.0], [10.0]], [[0.0], [10.0]])\n"
        "([[1.0], [10.0]], [2, 1], 1.0, True, 1.0, [1.0], [0, 0, 1])";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        RowsInput rows = a.get<RowsInput>("data");
        RowsInput center_rows = a.get<RowsInput>("centers");
        const auto previous = a.get_or<std::optional<std::vector<std::uint64_t>>>("previous_labels", std::nullopt);
        const Matrix data = to_matrix(std::move(rows));
        const Matrix centers = to_matrix(std::move(center_rows));
        engine::LloydChunkStep step =
            unlocked(data.size(), [&] { return engine::lloyd_chunk_step(data, centers, previous ? &*previous : nullptr); });
        Ref farthest = none();
        if (data.rows() > 0) {
            const double* row = data.data() + step.farthest * data.cols();
            farthest = to_py(std::vector<double>(row, row + data.cols()));
        }
        return py::make_tuple(to_py(step.sums), step.counts, step.inertia, step.changed, step.farthest_distance, farthest,
                          step.labels);
    }
};

struct KMeansChunkInertia {
    static constexpr const char* signature = "kmeans_chunk_inertia(data, centers, labels)";
    static constexpr const char* doc =
        "Sum of squared distances of a chunk's rows to their labelled centers, in row order.\n"
        "\n"
        "data: rows of floats; centers: k rows of the same width; labels: one center index per\n"
        "row (a list, NumPy array or pandas Series). Raises RuntimeError for a label without a\n"
        "center or another width.\n"
        "\n"
        ">>> kmeans_chunk_inertia([[0.0], [1.0], [10.0]], [[0.5], [10.0]], [0, 0, 1])\n"
        "0.5";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        RowsInput rows = a.get<RowsInput>("data");
        RowsInput center_rows = a.get<RowsInput>("centers");
        const auto labels = a.get<std::vector<std::uint64_t>>("labels");
        const Matrix data = to_matrix(std::move(rows));
        const Matrix centers = to_matrix(std::move(center_rows));
        return to_py(unlocked(data.size(), [&] { return engine::labelled_inertia(data, centers, labels); }));
    }
};

// ---- PyAudienceSegmenter ----

enum class ClusteringMethod { KMeans = 0, KPrototypes = 1 };

struct AudienceSegmenter {
    std::string method_name = "kmeans";
    std::uint64_t n_clusters = 0;
    std::uint64_t random_state = kDefaultSeed;
    std::int32_t n_jobs = kDefaultJobs;
    ClusteringMethod method = ClusteringMethod::KMeans;
    std::optional<std::vector<std::uint64_t>> labels;  // of the last successful fit
    std::optional<Matrix> centers;
};

constexpr std::uint64_t kSegmenterMaxIter = 300;

struct SegmenterNew {
    static constexpr const char* signature = "PyAudienceSegmenter(n_clusters, n_jobs=None)";
    static constexpr Raises raises = Raises::ValueError;
    static AudienceSegmenter create(Args& a) {
        AudienceSegmenter s;
        s.n_clusters = a.get<std::uint64_t>("n_clusters");
        s.n_jobs = a.get_or<std::int32_t>("n_jobs", kDefaultJobs);
        return s;
    }
};

struct SegmenterFit {
    static constexpr const char* signature = "fit($self, data)";
    static constexpr const char* doc =
        "Fit k-means to the rows of `data` and keep the labels and centers for predict().\n"
        "\n"
        "k-means++ seeding from the fixed seed 42, then at most 300 Lloyd iterations on\n"
        "n_jobs workers (the result does not depend on n_jobs). A later fit replaces the\n"
        "earlier one; a failed fit keeps it.\n"
        "\n"
        "data: rows of floats (a list of lists, or a 2-D NumPy array or DataFrame of numbers).\n"
        "Raises RuntimeError for n_clusters 0, no rows, or more clusters than rows, and\n"
        "ValueError (\"ShapeError/...\") for rows that do not make a matrix.\n"
        "\n"
        ">>> seg = PyAudienceSegmenter(2)\n"
        ">>> seg.fit([[0.0], [0.5], [9.0], [10.0]])\n"
        ">>> seg.predict([[1.0], [8.0]])\n"
        "[1, 0]";
    static constexpr Raises raises = Raises::RuntimeError;
    static constexpr Access access = Access::Exclusive;
    static Ref call(AudienceSegmenter& self, Args& a) {
        const Matrix data = to_matrix(a.get<RowsInput>("data"));
        // The instance stays borrowed while the lock is away: no other thread
        // reads or changes it meanwhile.
        switch (self.method) {
            case ClusteringMethod::KMeans: {
                KMeansResult result = unlocked(data.size(), [&] {
                    return engine::kmeans(data, self.n_clusters, kSegmenterMaxIter, self.random_state, self.n_jobs);
                });
                // Stored only on success: a failed fit keeps the previous one.
                self.labels = std::move(result.labels);
                self.centers = std::move(result.centers);
                break;
            }
            case ClusteringMethod::KPrototypes: {
                // The whole matrix as numeric features, no categorical ones;
                // centers are the label means (zeros for an empty cluster).
                auto [labels, centers] = unlocked(data.size(), [&] {
                    std::vector<std::uint64_t> l = engine::kprototypes(data, nullptr, self.n_clusters, kSegmenterMaxIter,
                                                                       self.random_state, self.n_jobs);
                    Matrix c = engine::centers_from_labels(data, l, self.n_clusters);
                    return std::pair(std::move(l), std::move(c));
                });
                self.labels = std::move(labels);
                self.centers = std::move(centers);
                break;
            }
        }
        return none();
    }
};

struct SegmenterPredict {
    static constexpr const char* signature = "predict($self, data)";
    static constexpr const char* doc =
        "The nearest fitted center of every row of `data` (squared Euclidean distance,\n"
        "ties to the lower index), as a list of cluster indices. The fit is not changed.\n"
        "\n"
        "Raises RuntimeError \"Clustering error: predict() called before fit() ...\" before a\n"
        "successful fit, and \"Data validation error: data has {} features but centers have {}\n"
        "features\" for another column count.";
    static constexpr Raises raises = Raises::RuntimeError;
    static constexpr Access access = Access::Shared;
    static Ref call(const AudienceSegmenter& self, Args& a) {
        const Matrix data = to_matrix(a.get<RowsInput>("data"));
        if (!self.centers)
            throw SegmoraError::clustering("predict() called before fit() \u2014 no cluster centers available");
        return to_py(unlocked(data.size(), [&] { return engine::assign_to_clusters(data, *self.centers); }));
    }
};

struct SegmenterGetNClusters {
    static constexpr const char* signature = "get_n_clusters($self)";
    static constexpr const char* doc =
        "The number of clusters given to the constructor.";
    static constexpr Raises raises = Raises::RuntimeError;
    static constexpr Access access = Access::Shared;
    static Ref call(const AudienceSegmenter& self, Args&) { return to_py(self.n_clusters); }
};

std::string segmenter_repr(const AudienceSegmenter& s) {
    return format("AudienceSegmenter(n_clusters={}, method={})", s.n_clusters, s.method_name);
}

// ---- pickling ----

Matrix state_matrix(PyObject* rows) {
    try {
        return to_array2(rows, "state");
    } catch (const PyErrorAlreadySet&) {
        PyErr_Clear();
        throw StateError{"the centers are not a matrix"};
    }
}

void check_labels(const std::vector<std::uint64_t>& labels, std::size_t k) {
    for (const std::uint64_t label : labels)
        if (label >= k) throw StateError{format("label {} is not below the {} centers", label, k)};
}

struct KMeansResultState {
    static constexpr std::uint32_t version = 1;
    static Ref save(const KMeansResult& r) { return py::make_tuple(r.labels, to_py(r.centers), r.inertia, r.n_iter); }
    static KMeansResult load(PyObject* state) {
        StateReader r(state, 4);
        KMeansResult out;
        out.labels = r.next<std::vector<std::uint64_t>>();
        out.centers = state_matrix(r.next_object());
        check_labels(out.labels, out.centers.rows());
        out.inertia = r.next<double>();
        out.n_iter = r.next<std::uint64_t>();
        return out;
    }
};

struct SegmenterState {
    static constexpr std::uint32_t version = 1;
    static Ref save(const AudienceSegmenter& s) {
        return py::make_tuple(s.n_clusters, s.n_jobs, s.random_state, s.labels ? to_py(*s.labels) : none(),
                          s.centers ? to_py(*s.centers) : none());
    }
    static AudienceSegmenter load(PyObject* state) {
        StateReader r(state, 5);
        AudienceSegmenter s;
        s.n_clusters = r.next<std::uint64_t>();
        s.n_jobs = r.next<std::int32_t>();
        s.random_state = r.next<std::uint64_t>();
        PyObject* labels = r.next_object();
        PyObject* centers = r.next_object();
        if ((labels == Py_None) != (centers == Py_None)) throw StateError{"labels and centers must come together"};
        if (labels != Py_None) {
            s.labels = StateReader::as<std::vector<std::uint64_t>>(labels, 3);
            s.centers = state_matrix(centers);
            if (s.centers->rows() != s.n_clusters) throw StateError{"the centers do not match n_clusters"};
            check_labels(*s.labels, s.centers->rows());
        }
        return s;
    }
};

}  // namespace

constexpr const char* kKMeansResultDoc =
    "A k-means fit as kmeans_py returns it: labels, centers, inertia and n_iter.\n"
    "\n"
    "Made only by kmeans_py; the attributes are read-only and return new copies.\n"
    "\n"
    ">>> r = kmeans_py([[0.0], [1.0], [10.0]], 2)\n"
    ">>> r.labels, r.centers, r.inertia, r.n_iter\n"
    "([0, 0, 1], [[0.5], [10.0]], 0.5, 2)";

PyTypeObject* kmeans_result_type() {
    return type_once<KMeansResult>([] {
        return ClassDef<KMeansResult>("PyKMeansResult", kKMeansResultDoc)
            .property<&KMeansResult::labels>(
                "labels", "Cluster index (0 to k - 1) of every row, in row order (a new list on every read).")
            .property<&KMeansResult::inertia>(
                "inertia", "Sum over the rows of the squared Euclidean distance to the center of the row's cluster.")
            .property<&KMeansResult::n_iter>(
                "n_iter", "Lloyd iterations run: fewer than max_iter when the labels stopped changing.")
            .property<&KMeansResult::centers>(
                "centers", "The k cluster centers, one list of d floats each (a new copy on every read).")
            .pickle<KMeansResultState>()
            .build();
    });
}

PyTypeObject* audience_segmenter_type() {
    return type_once<AudienceSegmenter>([] {
        return ClassDef<AudienceSegmenter>("PyAudienceSegmenter")
            .constructor<SegmenterNew>()
            .method<SegmenterFit>()
            .method<SegmenterPredict>()
            .method<SegmenterGetNClusters>()
            .property<&AudienceSegmenter::n_jobs>(
                "n_jobs", "Worker threads of fit (-1 when constructed with None: one per CPU).")
            .repr<&segmenter_repr>()
            .pickle<SegmenterState>()
            .build();
    });
}

PyMethodDef* kmeans_py_def() { return function_def<KMeansPy>(); }
PyMethodDef* kmeans_arrays_def() { return function_def<KMeansArrays>(); }
PyMethodDef* assign_arrays_def() { return function_def<AssignArrays>(); }
PyMethodDef* kmeans_chunk_step_def() { return function_def<KMeansChunkStep>(); }
PyMethodDef* kmeans_chunk_inertia_def() { return function_def<KMeansChunkInertia>(); }

}  // namespace segmora::py
