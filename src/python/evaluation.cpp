// Cluster evaluation: PyQualityReport and the quality-metric functions,
// PyKEstimationResult and the k-estimation functions.
#include <cstdint>
#include <utility>
#include <vector>

#include "engine/k_estimation.hpp"
#include "engine/quality_metrics.hpp"
#include "python/bindings.hpp"
#include "python/convert.hpp"
#include "python/toolkit/classdef.hpp"
#include "python/toolkit/format.hpp"
#include "python/toolkit/unlocked.hpp"

namespace segmora::py {

namespace {

using engine::Matrix;
using engine::k_estimation::KEstimationResult;
using engine::quality_metrics::QualityReport;
using Labels = std::vector<std::uint64_t>;

// Labels that do not cover the data (or name a missing center) are a ValueError
// raised before any metric runs.
template <class Check>
void refuse_as_value_error(Check&& check) {
    try {
        check();
    } catch (const SegmoraError& e) {
        raise(PyExc_ValueError, e.what());
    }
}

// A metric scores no labels at all as 0.0; labels present but fewer than the
// rows are refused.
void require_labels_cover(engine::MatrixRef data, const Labels& labels) {
    if (labels.empty()) return;
    refuse_as_value_error([&] { engine::quality_metrics::require_label_per_row(data, labels); });
}

// ---- quality metrics ----

struct SilhouetteScore {
    static constexpr const char* signature = "silhouette_score(data, labels)";
    static constexpr const char* doc = "Silhouette coefficient for a clustering (-1 to 1; higher is better).";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        RowsArgument rows(a, "data");
        const Labels labels = a.get<Labels>("labels");
        const engine::MatrixRef data = rows.matrix();
        require_labels_cover(data, labels);
        return to_py(unlocked(data.size(), [&] { return engine::quality_metrics::SilhouetteMetric{}.calculate(data, labels); }));
    }
};

struct DaviesBouldinScore {
    static constexpr const char* signature = "davies_bouldin_score(data, labels, centers)";
    static constexpr const char* doc = "Davies-Bouldin index for a clustering (>= 0; lower is better).";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        RowsArgument rows(a, "data");
        const Labels labels = a.get<Labels>("labels");
        RowsInput center_rows = a.get<RowsInput>("centers");
        const engine::MatrixRef data = rows.matrix();
        const Matrix centers = to_matrix(std::move(center_rows));
        require_labels_cover(data, labels);
        return to_py(unlocked(data.size(), [&] {
            return engine::quality_metrics::DaviesBouldinMetric{}.calculate(data, labels, centers);
        }));
    }
};

struct CalinskiHarabaszScore {
    static constexpr const char* signature = "calinski_harabasz_score(data, labels)";
    static constexpr const char* doc = "Calinski-Harabasz index for a clustering (higher is better).";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        RowsArgument rows(a, "data");
        const Labels labels = a.get<Labels>("labels");
        const engine::MatrixRef data = rows.matrix();
        require_labels_cover(data, labels);
        return to_py(unlocked(data.size(), [&] {
            return engine::quality_metrics::CalinskiHarabaszMetric{}.calculate(data, labels);
        }));
    }
};

struct AssessClusterQuality {
    static constexpr const char* signature = "assess_cluster_quality(data, labels, centers)";
    static constexpr const char* doc =
        "Comprehensive cluster quality report combining silhouette,\n"
        "Davies-Bouldin, Calinski-Harabasz, and inertia into a single 0-100\n"
        "overall score.";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        RowsArgument rows(a, "data");
        const Labels labels = a.get<Labels>("labels");
        RowsInput center_rows = a.get<RowsInput>("centers");
        const engine::MatrixRef data = rows.matrix();
        const Matrix centers = to_matrix(std::move(center_rows));
        refuse_as_value_error([&] { engine::quality_metrics::require_center_per_label(data, labels, centers); });
        return wrap(unlocked(data.size(), [&] { return engine::quality_metrics::assess_quality(data, labels, centers); }));
    }
};

