// PyMiniBatchKMeans: k-means over a stream of chunks.
#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "engine/minibatch.hpp"
#include "python/bindings.hpp"
#include "python/convert.hpp"
#include "python/toolkit/classdef.hpp"
#include "python/toolkit/format.hpp"
#include "python/toolkit/unlocked.hpp"

namespace segmora::py {

namespace {

using engine::Matrix;
using engine::MiniBatchKMeans;

constexpr std::uint64_t kDefaultSeed = 42;

constexpr const char* kClassDoc =
    "Mini-batch k-means for chunked or streaming ingestion.\n"
    "\n"
    "Unlike `kmeans_py` and `PyAudienceSegmenter.fit`, which need the whole data\n"
    "set as one in-memory matrix for repeated full passes, `partial_fit` consumes\n"
    "one chunk at a time and updates centers incrementally, bounding memory to\n"
    "O(chunk_size + n_clusters) regardless of the total data size.\n"
    "\n"
    "A chunk with a NaN or infinite value is refused before anything changes;\n"
    "`predict` labels a row with a NaN value 0.";

struct MiniBatchNew {
    static constexpr const char* signature = "PyMiniBatchKMeans(n_clusters, random_state=42)";
    static constexpr Raises raises = Raises::ValueError;
    static MiniBatchKMeans create(Args& a) {
        const auto n_clusters = a.get<std::uint64_t>("n_clusters");
        // None is not the default here: only an omitted seed is.
        const auto random_state = a.get_given_or<std::uint64_t>("random_state", kDefaultSeed);
        return MiniBatchKMeans(n_clusters, random_state);
    }
};

struct MiniBatchPartialFit {
    static constexpr const char* signature = "partial_fit($self, chunk)";
    static constexpr const char* doc =
        "Ingest one chunk of rows, updating centers in place. The first\n"
        "chunk ever passed must have at least `n_clusters` rows.";
    static constexpr Raises raises = Raises::RuntimeError;
    static constexpr Access access = Access::Exclusive;
    static Ref call(MiniBatchKMeans& self, Args& a) {
        PyObject* chunk = a.raw("chunk");
        // The model stays borrowed while the lock is away.
        if (const auto held = HeldRows::hold(chunk)) {
            const engine::MatrixView view = held->view();  // a NumPy array, read in place
            unlocked(view.rows * view.cols, [&] { self.partial_fit(view, {}); });
        } else {
            const Matrix rows = vec_to_array2(chunk, "chunk");
            unlocked(rows.size(), [&] { self.partial_fit(rows); });
        }
        return none();
    }
};

// partial_fit with the estimator's options, returning what the estimator keeps
// of the chunk: (labels as int64 bytes, centers as float64 bytes, inertia,
// centers reassigned).
struct MiniBatchPartialFitSummary {
    static constexpr const char* signature =
        "_minibatch_partial_fit(model, chunk, n_init=1, reassignment_ratio=0.0, reassign=False)";
    static constexpr const char* doc =
        "Feed one chunk to a PyMiniBatchKMeans with the MiniBatchKMeans estimator's options: n_init\n"
        "seedings tried on the seeding chunk (the least inertia on it is kept) and, when `reassign`\n"
        "is true, centers that absorbed fewer rows than reassignment_ratio times the busiest\n"
        "center's count moved onto rows of the chunk. Returns (labels, centers, inertia,\n"
        "reassigned): each row's center as it arrived (int64 bytes), the centers after the chunk\n"
        "(row-major float64 bytes), the rows' squared distances to their centers as they arrived,\n"
        "summed in row order, and how many centers moved. Raises RuntimeError as partial_fit does,\n"
        "and for n_init = 0 or a negative ratio.\n"
        "\n"
        ">>> m = PyMiniBatchKMeans(2)\n"
        ">>> _minibatch_partial_fit(m, [[0.0], [1.0], [9.0]], n_init=3)[2:]\n"
        "(1.0, 0)";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        auto model = a.get<Borrowed<MiniBatchKMeans, Access::Exclusive>>("model");
        PyObject* chunk = a.raw("chunk");
        MiniBatchKMeans::ChunkOptions options;
        options.n_init = a.get_or<std::uint64_t>("n_init", 1);
        options.reassignment_ratio = a.get_or<double>("reassignment_ratio", 0.0);
        options.reassign = a.get_or<bool>("reassign", false);
        options.summarize = true;
        MiniBatchKMeans::ChunkSummary summary;
        if (const auto held = HeldRows::hold(chunk)) {
            const engine::MatrixView view = held->view();
            summary = unlocked(view.rows * view.cols, [&] { return model->partial_fit(view, options); });
        } else {
            const Matrix rows = vec_to_array2(chunk, "chunk");
            summary = unlocked(rows.size(), [&] { return model->partial_fit(rows, options); });
        }
        static_assert(sizeof(std::uint64_t) == sizeof(std::int64_t));
        const Matrix& centers = model->centers();
        return py::make_tuple(byte_array(summary.labels.data(), summary.labels.size() * sizeof(std::uint64_t)),
                              byte_array(centers.data(), centers.size() * sizeof(double)), summary.inertia,
                              summary.reassigned);
    }
};

struct MiniBatchPredict {
    static constexpr const char* signature = "predict($self, data)";
    static constexpr const char* doc = "Assign each row of `data` to its nearest fitted center.";
    static constexpr Raises raises = Raises::RuntimeError;
    static constexpr Access access = Access::Shared;
    static Ref call(const MiniBatchKMeans& self, Args& a) {
        const Matrix data = vec_to_array2(a.raw("data"), "data");
        return to_py(unlocked(data.size(), [&] { return self.predict(data); }));
    }
};

struct MiniBatchIsInitialized {
    static constexpr const char* signature = "is_initialized($self)";
    static constexpr Raises raises = Raises::RuntimeError;
    static constexpr Access access = Access::Shared;
    static Ref call(const MiniBatchKMeans& self, Args&) { return to_py(self.initialized()); }
};

Ref minibatch_centers(const MiniBatchKMeans& self) { return to_py(self.centers()); }

std::string minibatch_repr(const MiniBatchKMeans& self) {
    return format("MiniBatchKMeans(initialized={})", self.initialized());
}

// ---- pickling ----

// The model's size, its generator's position (key words, blocks drawn, words
// used), and its centers and counts once seeded (None before): a restored
// model continues the same stream exactly.
struct MiniBatchState {
    static constexpr std::uint32_t version = 1;
    static Ref save(const MiniBatchKMeans& m) {
        const engine::ChaCha12Rng::Position p = m.generator().position();
        const std::vector<std::uint32_t> key(p.key.begin(), p.key.end());
        return py::make_tuple(m.n_clusters(), py::make_tuple(key, p.counter, p.index),
                              m.initialized() ? to_py(m.centers()) : none(),
                              m.initialized() ? to_py(m.counts()) : none());
    }
    static MiniBatchKMeans load(PyObject* state) {
        StateReader r(state, 4);
        const auto n_clusters = r.next<std::uint64_t>();
        StateReader g(r.next_object(), 3);
        engine::ChaCha12Rng::Position position;
        const auto key = g.next<std::vector<std::uint32_t>>();
        if (key.size() != position.key.size()) throw StateError{"the generator key is not 8 words"};
        std::copy(key.begin(), key.end(), position.key.begin());
        position.counter = g.next<std::uint64_t>();
        position.index = g.next<std::uint64_t>();
        const auto rng = engine::ChaCha12Rng::at(position);
        if (!rng) throw StateError{"the generator position is not reachable"};
        PyObject* centers = r.next_object();
        PyObject* counts = r.next_object();
        if ((centers == Py_None) != (counts == Py_None)) throw StateError{"centers and counts must come together"};
        std::optional<Matrix> matrix;
        std::vector<std::uint64_t> count_values;
        if (centers != Py_None) {
            try {
                matrix = to_array2(centers, "state");
            } catch (const PyErrorAlreadySet&) {
                PyErr_Clear();
                throw StateError{"the centers are not a matrix"};
            }
            count_values = StateReader::as<std::vector<std::uint64_t>>(counts, 3);
            // partial_fit refuses non-finite rows, and a count at its maximum
            // would wrap to 0 with the next row (a learning rate of 1/0)
            for (std::size_t i = 0; i < matrix->rows(); ++i)
                for (double v : matrix->row(i))
                    if (!std::isfinite(v)) throw StateError{"the centers are not all finite"};
            for (std::uint64_t c : count_values)
                if (c == std::numeric_limits<std::uint64_t>::max()) throw StateError{"a count cannot grow"};
        }
        try {
            return MiniBatchKMeans::restore(n_clusters, *rng, std::move(matrix), std::move(count_values));
        } catch (const SegmoraError& e) {
            throw StateError{e.message()};
        }
    }
};

}  // namespace

PyMethodDef* minibatch_partial_fit_def() { return function_def<MiniBatchPartialFitSummary>(); }

PyTypeObject* minibatch_kmeans_type() {
    return type_once<MiniBatchKMeans>([] {
        return ClassDef<MiniBatchKMeans>("PyMiniBatchKMeans", kClassDoc)
            .constructor<MiniBatchNew>()
            .method<MiniBatchPartialFit>()
            .method<MiniBatchPredict>()
            .method<MiniBatchIsInitialized>()
            .property<&minibatch_centers>("centers")
            .repr<&minibatch_repr>()
            .pickle<MiniBatchState>()
            .build();
    });
}

}  // namespace segmora::py
