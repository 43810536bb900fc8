// k-means over partitions fed block by block, and k-means|| seeding:
// kmeans_block_step, kmeans_block_inertia, kmeans_parallel_first,
// kmeans_parallel_round, kmeans_parallel_reduce.
//
// A partition's rows are read in place when they come as a 2-D C-contiguous,
// aligned float64 buffer (a NumPy array, a block of a Dask array, an Arrow
// buffer wrapped by NumPy); anything else a matrix argument takes is copied
// first, with the same result. What must survive between calls (running
// totals, labels, nearest-candidate distances) lives in 1-D NumPy arrays the
// caller owns and passes in; they are updated in place and must not share
// memory with the rows. The steps compute without the interpreter lock, the
// buffers held for the call.
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include "engine/clustering.hpp"
#include "python/bindings.hpp"
#include "python/convert.hpp"
#include "python/toolkit/format.hpp"
#include "python/toolkit/function.hpp"
#include "python/toolkit/unlocked.hpp"

namespace segmora::py {

namespace {

using engine::Matrix;
using engine::RowBlock;

// A buffer held until destroyed.
class HeldBuffer {
public:
    HeldBuffer() = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    // Takes `obj`'s buffer with `flags`; false (no error pending) when it has none.
    bool open(PyObject* obj, int flags) {
        if (!PyObject_CheckBuffer(obj)) return false;
        if (PyObject_GetBuffer(obj, &view_, flags) != 0) {
            PyErr_Clear();
            return false;
        }
        held_ = true;
        return true;
    }
    const Py_buffer& view() const noexcept { return view_; }
    const char* begin() const noexcept { return static_cast<const char*>(view_.buf); }
    const char* end() const noexcept { return begin() + view_.len; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

bool is_format(const Py_buffer& view, const char* const* accepted) {
    if (!view.format || view.itemsize != 8) return false;
    for (const char* const* f = accepted; *f; ++f)
        if (std::strcmp(view.format, *f) == 0) return true;
    return false;
}

constexpr const char* kFloat64[] = {"d", "<d", "=d", nullptr};
constexpr const char* kInt64[] = {"q", "<q", "=q", "l", "<l", "=l", "Q", "<Q", "=Q", "L", "<L", "=L", nullptr};

bool aligned(const void* p) { return reinterpret_cast<std::uintptr_t>(p) % alignof(double) == 0; }

// The rows of a block: read in place from a 2-D C-contiguous aligned float64
// buffer, else converted like any matrix argument.
struct BlockArg {
    HeldBuffer buffer;
    std::optional<Matrix> copy;
    RowBlock block;
    const char* begin() const { return copy ? nullptr : buffer.begin(); }
    const char* end() const { return copy ? nullptr : buffer.end(); }
};

void read_block(PyObject* obj, const char* arg, BlockArg& out) {
    if (!PyUnicode_Check(obj) && out.buffer.open(obj, PyBUF_ND | PyBUF_FORMAT)) {
        const Py_buffer& v = out.buffer.view();
        if (v.ndim == 2 && is_format(v, kFloat64) && aligned(v.buf)) {
            const auto rows = static_cast<std::size_t>(v.shape[0]);
            out.block = {static_cast<const double*>(v.buf), rows, rows == 0 ? 0 : static_cast<std::size_t>(v.shape[1])};
            return;
        }
    }
    out.copy = to_matrix(extract_rows(obj, arg));
    out.block = {out.copy->data(), out.copy->rows(), out.copy->cols()};
}

// A writable 1-D C-contiguous array of 8-byte items (float64, or int64/uint64).
template <class T>
struct OutArg {
    HeldBuffer buffer;
    std::span<T> values;
};

template <class T>
void read_out(PyObject* obj, const char* arg, const char* what, OutArg<T>& out) {
    constexpr bool floats = std::is_same_v<T, double>;
    if (out.buffer.open(obj, PyBUF_WRITABLE | PyBUF_ND | PyBUF_FORMAT)) {
        const Py_buffer& v = out.buffer.view();
        if (v.ndim == 1 && is_format(v, floats ? kFloat64 : kInt64) && aligned(v.buf)) {
            out.values = {static_cast<T*>(v.buf), static_cast<std::size_t>(v.shape[0])};
            return;
        }
    }
    raise_argument(PyExc_TypeError, arg, format("must be a writable 1-D C-contiguous {} array", what));
}

// ValueError when an output shares memory with the rows or another output.
void require_apart(const char* arg, const char* begin, const char* end,
                   std::initializer_list<std::pair<const char*, const char*>> others) {
    for (const auto& [b, e] : others)
        if (b && begin < e && b < end) raise_argument(PyExc_ValueError, arg, "shares memory with another argument");
}

template <class T>
std::pair<const char*, const char*> bytes_of(const OutArg<T>& out) {
    if (out.values.empty()) return {nullptr, nullptr};
    const char* b = reinterpret_cast<const char*>(out.values.data());
    return {b, b + out.values.size_bytes()};
}

std::optional<Matrix> optional_matrix(Args& a, const char* name) {
    PyObject* obj = a.raw(name);
    if (!obj || obj == Py_None) return std::nullopt;
    return to_array2(obj, name);
}

void require_rows(std::size_t size, std::size_t rows, const char* what) {
    if (size != rows)
        throw SegmoraError::data_validation(format("{} has {} entries but data has {} rows", what, size, rows));
}

// ---- Lloyd steps ----

struct KMeansBlockStep {
    static constexpr const char* signature = "kmeans_block_step(data, centers, totals, labels=None, previous_centers=None)";
    static constexpr const char* doc =
        "Adds one block of a partition's rows to the partition's Lloyd totals and returns whether a label changed.\n\n"
        "data: the rows (a 2-D C-contiguous float64 array is read in place). centers: k x d.\n"
        "totals: a float64 array of k*d + k + 2 + d values updated in place: the k x d sums, the k counts,\n"
        "the inertia, the farthest distance and the farthest row; fresh totals are zeros with the farthest\n"
        "distance -inf. Blocks of one partition go in row order; the partitions' totals added in partition\n"
        "order and the sums divided by the counts give the next centers.\n"
        "labels: an int64 array of one label per row holding the previous labels, overwritten with the new\n"
        "ones; without it, labels are compared with the nearest of previous_centers, else with 0.\n\n"
        "Raises RuntimeError for no centers, a width or size mismatch or a non-finite value (the totals and\n"
        "labels then hold partial results), TypeError for outputs that are not writable arrays.\n\n"
        ">>> import numpy as np\n"
        ">>> block, centers = np.array([[0.0], [1.0], [10.0], [11.0]]), np.array([[0.0], [10.0]])\n"
        ">>> totals = np.zeros(2 * 1 + 2 + 2 + 1); totals[2 * 1 + 2 + 1] = -np.inf   # k = 2, d = 1\n"
        ">>> labels = np.zeros(4, dtype=np.int64)\n"
        ">>> kmeans_block_step(block, centers, totals, labels), totals.tolist(), labels.tolist()\n"
        "(True, [1.0, 21.0, 2.0, 2.0, 2.0, 1.0, 11.0], [0, 0, 1, 1])";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        BlockArg data;
        read_block(a.raw("data"), "data", data);
        const Matrix centers = to_array2(a.raw("centers"), "centers");
        OutArg<double> totals;
        read_out(a.raw("totals"), "totals", "float64", totals);
        std::optional<OutArg<std::uint64_t>> labels;
        if (PyObject* obj = a.raw("labels"); obj && obj != Py_None) read_out(obj, "labels", "int64", labels.emplace());
        const std::optional<Matrix> previous = optional_matrix(a, "previous_centers");
        const auto [tb, te] = bytes_of(totals);
        require_apart("totals", tb, te, {{data.begin(), data.end()}});
        if (labels) {
            const auto [lb, le] = bytes_of(*labels);
            require_apart("labels", lb, le, {{data.begin(), data.end()}, {tb, te}});
            require_rows(labels->values.size(), data.block.rows, "labels");
        }
        return to_py(unlocked(data.block.rows * data.block.cols, [&] {
            return engine::lloyd_block_step(data.block, centers, totals.values, labels ? labels->values.data() : nullptr,
                                            previous ? &*previous : nullptr);
        }));
    }
};

struct KMeansBlockInertia {
    static constexpr const char* signature = "kmeans_block_inertia(data, centers, labels=None, label_centers=None, start=0.0)";
    static constexpr const char* doc =
        "start plus the squared distances of a block's rows to their labelled centers, summed in row order\n"
        "(pass one block's result as the next block's start). Labels come from labels (int64 array or list),\n"
        "else the nearest of label_centers, else 0. Raises RuntimeError for a label naming no center, a width\n"
        "mismatch or a non-finite value.\n\n"
        ">>> kmeans_block_inertia([[0.0], [1.0], [10.0], [11.0]], [[0.5], [10.5]], [0, 0, 1, 1])\n"
        "1.0";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        BlockArg data;
        read_block(a.raw("data"), "data", data);
        const Matrix centers = to_array2(a.raw("centers"), "centers");
        HeldBuffer label_buffer;
        std::vector<std::uint64_t> label_copy;
        std::span<const std::uint64_t> labels;
        bool have_labels = false;
        if (PyObject* obj = a.raw("labels"); obj && obj != Py_None) {
            have_labels = true;
            const Py_buffer& v = label_buffer.view();
            if (!PyList_Check(obj) && label_buffer.open(obj, PyBUF_ND | PyBUF_FORMAT) && v.ndim == 1 &&
                is_format(v, kInt64) && aligned(v.buf)) {
                labels = {static_cast<const std::uint64_t*>(v.buf), static_cast<std::size_t>(v.shape[0])};
            } else {
                label_copy = From<std::vector<std::uint64_t>>::convert(obj, "labels");
                labels = label_copy;
            }
        }
        const std::optional<Matrix> label_centers = optional_matrix(a, "label_centers");
        const double start = a.get_given_or<double>("start", 0.0);
        if (have_labels) require_rows(labels.size(), data.block.rows, "labels");
        return to_py(unlocked(data.block.rows * data.block.cols, [&] {
            return engine::lloyd_block_inertia(data.block, centers, have_labels ? labels.data() : nullptr,
                                               label_centers ? &*label_centers : nullptr, start);
        }));
    }
};

// ---- k-means|| ----

struct KMeansParallelFirst {
    static constexpr const char* signature = "kmeans_parallel_first(n_rows, n_clusters, random_state)";
    static constexpr const char* doc =
        "k-means|| seeding, first step: the row (0 .. n_rows-1, counted across partitions in partition order)\n"
        "that becomes the first candidate, drawn from the seed's ChaCha12 stream 0. Raises RuntimeError as\n"
        "kmeans_py does for n_clusters = 0, no rows, or more clusters than rows.\n\n"
        ">>> 0 <= kmeans_parallel_first(1_000_000, 8, 42) < 1_000_000\n"
        "True";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        const auto n_rows = a.get<std::uint64_t>("n_rows");
        const auto n_clusters = a.get<std::uint64_t>("n_clusters");
        const auto random_state = a.get<std::uint64_t>("random_state");
        return to_py(engine::kmeans_parallel_first(n_rows, n_clusters, random_state));
    }
};

struct KMeansParallelRound {
    static constexpr const char* signature =
        "kmeans_parallel_round(data, candidates, oversampling, random_state, partition, round, best=None, "
        "first_row=0, start=0.0)";
    static constexpr const char* doc =
        "k-means|| seeding, one round over one block of a partition: (cost, rows, distances, draws).\n\n"
        "Every row's squared distance d2 to its nearest candidate is taken (the smaller of that and its value\n"
        "in best, a float64 array of one value per row updated in place, when given); cost is start plus the\n"
        "d2 in row order. Row j of the partition (first_row + its index in the block) draws u, uniform in\n"
        "[0, 1), from the seed's ChaCha12 stream 1 + partition at the round's position; rows, distances and\n"
        "draws list the rows with u * (running cost) < oversampling * d2. The driver adds the partitions'\n"
        "costs in partition order into phi and keeps the rows with u * phi < oversampling * d2.\n\n"
        ">>> import numpy as np\n"
        ">>> block = np.array([[0.0], [1.0], [10.0], [11.0]])\n"
        ">>> best = np.full(4, np.inf)                      # no candidate seen yet\n"
        ">>> cost, rows, d2, u = kmeans_parallel_round(block, block[[2]], 4.0, 42, 0, 0, best)\n"
        ">>> cost, rows, d2, best.tolist()\n"
        "(182.0, [0, 1], [100.0, 81.0], [100.0, 81.0, 0.0, 1.0])";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        BlockArg data;
        read_block(a.raw("data"), "data", data);
        const Matrix candidates = to_array2(a.raw("candidates"), "candidates");
        const auto oversampling = a.get<double>("oversampling");
        const auto random_state = a.get<std::uint64_t>("random_state");
        const auto partition = a.get<std::uint64_t>("partition");
        const auto round = a.get<std::uint64_t>("round");
        std::optional<OutArg<double>> best;
        if (PyObject* obj = a.raw("best"); obj && obj != Py_None) read_out(obj, "best", "float64", best.emplace());
        const auto first_row = a.get_given_or<std::uint64_t>("first_row", 0);
        const double start = a.get_given_or<double>("start", 0.0);
        if (best) {
            const auto [bb, be] = bytes_of(*best);
            require_apart("best", bb, be, {{data.begin(), data.end()}});
            require_rows(best->values.size(), data.block.rows, "best");
        }
        engine::SeedingRound r = unlocked(data.block.rows * data.block.cols, [&] {
            return engine::kmeans_parallel_round(data.block, candidates, best ? best->values.data() : nullptr, oversampling,
                                                 random_state, partition, round, first_row, start);
        });
        return py::make_tuple(r.cost, r.rows, r.distances, r.draws);
    }
};