std::string quality_report_repr(const QualityReport& r) {
    return format("QualityReport(silhouette={}, davies_bouldin={}, calinski_harabasz={}, overall={})",
                  Fixed{r.silhouette_score, 4}, Fixed{r.davies_bouldin_score, 4}, Fixed{r.calinski_harabasz_score, 2},
                  Fixed{r.overall_score, 2});
}

// ---- k estimation ----

using KRange = std::pair<std::uint64_t, std::uint64_t>;

template <class Estimate>
Ref estimate_k(Args& a, Estimate&& estimate) {
    RowsArgument rows(a, "data");
    const KRange range = a.get<KRange>("k_range");
    const engine::MatrixRef data = rows.matrix();
    // A reversed range would try no k at all and still name an answer.
    if (range.first > range.second)
        raise(PyExc_ValueError,
              format("k_range must satisfy k_min <= k_max, got ({}, {})", range.first, range.second));
    return wrap(unlocked(data.size(), [&] { return estimate(data, range.first, range.second); }));
}

struct EstimateKElbow {
    static constexpr const char* signature = "estimate_k_elbow(data, k_range)";
    static constexpr const char* doc =
        "Estimate the optimal number of clusters via the elbow method (inertia\n"
        "curvature) over `k_range = (k_min, k_max)`.";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        return estimate_k(a, [](engine::MatrixRef d, auto lo, auto hi) { return engine::k_estimation::ElbowMethod{}.estimate(d, lo, hi); });
    }
};

struct EstimateKGapStatistic {
    static constexpr const char* signature = "estimate_k_gap_statistic(data, k_range)";
    static constexpr const char* doc = "Estimate the optimal number of clusters via the gap statistic.";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        return estimate_k(a, [](engine::MatrixRef d, auto lo, auto hi) { return engine::k_estimation::GapStatistic{}.estimate(d, lo, hi); });
    }
};

struct EstimateKSilhouette {
    static constexpr const char* signature = "estimate_k_silhouette(data, k_range)";
    static constexpr const char* doc = "Estimate the optimal number of clusters via silhouette analysis.";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        return estimate_k(
            a, [](engine::MatrixRef d, auto lo, auto hi) { return engine::k_estimation::SilhouetteEstimation{}.estimate(d, lo, hi); });
    }
};

struct EstimateKCombined {
    static constexpr const char* signature = "estimate_k_combined(data, k_range)";
    static constexpr const char* doc =
        "Estimate the optimal number of clusters via a majority vote across the\n"
        "elbow, gap-statistic, and silhouette methods.";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        return estimate_k(a, [](engine::MatrixRef d, auto lo, auto hi) { return engine::k_estimation::estimate_combined(d, lo, hi); });
    }
};

std::string k_estimation_repr(const KEstimationResult& r) {
    return format("KEstimationResult(method={}, k={}, confidence={})", r.method, r.k, Fixed{r.confidence, 2});
}

// ---- pickling ----

struct QualityReportState {
    static constexpr std::uint32_t version = 1;
    static Ref save(const QualityReport& r) {
        return py::make_tuple(r.silhouette_score, r.davies_bouldin_score, r.calinski_harabasz_score, r.inertia,
                              r.n_clusters, r.overall_score);
    }
    static QualityReport load(PyObject* state) {
        StateReader r(state, 6);
        QualityReport q;
        q.silhouette_score = r.next<double>();
        q.davies_bouldin_score = r.next<double>();
        q.calinski_harabasz_score = r.next<double>();
        q.inertia = r.next<double>();
        q.n_clusters = r.next<std::uint64_t>();
        q.overall_score = r.next<double>();
        return q;
    }
};

struct KEstimationResultState {
    static constexpr std::uint32_t version = 1;
    static Ref save(const KEstimationResult& r) { return py::make_tuple(r.method, to_py(r.scores), r.k, r.confidence); }
    static KEstimationResult load(PyObject* state) {
        StateReader r(state, 4);
        KEstimationResult k;
        k.method = r.next<std::string>();
        if (k.method != "elbow" && k.method != "silhouette" && k.method != "gap_statistic" && k.method != "ensemble")
            throw StateError{format("unknown method '{}'", k.method)};
        k.scores = r.next<std::vector<std::pair<std::uint64_t, double>>>();
        k.k = r.next<std::uint64_t>();
        k.confidence = r.next<double>();
        return k;
    }
};

}  // namespace

