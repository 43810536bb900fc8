// Probabilistic customer-base models: who is still a customer, how many
// purchases they will make, and what they will spend.
//
// BG/NBD (Fader, Hardie and Lee 2005) and Pareto/NBD (Schmittlein, Morrison and
// Colombo 1987) model repeat purchases as a Poisson process with gamma-
// distributed rates that stops at an unobserved dropout; Gamma-Gamma (Fader,
// Hardie and Lee 2005) models the average spend of repeat customers. Each
// customer is summarised as (frequency x: repeat purchases, recency t: time of
// the last purchase since the first, T: age since the first purchase) and, for
// spend, the mean value of the repeat purchases.
//
// fit_* maximise the log-likelihood by Newton's method on the logarithms of the
// parameters (analytic gradient and Hessian, the Hessian shifted when it is not
// negative definite, backtracking line search, at most max_iter steps): a fit
// converges when a full Newton step moves no log-parameter by more than tol.
// The per-customer sums run on one per-call pool over fixed chunks of
// customers, added in chunk order, so results never depend on n_jobs. Inputs
// must pass check_* first (finite, non-negative, whole frequencies, t <= T,
// t = 0 where x = 0); the functions trust them. The spend fits leave out the
// customers without a repeat purchase (x = 0) and those whose mean spend is 0.
// Predictions are per customer, in input order. A pool that cannot be built is
// a Clustering SegmoraError; an interrupt, polled between Newton steps and while
// the pool runs, unwinds as Interrupted.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace segmora::engine {

enum class PurchaseModel { BetaGeo, ParetoNBD };

// Summaries of the customers, one entry each.
struct PurchaseHistories {
    std::span<const double> frequency;  // x, whole numbers >= 0
    std::span<const double> recency;    // t, 0 <= t <= T, 0 where x = 0
    std::span<const double> age;        // T
};

struct SpendHistories {
    std::span<const double> frequency;       // x
    std::span<const double> monetary_value;  // mean repeat spend, >= 0
};

// The first fault of the columns as a message naming the argument and the index
// ("frequency must be a whole number; frequency[3] is 1.5"), or nullopt.
// Columns of unequal length are a fault too.
std::optional<std::string> check_purchases(const PurchaseHistories& data);
std::optional<std::string> check_spend(const SpendHistories& data);

struct FitOptions {
    int max_iter = 100;   // Newton steps at most
    double tol = 1e-8;    // largest change of a log-parameter in a converged step
    std::optional<std::int32_t> n_jobs;
};

// Parameters in model order: BG/NBD r, alpha, a, b; Pareto/NBD r, alpha, s,
// beta; Gamma-Gamma p, q, v (the third entry of three is v, the fourth unused).
struct FitResult {
    std::array<double, 4> params{};
    double log_likelihood = 0.0;
    int n_iter = 0;
    bool converged = false;
};

// Maximum-likelihood fits. An empty fit (no customers; for spend, no customer
// with x > 0 and m > 0) is an InvalidConfig SegmoraError.
FitResult fit_purchases(PurchaseModel model, const PurchaseHistories& data, const FitOptions& options);
FitResult fit_spend(const SpendHistories& data, const FitOptions& options);

// Log-likelihood with its gradient and Hessian (row-major) with respect to the
// logarithms of the parameters, for 4 (purchase) or 3 (spend) parameters.
struct LogLikelihood {
    double value = 0.0;
    std::vector<double> gradient;
    std::vector<double> hessian;
};
LogLikelihood purchase_log_likelihood(PurchaseModel model, const std::array<double, 4>& params,
                                      const PurchaseHistories& data, std::optional<std::int32_t> n_jobs);
LogLikelihood spend_log_likelihood(const std::array<double, 3>& params, const SpendHistories& data,
                                   std::optional<std::int32_t> n_jobs);

// P(alive at T | x, t, T) per customer.
std::vector<double> probability_alive(PurchaseModel model, const std::array<double, 4>& params,
                                      const PurchaseHistories& data, std::optional<std::int32_t> n_jobs);
// Expected purchases in (T, T + horizon] per customer.
std::vector<double> conditional_purchases(PurchaseModel model, const std::array<double, 4>& params, double horizon,
                                          const PurchaseHistories& data, std::optional<std::int32_t> n_jobs);
// Expected purchases in (0, t] of a customer just acquired.
double expected_purchases(PurchaseModel model, const std::array<double, 4>& params, double t) noexcept;

// E[mean spend | x, m] per customer (the population mean p v / (q - 1) where x = 0).
std::vector<double> expected_average_value(const std::array<double, 3>& params, std::span<const double> frequency,
                                           std::span<const double> monetary_value);

// Discounted value of the next `months` months: for month k = 1 .. months,
// expected spend times the expected purchases between months k - 1 and k,
// divided by (1 + discount_rate)^k. A month is 30 days, `period_days` days per
// model time unit.
struct LifetimeValueOptions {
    int months = 12;
    double discount_rate = 0.01;
    double period_days = 1.0;
};
std::vector<double> customer_lifetime_value(PurchaseModel model, const std::array<double, 4>& purchase_params,
                                            const std::array<double, 3>& spend_params, const PurchaseHistories& data,
                                            std::span<const double> monetary_value, const LifetimeValueOptions& options,
                                            std::optional<std::int32_t> n_jobs);

}  // namespace segmora::engine