struct KMeansParallelReduce {
    static constexpr const char* signature = "kmeans_parallel_reduce(candidates, weights, n_clusters, random_state)";
    static constexpr const char* doc =
        "k-means|| seeding, last step: n_clusters seeds chosen among the candidates by weighted k-means++\n"
        "(weights: the rows nearest to each candidate), drawn from the seed's ChaCha12 stream 0. Returns the\n"
        "seeds as a list of rows. Raises RuntimeError for n_clusters = 0, no candidates, weights of another\n"
        "length, a negative or non-finite weight or value.\n\n"
        ">>> kmeans_parallel_reduce([[0.0], [10.0]], [2.0, 2.0], 2, 42)\n"
        "[[0.0], [10.0]]";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        const Matrix candidates = to_array2(a.raw("candidates"), "candidates");
        const auto weights = a.get<std::vector<double>>("weights");
        const auto n_clusters = a.get<std::uint64_t>("n_clusters");
        const auto random_state = a.get<std::uint64_t>("random_state");
        return to_py(unlocked(candidates.size(),
                              [&] { return engine::kmeans_parallel_reduce(candidates, weights, n_clusters, random_state); }));
    }
};

}  // namespace

PyMethodDef* kmeans_block_step_def() { return function_def<KMeansBlockStep>(); }
PyMethodDef* kmeans_block_inertia_def() { return function_def<KMeansBlockInertia>(); }
PyMethodDef* kmeans_parallel_first_def() { return function_def<KMeansParallelFirst>(); }
PyMethodDef* kmeans_parallel_round_def() { return function_def<KMeansParallelRound>(); }
PyMethodDef* kmeans_parallel_reduce_def() { return function_def<KMeansParallelReduce>(); }

}  // namespace segmora::py