constexpr const char* kQualityReportDoc =
    "A clustering's quality as assess_cluster_quality reports it: silhouette,\n"
    "Davies-Bouldin, Calinski-Harabasz, inertia, the number of clusters and an overall\n"
    "0-100 score. The attributes are read-only.\n"
    "\n"
    ">>> r = assess_cluster_quality([[0.0], [1.0], [9.0], [10.0]], [0, 0, 1, 1], [[0.5], [9.5]])\n"
    ">>> r.inertia, r.n_clusters\n"
    "(1.0, 2)\n"
    ">>> r\n"
    "QualityReport(silhouette=0.8885, davies_bouldin=0.1111, calinski_harabasz=162.00, overall=64.98)";

PyTypeObject* quality_report_type() {
    return type_once<QualityReport>([] {
        return ClassDef<QualityReport>("PyQualityReport", kQualityReportDoc)
            .property<&QualityReport::silhouette_score>(
                "silhouette_score", "Silhouette coefficient, -1 to 1 (higher is better).")
            .property<&QualityReport::davies_bouldin_score>(
                "davies_bouldin_score", "Davies-Bouldin index against the given centers, >= 0 (lower is better).")
            .property<&QualityReport::calinski_harabasz_score>(
                "calinski_harabasz_score", "Calinski-Harabasz index (higher is better).")
            .property<&QualityReport::inertia>(
                "inertia", "Sum of squared distances of the rows to the centers of their labels.")
            .property<&QualityReport::n_clusters>("n_clusters", "Largest label + 1 (1 for no labels).")
            .property<&QualityReport::overall_score>(
                "overall_score", "The three indices combined into one score, nominally 0 to 100.")
            .repr<&quality_report_repr>()
            .pickle<QualityReportState>()
            .build();
    });
}

PyMethodDef* silhouette_score_def() { return function_def<SilhouetteScore>(); }
PyMethodDef* davies_bouldin_score_def() { return function_def<DaviesBouldinScore>(); }
PyMethodDef* calinski_harabasz_score_def() { return function_def<CalinskiHarabaszScore>(); }
PyMethodDef* assess_cluster_quality_def() { return function_def<AssessClusterQuality>(); }

constexpr const char* kKEstimationResultDoc =
    "A suggested number of clusters with the method's scores and confidence, as the\n"
    "estimate_k_* functions return it. The attributes are read-only.\n"
    "\n"
    ">>> r = estimate_k_elbow([[0.0], [1.0], [9.0], [10.0], [20.0], [21.0]], (1, 4))\n"
    ">>> r.k, r.scores[:2]\n"
    "(2, [(1, 402.8333333333333), (2, 122.5)])";

PyTypeObject* k_estimation_result_type() {
    return type_once<KEstimationResult>([] {
        return ClassDef<KEstimationResult>("PyKEstimationResult", kKEstimationResultDoc)
            .property<&KEstimationResult::method>(
                "method", "\"elbow\", \"silhouette\", \"gap_statistic\" or \"ensemble\".")
            .property<&KEstimationResult::scores>(
                "scores", "One (k, score) pair per k tried, in increasing k (empty for \"ensemble\").")
            .property<&KEstimationResult::k>("k", "The suggested number of clusters.")
            .property<&KEstimationResult::confidence>(
                "confidence", "How clearly the method prefers k (method-specific, 0 to 1).")
            .repr<&k_estimation_repr>()
            .pickle<KEstimationResultState>()
            .build();
    });
}

PyMethodDef* estimate_k_elbow_def() { return function_def<EstimateKElbow>(); }
PyMethodDef* estimate_k_gap_statistic_def() { return function_def<EstimateKGapStatistic>(); }
PyMethodDef* estimate_k_silhouette_def() { return function_def<EstimateKSilhouette>(); }
PyMethodDef* estimate_k_combined_def() { return function_def<EstimateKCombined>(); }

}  // namespace segmora::py
