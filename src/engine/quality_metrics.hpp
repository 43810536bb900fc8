// Internal validity indices of a clustering and the combined 0-100 report.
//
// Inputs: an N x d matrix, one label per row (cluster indices; values that no
// row carries are empty clusters), and for Davies-Bouldin and the report a
// K' x d matrix of centers. Distances are Euclidean. Every sum runs in row
// order (and feature order) from zero; per-cluster statistics are computed once
// and in cluster order, so results are bit-identical across runs. "min" and
// "max" ignore a NaN operand. Degenerate inputs give the neutral values stated
// below. The one error is DataValidation when the labels do not cover every row
// (or, for the report, a row's label has no center row): nothing is read past
// the inputs.
#pragma once

#include <cstdint>
#include <span>

#include "engine/matrix.hpp"

namespace segmora::engine::quality_metrics {

using Labels = std::span<const std::uint64_t>;

// Mean silhouette s(i) = (b - a) / max(a, b) over rows, divided by the number
// of labels (Rousseeuw's definition): a member of a singleton cluster and a row
// with max(a, b) <= 1e-10 score 0. 0 without labels or rows, and for a
// labelling with a single cluster.
double silhouette(MatrixRef data, Labels labels);

struct SilhouetteMetric {
    double calculate(MatrixRef data, Labels labels) const;
};

// Mean over the K' center rows of the worst (S_i + S_j) / d_ij; empty clusters
// add 0 but count in K'; center pairs closer than 1e-10 are skipped. 0 without
// labels or centers.
struct DaviesBouldinMetric {
    double calculate(MatrixRef data, Labels labels, const Matrix& centers) const;
};

// (B / (K - 1)) / (W / (N - K)) with K = largest label + 1. 0 without labels,
// for K < 2, for W < 1e-10, and for fewer rows than K (possible only with label
// gaps, where N - K has no meaning).
struct CalinskiHarabaszMetric {
    double calculate(MatrixRef data, Labels labels) const;
};

struct QualityReport {
    double silhouette_score = 0.0;
    double davies_bouldin_score = 0.0;
    double calinski_harabasz_score = 0.0;
    double inertia = 0.0;          // sum of squared distances of rows to their label's center
    std::uint64_t n_clusters = 1;  // largest label + 1; 1 without labels
    double overall_score = 0.0;    // nominally 0-100
};

// Mean of the silhouette mapped to 0-100, 100 (1 - min(db / 10, 1)) and
// min(ch / 100, 100); a NaN db gives its term 0, a NaN ch gives 100.
double overall_score(double silhouette, double davies_bouldin, double calinski_harabasz) noexcept;

// The three indices, the inertia and the overall score.
QualityReport assess_quality(MatrixRef data, Labels labels, const Matrix& centers);

// DataValidation unless there is a label for every row.
void require_label_per_row(MatrixRef data, Labels labels);
// DataValidation unless every row's label names a center row.
void require_center_per_label(MatrixRef data, Labels labels, const Matrix& centers);

}  // namespace segmora::engine::quality_metrics
