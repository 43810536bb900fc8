// PyMiniBatchKMeans: k-means over a stream of chunks.
#include "engine/minibatch.hpp"
#include "python/bindings.hpp"
#include "python/convert.hpp"
#include "python/toolkit/classdef.hpp"
#include "python/toolkit/format.hpp"

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
        const auto random_state = a.raw("random_state") ? a.get<std::uint64_t>("random_state") : kDefaultSeed;
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
        self.partial_fit(vec_to_array2(a.raw("chunk"), "chunk"));
        return none();
    }
};

struct MiniBatchPredict {
    static constexpr const char* signature = "predict($self, data)";
    static constexpr const char* doc = "Assign each row of `data` to its nearest fitted center.";
    static constexpr Raises raises = Raises::RuntimeError;
    static constexpr Access access = Access::Shared;
    static Ref call(const MiniBatchKMeans& self, Args& a) {
        return to_py(self.predict(vec_to_array2(a.raw("data"), "data")));
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

}  // namespace

PyTypeObject* minibatch_kmeans_type() {
    return type_once<MiniBatchKMeans>([] {
        return ClassDef<MiniBatchKMeans>("PyMiniBatchKMeans", kClassDoc)
            .constructor<MiniBatchNew>()
            .method<MiniBatchPartialFit>()
            .method<MiniBatchPredict>()
            .method<MiniBatchIsInitialized>()
            .property<&minibatch_centers>("centers")
            .repr<&minibatch_repr>()
            .build();
    });
}

}  // namespace segmora::py
