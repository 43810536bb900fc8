#include "engine/clv.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <utility>

#include "engine/lanes.hpp"
#include "engine/simd.hpp"
#include "engine/special_functions.hpp"
#include "engine/thread_pool.hpp"
#include "error.hpp"
#include "interrupt.hpp"
#include "text.hpp"

namespace segmora::engine {

namespace {

constexpr std::size_t kChunk = 8192;  // customers per chunk of a parallel sum (fixed: sums never depend on n_jobs)
constexpr std::size_t kBlock = 256;   // customers per block of array logarithms and exponentials
constexpr double kBound = 30.0;       // log-parameters stay within [-kBound, kBound]
constexpr double kMaxStep = 3.0;      // a Newton step moves no log-parameter further

// ---- checks ----

std::optional<std::string> fault(const char* name, std::size_t i, double v, const char* rule) {
    return format("{} must be {}; {}[{}] is {}", name, rule, name, i, v);
}

std::optional<std::string> check_column(const char* name, std::span<const double> values) {
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double v = values[i];
        if (!std::isfinite(v)) return fault(name, i, v, "finite");
        if (v < 0.0) return fault(name, i, v, ">= 0");
    }
    return std::nullopt;
}

std::optional<std::string> check_frequency(std::span<const double> frequency) {
    if (auto issue = check_column("frequency", frequency)) return issue;
    for (std::size_t i = 0; i < frequency.size(); ++i)
        if (frequency[i] != std::floor(frequency[i])) return fault("frequency", i, frequency[i], "a whole number");
    return std::nullopt;
}

// Lane masks of the checks below (all ones where the value passes).
SEGMORA_INLINE lanes::i64x4 finite_non_negative(const lanes::f64x4& v) noexcept {
    return (v >= 0.0) & (v <= std::numeric_limits<double>::max());
}

// Whole numbers among finite values >= 0: from 2^52 on every double is one;
// below, adding and removing 2^52 rounds to a whole number.
SEGMORA_INLINE lanes::i64x4 whole(const lanes::f64x4& v) noexcept {
    constexpr double k252 = 4503599627370496.0;
    return (v >= k252) | ((v + k252) - k252 == v);
}

// Whether every customer passes the checks of check_purchases (the common
// case, one pass four customers at a time).
SEGMORA_TARGET_CLONES bool purchases_pass(const double* x, const double* t, const double* age, std::size_t n) {
    lanes::i64x4 pass = lanes::splat_int(-1);
    for (std::size_t i = 0; i < n; i += 4) {
        const lanes::f64x4 xs = lanes::load_part(x + i, n - i, 0.0), ts = lanes::load_part(t + i, n - i, 0.0);
        const lanes::f64x4 ages = lanes::load_part(age + i, n - i, 0.0);
        pass &= finite_non_negative(xs) & whole(xs) & (ts >= 0.0) & (ts <= ages) & finite_non_negative(ages) &
                ((xs > 0.0) | (ts == 0.0));
    }
    return pass[0] & pass[1] & pass[2] & pass[3];
}

SEGMORA_TARGET_CLONES bool spend_pass(const double* x, const double* m, std::size_t n) {
    lanes::i64x4 pass = lanes::splat_int(-1);
    for (std::size_t i = 0; i < n; i += 4) {
        const lanes::f64x4 xs = lanes::load_part(x + i, n - i, 0.0), ms = lanes::load_part(m + i, n - i, 0.0);
        pass &= finite_non_negative(xs) & whole(xs) & finite_non_negative(ms);
    }
    return pass[0] & pass[1] & pass[2] & pass[3];
}

// ---- sums over customers ----

// Value, gradient and Hessian (row-major) of part of a log-likelihood.
template <std::size_t D>
struct Sums {
    double value = 0.0;
    std::array<double, D> g{};
    std::array<double, D * D> h{};

    void add(const Sums& o) noexcept {
        value += o.value;
        for (std::size_t i = 0; i < D; ++i) g[i] += o.g[i];
        for (std::size_t i = 0; i < D * D; ++i) h[i] += o.h[i];
    }
};

std::unique_ptr<ThreadPool> pool_for(std::optional<std::int32_t> n_jobs) { return build_thread_pool(n_jobs.value_or(-1)); }

// body(begin, end, sums) over fixed chunks of [0, n), the chunks' sums added in chunk order.
template <std::size_t D, class Body>
Sums<D> chunked_sum(ThreadPool& pool, std::size_t n, const Body& body) {
    const std::size_t chunks = (n + kChunk - 1) / kChunk;
    std::vector<Sums<D>> parts(chunks);
    const auto run = [&](std::size_t c) { body(c * kChunk, std::min(n, (c + 1) * kChunk), parts[c]); };
    if (chunks == 1) run(0);
    else if (chunks > 1) pool.run_tasks(chunks, run);
    Sums<D> total;
    for (const Sums<D>& part : parts) total.add(part);
    return total;
}

// body(begin, end) over fixed chunks of [0, n) (each writes its own slots).
template <class Body>
void chunked_for(ThreadPool& pool, std::size_t n, const Body& body) {
    const std::size_t chunks = (n + kChunk - 1) / kChunk;
    const auto run = [&](std::size_t c) { body(c * kChunk, std::min(n, (c + 1) * kChunk)); };
    if (chunks == 1) run(0);
    else if (chunks > 1) pool.run_tasks(chunks, run);
}

// Gradient and Hessian with respect to raw parameters p turned into ones with
// respect to log p: g_i p_i and H_ij p_i p_j + [i = j] g_i p_i.
template <std::size_t D>
void to_log_scale(Sums<D>& s, const std::array<double, D>& p) noexcept {
    for (std::size_t i = 0; i < D; ++i)
        for (std::size_t j = 0; j < D; ++j) s.h[i * D + j] *= p[i] * p[j];
    for (std::size_t i = 0; i < D; ++i) {
        s.g[i] *= p[i];
        s.h[i * D + i] += s.g[i];
    }
}

// ---- prepared purchase data ----

// Customers split by frequency: those without a repeat purchase need only T;
// the repeat customers are grouped by frequency (ascending, input order within
// a frequency), so a run of customers shares every term that depends on x.
struct PurchaseData {
    std::vector<double> distinct;      // distinct repeat frequencies, ascending
    std::vector<std::size_t> start;    // customers of distinct[k]: [start[k], start[k + 1])
    std::vector<double> earliest;      // smallest t among them
    std::vector<double> zero_age;      // T of the customers with x = 0, in input order
    std::vector<double> t, age;        // the repeat customers, grouped
    double customers = 0.0;
    double earliest_zero_age = 0.0;    // smallest T among the customers with x = 0
    double mean_frequency = 0.0, mean_age = 0.0;

    double count(std::size_t k) const noexcept { return static_cast<double>(start[k + 1] - start[k]); }
};

// Indices of the distinct values of whole numbers > 0: a counting table when
// they are small enough, else a sort of the distinct values.
std::vector<std::uint32_t> level_of(std::span<const double> values, std::vector<double>& distinct) {
    double largest = 0.0;
    for (double v : values) largest = std::max(largest, v);
    std::vector<std::uint32_t> level(values.size());
    if (largest < static_cast<double>(std::max<std::size_t>(std::size_t{1} << 20, 4 * values.size()))) {
        std::vector<std::uint32_t> slot(static_cast<std::size_t>(largest) + 1, 0);
        for (double v : values) slot[static_cast<std::size_t>(v)] = 1;
        std::uint32_t next = 0;
        for (std::size_t v = 0; v < slot.size(); ++v)
            if (slot[v]) {
                slot[v] = next++;
                distinct.push_back(static_cast<double>(v));
            }
        for (std::size_t i = 0; i < values.size(); ++i) level[i] = slot[static_cast<std::size_t>(values[i])];
        return level;
    }
    distinct.assign(values.begin(), values.end());
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    for (std::size_t i = 0; i < values.size(); ++i)
        level[i] = static_cast<std::uint32_t>(std::lower_bound(distinct.begin(), distinct.end(), values[i]) - distinct.begin());
    return level;
}

PurchaseData prepare(const PurchaseHistories& h) {
    PurchaseData d;
    const std::size_t n = h.frequency.size();
    d.customers = static_cast<double>(n);
    std::vector<double> repeat;  // frequencies of the repeat customers, in input order
    double sum_x = 0.0, sum_age = 0.0;
    d.earliest_zero_age = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < n; ++i) {
        sum_x += h.frequency[i];
        sum_age += h.age[i];
        if (h.frequency[i] == 0.0) {
            d.zero_age.push_back(h.age[i]);
            d.earliest_zero_age = std::min(d.earliest_zero_age, h.age[i]);
        } else {
            repeat.push_back(h.frequency[i]);
        }
    }
    d.mean_frequency = n ? sum_x / static_cast<double>(n) : 0.0;
    d.mean_age = n ? sum_age / static_cast<double>(n) : 0.0;
    const std::vector<std::uint32_t> level = level_of(repeat, d.distinct);
    // counting sort by level, stable
    d.start.assign(d.distinct.size() + 1, 0);
    for (std::uint32_t k : level) ++d.start[k + 1];
    for (std::size_t k = 0; k < d.distinct.size(); ++k) d.start[k + 1] += d.start[k];
    std::vector<std::size_t> next(d.start.begin(), d.start.end() - 1);
    d.t.resize(repeat.size());
    d.age.resize(repeat.size());
    d.earliest.assign(d.distinct.size(), std::numeric_limits<double>::infinity());
    std::size_t j = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (h.frequency[i] == 0.0) continue;
        const std::uint32_t k = level[j++];
        d.t[next[k]] = h.recency[i];
        d.age[next[k]++] = h.age[i];
        d.earliest[k] = std::min(d.earliest[k], h.recency[i]);
    }
    return d;
}

// Calls body(begin, end, k) over the repeat customers [begin, end) split where
// the frequency (level k) changes.
template <class Body>
void for_each_level_run(const PurchaseData& d, std::size_t begin, std::size_t end, const Body& body) {
    std::size_t k = static_cast<std::size_t>(std::upper_bound(d.start.begin(), d.start.end(), begin) - d.start.begin()) - 1;
    while (begin < end) {
        const std::size_t stop = std::min(end, d.start[k + 1]);
        if (stop > begin) body(begin, stop, k);
        begin = stop;
        ++k;
    }
}

using lanes::f64x4;
using lanes::splat;

// Lane weights of the group of four starting at i of n: 1 for a customer, 0 for padding.
SEGMORA_INLINE f64x4 lane_weights(std::size_t i, std::size_t n) noexcept {
    const double left = static_cast<double>(n - i);
    return f64x4{0.0 < left ? 1.0 : 0.0, 1.0 < left ? 1.0 : 0.0, 2.0 < left ? 1.0 : 0.0, 3.0 < left ? 1.0 : 0.0};
}

// ---- BG/NBD ----
//
// log L = log G(r+x)/G(r) + r log alpha + log B(a, b+x)/B(a, b) - (r+x) log(alpha+T)
//         + [x > 0] softplus(z),   z = log(a / (b+x-1)) + (r+x) (log(alpha+T) - log(alpha+t)),
// the two terms of the likelihood added as a log-sum-exp, so customers with
// many purchases never overflow. w = sigmoid(z) is the weight of "dropped
// out after the last purchase" (1 - P(alive)).

using Params4 = std::array<double, 4>;

Sums<4> bgnbd_frequency_terms(const Params4& p, const PurchaseData& d, bool second) {
    const double r = p[0], alpha = p[1], a = p[2], b = p[3];
    Sums<4> s;
    const double lg_r = log_gamma(r), lg_b = log_gamma(b), lg_ab = log_gamma(a + b);
    const double dg_r = second ? digamma(r) : 0.0, dg_b = second ? digamma(b) : 0.0, dg_ab = second ? digamma(a + b) : 0.0;
    const double tg_r = second ? trigamma(r) : 0.0, tg_b = second ? trigamma(b) : 0.0, tg_ab = second ? trigamma(a + b) : 0.0;
    for (std::size_t k = 0; k < d.distinct.size(); ++k) {
        const double x = d.distinct[k], n = d.count(k);
        s.value += n * (log_gamma(r + x) - lg_r + log_gamma(b + x) - lg_b - log_gamma(a + b + x) + lg_ab);
        if (!second) continue;
        const double dg_abx = digamma(a + b + x), tg_abx = trigamma(a + b + x);
        s.g[0] += n * (digamma(r + x) - dg_r);
        s.g[2] += n * (dg_ab - dg_abx);
        s.g[3] += n * (digamma(b + x) - dg_b - dg_abx + dg_ab);
        s.h[0] += n * (trigamma(r + x) - tg_r);
        s.h[10] += n * (tg_ab - tg_abx);
        s.h[11] += n * (tg_ab - tg_abx);
        s.h[15] += n * (trigamma(b + x) - tg_b - tg_abx + tg_ab);
    }
    s.h[14] = s.h[11];
    s.value += d.customers * r * std::log(alpha);
    if (second) {
        s.g[0] += d.customers * std::log(alpha);
        s.g[1] += d.customers * r / alpha;
        s.h[1] += d.customers / alpha;
        s.h[5] -= d.customers * r / (alpha * alpha);
        s.h[4] = s.h[1];
    }
    return s;
}

// Sums over customers without repeat purchases of log(alpha + T), 1 / (alpha + T)
// and its square (the last two only when `second`).
SEGMORA_TARGET_CLONES void zero_lanes(double alpha, const double* age, std::size_t n, bool second, double* out) {
    f64x4 sum_log = splat(0.0), sum_inv = splat(0.0), sum_inv2 = splat(0.0);
    for (std::size_t i = 0; i < n; i += 4) {
        const f64x4 shifted = alpha + lanes::load_part(age + i, n - i, 0.0);
        const f64x4 weight = lane_weights(i, n);
        sum_log += weight * lanes::log_kernel(shifted);
        if (!second) continue;
        const f64x4 u = weight / shifted;
        sum_inv += u;
        sum_inv2 += u * u;
    }
    out[0] += lanes::sum(sum_log);
    out[1] += lanes::sum(sum_inv);
    out[2] += lanes::sum(sum_inv2);
}

// Customers without repeat purchases: -r log(alpha + T) each.
void zero_chunk(double r, double alpha, std::span<const double> age, bool second, Sums<4>& s) {
    double sums[3] = {0.0, 0.0, 0.0};
    zero_lanes(alpha, age.data(), age.size(), second, sums);
    s.value -= r * sums[0];
    if (!second) return;
    s.g[0] -= sums[0];
    s.g[1] -= r * sums[1];
    s.h[1] -= sums[1];
    s.h[4] -= sums[1];
    s.h[5] += r * sums[2];
}

// Running sums of a run of repeat customers with one frequency x.
enum BgnbdSum { kValue, kGr, kGalpha, kW, kWi, kHrr, kHralpha, kHalpha2, kW1d, kW1di, kW1u, kW1ui, kW1, kW1i, kHbb, kBgnbdSums };

SEGMORA_TARGET_CLONES void bgnbd_lanes(double r, double alpha, double x, double log_odds, double inv, const double* t,
                                       const double* age, std::size_t n, bool second, double* out) {
    f64x4 acc[kBgnbdSums];
    for (f64x4& v : acc) v = splat(0.0);
    const double rx = r + x;
    for (std::size_t i = 0; i < n; i += 4) {
        const f64x4 weight = lane_weights(i, n);
        const f64x4 at_age = alpha + lanes::load_part(age + i, n - i, 0.0);
        const f64x4 at_last = alpha + lanes::load_part(t + i, n - i, 0.0);
        const f64x4 log_age = lanes::log_kernel(at_age);
        const f64x4 dl = log_age - lanes::log_kernel(at_last);
        const f64x4 z = log_odds + rx * dl;
        const f64x4 e = lanes::exp_kernel(-lanes::abs(z));  // e^-|z|
        acc[kValue] += weight * (lanes::max(z, splat(0.0)) + lanes::log1p_kernel(e) - rx * log_age);
        if (!second) continue;
        const f64x4 q = 1.0 / (1.0 + e);
        const f64x4 w = weight * lanes::select(z >= 0.0, q, e * q);  // sigmoid(z)
        const f64x4 w1 = weight * (e * q * q);                        // w (1 - w)
        const f64x4 ua = 1.0 / at_age, ul = 1.0 / at_last, du = ua - ul;
        acc[kGr] += w * dl - weight * log_age;
        acc[kGalpha] += rx * (w * du - weight * ua);
        acc[kW] += w;
        acc[kWi] += w * inv;
        acc[kHrr] += w1 * dl * dl;
        acc[kHralpha] += w * du - weight * ua + w1 * dl * rx * du;
        acc[kHalpha2] += weight * rx * ua * ua + w * rx * (ul * ul - ua * ua) + w1 * rx * rx * du * du;
        acc[kW1d] += w1 * dl;
        acc[kW1di] += w1 * dl * inv;
        acc[kW1u] += w1 * rx * du;
        acc[kW1ui] += w1 * rx * du * inv;
        acc[kW1] += w1;
        acc[kW1i] += w1 * inv;
        acc[kHbb] += (w + w1) * inv * inv;
    }
    for (int j = 0; j < kBgnbdSums; ++j) out[j] += lanes::sum(acc[j]);
}

void bgnbd_repeat_chunk(const Params4& p, const PurchaseData& d, std::size_t begin, std::size_t end, bool second,
                        Sums<4>& s) {
    const double a = p[2], b = p[3];
    double acc[kBgnbdSums] = {};
    for_each_level_run(d, begin, end, [&](std::size_t from, std::size_t to, std::size_t k) {
        const double x = d.distinct[k];
        bgnbd_lanes(p[0], p[1], x, std::log(a / (b + x - 1.0)), 1.0 / (b + x - 1.0), d.t.data() + from,
                    d.age.data() + from, to - from, second, acc);
    });
    s.value += acc[kValue];
    if (!second) return;
    // parameter order r, alpha, a, b; z_a = 1/a, z_b = -1/(b + x - 1)
    s.g[0] += acc[kGr];
    s.g[1] += acc[kGalpha];
    s.g[2] += acc[kW] / a;
    s.g[3] -= acc[kWi];
    const double h[4][4] = {
        {acc[kHrr], acc[kHralpha], acc[kW1d] / a, -acc[kW1di]},
        {acc[kHralpha], acc[kHalpha2], acc[kW1u] / a, -acc[kW1ui]},
        {acc[kW1d] / a, acc[kW1u] / a, (acc[kW1] - acc[kW]) / (a * a), -acc[kW1i] / a},
        {-acc[kW1di], -acc[kW1ui], -acc[kW1i] / a, acc[kHbb]},
    };
    for (std::size_t i = 0; i < 4; ++i)
        for (std::size_t j = 0; j < 4; ++j) s.h[i * 4 + j] += h[i][j];
}

Sums<4> bgnbd_sums(const Params4& p, const PurchaseData& d, ThreadPool& pool, bool second) {
    Sums<4> total = bgnbd_frequency_terms(p, d, second);
    total.add(chunked_sum<4>(pool, d.zero_age.size(), [&](std::size_t begin, std::size_t end, Sums<4>& s) {
        zero_chunk(p[0], p[1], std::span(d.zero_age).subspan(begin, end - begin), second, s);
    }));
    total.add(chunked_sum<4>(pool, d.t.size(), [&](std::size_t begin, std::size_t end, Sums<4>& s) {
        bgnbd_repeat_chunk(p, d, begin, end, second, s);
    }));
    return total;
}

// ---- Pareto/NBD ----
//
// L = G(r+x)/G(r) alpha^r beta^s [ A + s (I(t) - I(T)) ],  A = (alpha+T)^-(r+x) (beta+T)^-s,
// with I(tau) = int_tau^inf (alpha+u)^-(r+x) (beta+u)^-(s+1) du. With m = max(alpha, beta),
// y = |alpha - beta| / (m + tau) in [0, 1) and c = r + s + x,
//   I(tau) = (m + tau)^-c Phi(k, c, y),   Phi(k, c, y) = sum_n (k)_n / n! y^n / (c + n),
// k = s + 1 when alpha >= beta and k = r + x otherwise: the Gaussian hypergeometric
// 2F1(c, k; c + 1; y) / c, a series of positive terms. Both forms agree (with
// every derivative) at alpha = beta, where y = 0. The second form is the first
// with (r, alpha) and (s, beta) trading places: the derivatives of log I are
// written once, in the first form's order, and mapped onto the parameters.
//
// Phi's coefficients depend on x alone, so for every distinct x they become
// polynomials in y (of the degree that the largest y among those customers
// needs), evaluated by Horner's rule four customers at a time; a degree beyond
// kMaxDegree (y near 1) sums the series customer by customer instead.

// Phi and its first and second derivatives with respect to k, c and y.
template <class V>
struct PhiValues {
    V v, k, c, y, kk, kc, ky, cc, cy, yy;
};

constexpr long kMaxSeriesTerms = 1'000'000;

PhiValues<double> phi_series(double k, double c, double y, bool second) {
    PhiValues<double> s{};
    // term n: p = (k)_n / n! y^n; p1 = n (k)_n / n! y^(n-1); p2 = n (n-1) (k)_n / n! y^(n-2);
    // dk = d log (k)_n / dk = sum_{j<n} 1/(k+j); ek = sum_{j<n} 1/(k+j)^2
    double p = 1.0, p1 = 0.0, p2 = 0.0, dk = 0.0, ek = 0.0;
    for (long n = 0; n < kMaxSeriesTerms; ++n) {
        const double dn = static_cast<double>(n);
        const double inv = 1.0 / (c + dn);
        const double term = p * inv;
        s.v += term;
        if (second) {
            const double inv2 = inv * inv;
            s.c -= p * inv2;
            s.cc += 2.0 * p * inv2 * inv;
            s.k += term * dk;
            s.kk += term * (dk * dk - ek);
            s.kc -= p * inv2 * dk;
            s.y += p1 * inv;
            s.yy += p2 * inv;
            s.cy -= p1 * inv2;
            s.ky += p1 * inv * dk;
        }
        const double kn = k + dn;
        const double ratio = kn * y / (dn + 1.0);
        // done once the terms shrink for good (the ratio falls towards y) and what is
        // left is negligible; p2's terms trail p's by two powers of n / y
        if (ratio < 1.0 && n >= 2) {
            const double left = (second ? std::max(term, p2 * inv) : term) / (1.0 - ratio);
            if (left <= 1e-17 * (second ? std::min(s.v, s.yy) : s.v)) break;
        }
        p2 = kn * p1;
        p1 = kn * p;
        p *= ratio;
        dk += 1.0 / kn;
        ek += 1.0 / (kn * kn);
    }
    return s;
}

constexpr int kMaxDegree = 160;

// Phi's series for one x as polynomials in y, good for y up to `largest_y`:
// coefficients of Phi, Phi_c, Phi_cc, Phi_k, Phi_kk, Phi_kc (their y-derivatives
// come from Horner's rule). degree < 0: sum the series per customer.
struct PhiPolynomials {
    double k = 0.0, c = 0.0;
    int degree = -1;
    std::vector<double> v, c1, cc, k1, kk, kc;
};

PhiPolynomials phi_polynomials(double k, double c, double largest_y, bool second) {
    PhiPolynomials out;
    out.k = k;
    out.c = c;
    double q = 1.0, dk = 0.0, ek = 0.0, power = 1.0;  // q = (k)_n / n!, power = largest_y^n
    double first = 0.0, second_y = 0.0;               // Phi and Phi_yy at y = 0: the smallest they get
    for (int n = 0; n <= kMaxDegree; ++n) {
        const double dn = n, inv = 1.0 / (c + dn);
        out.v.push_back(q * inv);
        if (second) {
            out.c1.push_back(-q * inv * inv);
            out.cc.push_back(2.0 * q * inv * inv * inv);
            out.k1.push_back(q * dk * inv);
            out.kk.push_back(q * (dk * dk - ek) * inv);
            out.kc.push_back(-q * dk * inv * inv);
        }
        if (n == 0) first = q * inv;
        if (n == 2) second_y = 2.0 * q * inv;
        const double kn = k + dn;
        const double ratio = kn * largest_y / (dn + 1.0);
        if (n >= 2 && ratio < 1.0) {
            const double term = q * power * inv;
            const double left = second ? std::max(term, dn * (dn - 1.0) * q * inv * (largest_y > 0.0 ? power / (largest_y * largest_y) : 0.0))
                                       : term;
            if (left / (1.0 - ratio) <= 1e-17 * (second ? std::min(first, second_y) : first)) {
                out.degree = n;
                return out;
            }
        }
        q *= kn / (dn + 1.0);
        power *= largest_y;
        dk += 1.0 / kn;
        ek += 1.0 / (kn * kn);
    }
    return out;  // degree -1: y too close to 1 for a polynomial
}

// Horner's rule for the ten values at four y.
SEGMORA_INLINE PhiValues<f64x4> phi_horner(const PhiPolynomials& poly, const f64x4& y, bool second) {
    PhiValues<f64x4> out{};
    const f64x4 zero = splat(0.0);
    f64x4 p0 = zero, p0d = zero, p0dd = zero;
    if (!second) {
        for (int n = poly.degree; n >= 0; --n) p0 = p0 * y + poly.v[n];
        out.v = p0;
        return out;
    }
    f64x4 p1 = zero, p1d = zero, p2 = zero, p3 = zero, p3d = zero, p4 = zero, p5 = zero;
    for (int n = poly.degree; n >= 0; --n) {
        p0dd = p0dd * y + p0d;
        p0d = p0d * y + p0;
        p0 = p0 * y + poly.v[n];
        p1d = p1d * y + p1;
        p1 = p1 * y + poly.c1[n];
        p2 = p2 * y + poly.cc[n];
        p3d = p3d * y + p3;
        p3 = p3 * y + poly.k1[n];
        p4 = p4 * y + poly.kk[n];
        p5 = p5 * y + poly.kc[n];
    }
    out.v = p0;
    out.y = p0d;
    out.yy = 2.0 * p0dd;
    out.c = p1;
    out.cy = p1d;
    out.cc = p2;
    out.k = p3;
    out.ky = p3d;
    out.kk = p4;
    out.kc = p5;
    return out;
}

// The series summed for each of four y (degree < 0).
PhiValues<f64x4> phi_lanes_by_series(const PhiPolynomials& poly, const f64x4& y, bool second) {
    PhiValues<f64x4> out{};
    for (int lane = 0; lane < 4; ++lane) {
        const PhiValues<double> s = phi_series(poly.k, poly.c, y[lane], second);
        out.v[lane] = s.v, out.k[lane] = s.k, out.c[lane] = s.c, out.y[lane] = s.y, out.kk[lane] = s.kk;
        out.kc[lane] = s.kc, out.ky[lane] = s.ky, out.cc[lane] = s.cc, out.cy[lane] = s.cy, out.yy[lane] = s.yy;
    }
    return out;
}

SEGMORA_INLINE PhiValues<f64x4> phi_lanes(const PhiPolynomials& poly, const f64x4& y, bool second) {
    return poly.degree >= 0 ? phi_horner(poly, y, second) : phi_lanes_by_series(poly, y, second);
}

// Symmetric 4 x 4 matrices as their 10 entries on and above the diagonal.
constexpr int sym(int i, int j) noexcept {
    if (i > j) std::swap(i, j);
    return i * 4 - i * (i - 1) / 2 + (j - i);
}

// Gradient and Hessian of log I at one point, in the first form's order
// (r, alpha, s, beta), from Phi's values: M = m + tau, L = min(alpha, beta) + tau,
// u = log M.
template <class V>
struct LogTailDerivatives {
    V g[4];
    V h[10];
};

template <class V>
SEGMORA_INLINE LogTailDerivatives<V> log_tail_derivatives(const PhiValues<V>& phi, const V& big, const V& low,
                                                          const V& u, double c) {
    const V inv = 1.0 / phi.v;
    const V fk = phi.k * inv, fc = phi.c * inv, fy = phi.y * inv;
    const V fkk = phi.kk * inv - fk * fk, fkc = phi.kc * inv - fk * fc, fky = phi.ky * inv - fk * fy;
    const V fcc = phi.cc * inv - fc * fc, fcy = phi.cy * inv - fc * fy, fyy = phi.yy * inv - fy * fy;
    const V im = 1.0 / big, im2 = im * im, lm2 = low * im2;  // 1/M, 1/M^2, L/M^2
    LogTailDerivatives<V> d;
    d.g[0] = fc - u;
    d.g[1] = fy * lm2 - c * im;
    d.g[2] = fc + fk - u;
    d.g[3] = -fy * im;
    d.h[sym(0, 0)] = fcc;
    d.h[sym(0, 1)] = fcy * lm2 - im;
    d.h[sym(0, 2)] = fcc + fkc;
    d.h[sym(0, 3)] = -fcy * im;
    d.h[sym(1, 1)] = c * im2 + fyy * lm2 * lm2 - 2.0 * fy * lm2 * im;
    d.h[sym(1, 2)] = (fcy + fky) * lm2 - im;
    d.h[sym(1, 3)] = fy * im2 - fyy * lm2 * im;
    d.h[sym(2, 2)] = fcc + 2.0 * fkc + fkk;
    d.h[sym(2, 3)] = -(fcy + fky) * im;
    d.h[sym(3, 3)] = fyy * im2;
    return d;
}

// Everything an evaluation shares across customers.
struct ParetoShared {
    double r, alpha, s, beta;
    bool alpha_big;  // alpha >= beta: the first form
    double big, low, gap, log_s;
    // I(0) of the customers with x = 0: log value and derivatives, first-form order
    double zero_value;
    LogTailDerivatives<f64x4> zero;
};

// Parameter index of the first form's index i (the second form swaps (r, alpha) with (s, beta)).
SEGMORA_INLINE int param(bool alpha_big, int i) noexcept { return alpha_big ? i : (i + 2) % 4; }

enum ParetoSum { kPValue, kPg0, kPh0 = kPg0 + 4, kParetoSums = kPh0 + 10 };

// A run of customers with frequency x (the x = 0 customers when `zero`):
// log of [A + s (I(t) - I(T))] and, when `second`, its derivatives.
SEGMORA_TARGET_CLONES void pareto_lanes(const ParetoShared& sh, const PhiPolynomials& poly, double x, bool zero,
                                        const double* t, const double* age, std::size_t n, bool second, double* out) {
    f64x4 acc[kParetoSums];
    for (f64x4& v : acc) v = splat(0.0);
    const double rx = sh.r + x, c = poly.c;
    for (std::size_t i = 0; i < n; i += 4) {
        const f64x4 weight = lane_weights(i, n);
        const f64x4 tau_T = lanes::load_part(age + i, n - i, 1.0);
        const f64x4 tau_t = zero ? splat(0.0) : lanes::load_part(t + i, n - i, 0.0);
        const f64x4 at_alpha = sh.alpha + tau_T, at_beta = sh.beta + tau_T;
        const f64x4 la = lanes::log_kernel(at_alpha), lb = lanes::log_kernel(at_beta);
        const f64x4 big_T = sh.alpha_big ? at_alpha : at_beta, low_T = sh.alpha_big ? at_beta : at_alpha;
        const f64x4 u_T = sh.alpha_big ? la : lb;
        const PhiValues<f64x4> phi_T = phi_lanes(poly, sh.gap / big_T, second);
        const f64x4 log_T = lanes::log_kernel(phi_T.v) - c * u_T;
        f64x4 big_t = splat(0.0), u_t = splat(0.0), log_t = splat(sh.zero_value);
        PhiValues<f64x4> phi_t{};
        if (!zero) {
            big_t = sh.big + tau_t;
            u_t = lanes::log_kernel(big_t);
            phi_t = phi_lanes(poly, sh.gap / big_t, second);
            log_t = lanes::log_kernel(phi_t.v) - c * u_t;
        }
        // log A, log s I(t), log s I(T); I(t) - I(T) vanishes when the last
        // purchase is at T. Scaled by the larger of A and s I(t) before adding.
        const f64x4 log_a = -rx * la - sh.s * lb;
        const f64x4 lt = sh.log_s + log_t, lT = sh.log_s + log_T;
        const auto has_gap = tau_t < tau_T;
        const f64x4 open = lanes::select(has_gap, splat(1.0), splat(0.0));
        const f64x4 top = lanes::select(has_gap, lanes::max(log_a, lt), log_a);
        const f64x4 wa = lanes::exp_kernel(log_a - top);
        const f64x4 wt = open * lanes::exp_kernel(lt - top);
        const f64x4 wT = open * lanes::exp_kernel(lT - top);
        f64x4 total = wa + wt - wT;
        total = lanes::select(total > 0.0, total, wa);  // I(t) - I(T) lost to rounding next to a negligible A
        acc[kPValue] += weight * (top + lanes::log_kernel(total));
        if (!second) continue;
        // derivatives of the three logs, then of the log of their weighted sum
        const LogTailDerivatives<f64x4> dT = log_tail_derivatives(phi_T, big_T, low_T, u_T, c);
        const LogTailDerivatives<f64x4> dt =
            zero ? sh.zero : log_tail_derivatives(phi_t, big_t, big_t - sh.gap, u_t, c);
        const f64x4 scale = weight / total;
        const f64x4 oa = wa * scale, ot = wt * scale, oT = -wT * scale;
        f64x4 g[4], gA[4], gt[4], gT[4];
        const f64x4 ia = 1.0 / at_alpha, ib = 1.0 / at_beta;
        gA[0] = -la, gA[1] = -rx * ia, gA[2] = -lb, gA[3] = -sh.s * ib;
        for (int j = 0; j < 4; ++j) {
            gt[param(sh.alpha_big, j)] = dt.g[j];
            gT[param(sh.alpha_big, j)] = dT.g[j];
        }
        gt[2] += 1.0 / sh.s;
        gT[2] += 1.0 / sh.s;
        for (int j = 0; j < 4; ++j) g[j] = oa * gA[j] + ot * gt[j] + oT * gT[j];
        for (int i2 = 0; i2 < 4; ++i2)
            for (int j = i2; j < 4; ++j) {
                const int canonical = sym(param(sh.alpha_big, i2), param(sh.alpha_big, j));
                f64x4 h = oa * gA[i2] * gA[j] + ot * (dt.h[canonical] + gt[i2] * gt[j]) + oT * (dT.h[canonical] + gT[i2] * gT[j]);
                h -= g[i2] * g[j];  // the weights are 0 or 1: g g^T carries one factor of them
                acc[kPh0 + sym(i2, j)] += h;
            }
        // A's own second derivatives, and log s's
        acc[kPh0 + sym(0, 1)] -= oa * ia;
        acc[kPh0 + sym(1, 1)] += oa * rx * ia * ia;
        acc[kPh0 + sym(2, 3)] -= oa * ib;
        acc[kPh0 + sym(3, 3)] += oa * sh.s * ib * ib;
        acc[kPh0 + sym(2, 2)] -= (ot + oT) / (sh.s * sh.s);
        for (int j = 0; j < 4; ++j) acc[kPg0 + j] += g[j];
    }
    for (int j = 0; j < kParetoSums; ++j) out[j] += lanes::sum(acc[j]);
}

// Per customer with x = 0 or with one x, everything that does not depend on
// the customer: lgamma(r+x) - lgamma(r) + r log alpha + s log beta.
Sums<4> pareto_frequency_terms(const Params4& p, const PurchaseData& d, bool second) {
    const double r = p[0], alpha = p[1], s = p[2], beta = p[3];
    Sums<4> out;
    const double lg_r = log_gamma(r);
    const double dg_r = second ? digamma(r) : 0.0, tg_r = second ? trigamma(r) : 0.0;
    for (std::size_t k = 0; k < d.distinct.size(); ++k) {
        const double x = d.distinct[k], n = d.count(k);
        out.value += n * (log_gamma(r + x) - lg_r);
        if (!second) continue;
        out.g[0] += n * (digamma(r + x) - dg_r);
        out.h[0] += n * (trigamma(r + x) - tg_r);
    }
    const double n = d.customers;
    out.value += n * (r * std::log(alpha) + s * std::log(beta));
    if (second) {
        out.g[0] += n * std::log(alpha);
        out.g[1] += n * r / alpha;
        out.g[2] += n * std::log(beta);
        out.g[3] += n * s / beta;
        out.h[1] = out.h[4] = n / alpha;
        out.h[5] = -n * r / (alpha * alpha);
        out.h[11] = out.h[14] = n / beta;
        out.h[15] = -n * s / (beta * beta);
    }
    return out;
}

ParetoShared pareto_shared(const Params4& p, bool second) {
    ParetoShared sh{};
    sh.r = p[0], sh.alpha = p[1], sh.s = p[2], sh.beta = p[3];
    sh.alpha_big = sh.alpha >= sh.beta;
    sh.big = std::max(sh.alpha, sh.beta);
    sh.low = std::min(sh.alpha, sh.beta);
    sh.gap = sh.big - sh.low;
    sh.log_s = std::log(sh.s);
    // I(0) for x = 0
    const double k = sh.alpha_big ? sh.s + 1.0 : sh.r, c = sh.r + sh.s;
    const PhiValues<double> phi = phi_series(k, c, sh.gap / sh.big, second);
    const double u = std::log(sh.big);
    sh.zero_value = std::log(phi.v) - c * u;
    if (second) {
        const LogTailDerivatives<double> d = log_tail_derivatives(phi, sh.big, sh.low, u, c);
        for (int j = 0; j < 4; ++j) sh.zero.g[j] = splat(d.g[j]);
        for (int j = 0; j < 10; ++j) sh.zero.h[j] = splat(d.h[j]);
    }
    return sh;
}

void add_pareto_sums(const double* acc, bool second, Sums<4>& s) {
    s.value += acc[kPValue];
    if (!second) return;
    for (int i = 0; i < 4; ++i) {
        s.g[i] += acc[kPg0 + i];
        for (int j = 0; j < 4; ++j) s.h[i * 4 + j] += acc[kPh0 + sym(i, j)];
    }
}

Sums<4> pareto_sums(const Params4& p, const PurchaseData& d, ThreadPool& pool, bool second) {
    const ParetoShared sh = pareto_shared(p, second);
    const double c0 = p[0] + p[2];
    const auto k_of = [&](double x) { return sh.alpha_big ? p[2] + 1.0 : p[0] + x; };
    const PhiPolynomials zero_poly = phi_polynomials(k_of(0.0), c0, sh.gap / (sh.big + d.earliest_zero_age), second);
    std::vector<PhiPolynomials> polys;
    polys.reserve(d.distinct.size());
    for (std::size_t k = 0; k < d.distinct.size(); ++k) {
        const double x = d.distinct[k];
        polys.push_back(phi_polynomials(k_of(x), c0 + x, sh.gap / (sh.big + d.earliest[k]), second));
    }
    Sums<4> total = pareto_frequency_terms(p, d, second);
    total.add(chunked_sum<4>(pool, d.zero_age.size(), [&](std::size_t begin, std::size_t end, Sums<4>& s) {
        double acc[kParetoSums] = {};
        pareto_lanes(sh, zero_poly, 0.0, true, nullptr, d.zero_age.data() + begin, end - begin, second, acc);
        add_pareto_sums(acc, second, s);
    }));
    total.add(chunked_sum<4>(pool, d.t.size(), [&](std::size_t begin, std::size_t end, Sums<4>& s) {
        double acc[kParetoSums] = {};
        for_each_level_run(d, begin, end, [&](std::size_t from, std::size_t to, std::size_t k) {
            pareto_lanes(sh, polys[k], d.distinct[k], false, d.t.data() + from, d.age.data() + from, to - from, second, acc);
        });
        add_pareto_sums(acc, second, s);
    }));
    return total;
}

// log I(tau) (prediction path: the series per customer).
double log_tail(const Params4& p, double x, double tau) {
    const double r = p[0], alpha = p[1], s = p[2], beta = p[3];
    const bool alpha_big = alpha >= beta;
    const double big = std::max(alpha, beta), low = std::min(alpha, beta);
    const double c = r + s + x;
    return std::log(phi_series(alpha_big ? s + 1.0 : r + x, c, (big - low) / (big + tau), false).v) - c * std::log(big + tau);
}

// P(alive) = A / [A + s (I(t) - I(T))].
double pareto_alive(const Params4& p, double x, double t, double age) {
    const double r = p[0], alpha = p[1], s = p[2], beta = p[3];
    const double log_a = -(r + x) * std::log(alpha + age) - s * std::log(beta + age);
    if (!(t < age)) return 1.0;
    const double lt = std::log(s) + log_tail(p, x, t), lT = std::log(s) + log_tail(p, x, age);
    const double top = std::max(log_a, lt);
    const double wa = std::exp(log_a - top);
    double total = wa + std::exp(lt - top) - std::exp(lT - top);
    if (!(total > 0.0)) total = wa;
    return wa / total;
}

Sums<4> purchase_sums(PurchaseModel model, const Params4& p, const PurchaseData& d, ThreadPool& pool, bool second) {
    return model == PurchaseModel::BetaGeo ? bgnbd_sums(p, d, pool, second) : pareto_sums(p, d, pool, second);
}

// ---- Gamma-Gamma ----
//
// For a repeat customer with x purchases of mean value m:
// log L = log G(px+q) - log G(px) - log G(q) + q log v + (px-1) log m + px log x - (px+q) log(v + x m).

using Params3 = std::array<double, 3>;

struct SpendData {
    std::vector<double> distinct, count;  // distinct frequencies of the repeat customers
    std::vector<double> x, m;             // repeat customers, in input order
    double customers = 0.0;
    double sum_x_log_m = 0.0, sum_log_m = 0.0, sum_x_log_x = 0.0, mean_m = 0.0;
};

SpendData prepare(const SpendHistories& h) {
    SpendData d;
    // A repeat customer whose purchases were all worth 0 has no spend to model
    // (its likelihood holds log m): it is left out like one without repeats.
    const auto fitted = [&](std::size_t i) { return h.frequency[i] != 0.0 && h.monetary_value[i] != 0.0; };
    std::size_t repeat = 0;
    for (std::size_t i = 0; i < h.frequency.size(); ++i) repeat += fitted(i) ? 1 : 0;
    d.x.resize(repeat);
    d.m.resize(repeat);
    for (std::size_t i = 0, j = 0; i < h.frequency.size(); ++i) {
        if (!fitted(i)) continue;
        d.x[j] = h.frequency[i];
        d.m[j++] = h.monetary_value[i];
    }
    d.customers = static_cast<double>(d.x.size());
    std::vector<std::uint32_t> level = level_of(d.x, d.distinct);
    d.count.assign(d.distinct.size(), 0.0);
    for (std::uint32_t k : level) d.count[k] += 1.0;
    for (std::size_t k = 0; k < d.distinct.size(); ++k) d.sum_x_log_x += d.count[k] * d.distinct[k] * std::log(d.distinct[k]);
    double logs[kBlock];
    for (std::size_t begin = 0; begin < d.x.size(); begin += kBlock) {
        const std::size_t n = std::min(kBlock, d.x.size() - begin);
        log_array(d.m.data() + begin, logs, n);
        for (std::size_t i = 0; i < n; ++i) {
            d.sum_x_log_m += d.x[begin + i] * logs[i];
            d.sum_log_m += logs[i];
            d.mean_m += d.m[begin + i];
        }
    }
    if (!d.x.empty()) d.mean_m /= d.customers;
    return d;
}

// Sums over repeat customers of log(v + x m) and 1 / (v + x m), each alone and
// times x, and of the squares of the second (the last four only when `second`).
enum SpendSum { kSl, kSxl, kSu, kSxu, kSu2, kSxu2, kSpendSums };

SEGMORA_TARGET_CLONES void spend_lanes(double v, const double* x, const double* m, std::size_t n, bool second, double* out) {
    f64x4 acc[kSpendSums];
    for (f64x4& a : acc) a = splat(0.0);
    for (std::size_t i = 0; i < n; i += 4) {
        const f64x4 weight = lane_weights(i, n);
        const f64x4 xs = lanes::load_part(x + i, n - i, 0.0);
        const f64x4 shifted = v + xs * lanes::load_part(m + i, n - i, 0.0);
        const f64x4 logs = weight * lanes::log_kernel(shifted);
        acc[kSl] += logs;
        acc[kSxl] += xs * logs;
        if (!second) continue;
        const f64x4 u = weight / shifted;
        acc[kSu] += u;
        acc[kSxu] += xs * u;
        acc[kSu2] += u * u;
        acc[kSxu2] += xs * u * u;
    }
    for (int j = 0; j < kSpendSums; ++j) out[j] += lanes::sum(acc[j]);
}

Sums<3> spend_sums(const Params3& p, const SpendData& d, ThreadPool& pool, bool second) {
    const double pp = p[0], q = p[1], v = p[2];
    Sums<3> s;
    const double lg_q = log_gamma(q), dg_q = second ? digamma(q) : 0.0, tg_q = second ? trigamma(q) : 0.0;
    for (std::size_t k = 0; k < d.distinct.size(); ++k) {
        const double x = d.distinct[k], n = d.count[k];
        s.value += n * (log_gamma(pp * x + q) - log_gamma(pp * x) - lg_q);
        if (!second) continue;
        const double dg = digamma(pp * x + q), tg = trigamma(pp * x + q);
        s.g[0] += n * x * (dg - digamma(pp * x));
        s.g[1] += n * (dg - dg_q);
        s.h[0] += n * x * x * (tg - trigamma(pp * x));
        s.h[1] += n * x * tg;
        s.h[4] += n * (tg - tg_q);
    }
    s.h[3] = s.h[1];
    const double n = d.customers;
    s.value += n * q * std::log(v) + pp * d.sum_x_log_m - d.sum_log_m + pp * d.sum_x_log_x;
    const std::size_t chunks = (d.x.size() + kChunk - 1) / kChunk;
    std::vector<std::array<double, kSpendSums>> parts(chunks);
    const auto run = [&](std::size_t c) {
        const std::size_t begin = c * kChunk, end = std::min(d.x.size(), begin + kChunk);
        parts[c].fill(0.0);
        spend_lanes(v, d.x.data() + begin, d.m.data() + begin, end - begin, second, parts[c].data());
    };
    if (chunks == 1) run(0);
    else if (chunks > 1) pool.run_tasks(chunks, run);
    std::array<double, kSpendSums> t{};
    for (const auto& part : parts)
        for (int j = 0; j < kSpendSums; ++j) t[j] += part[j];
    s.value -= pp * t[kSxl] + q * t[kSl];
    if (!second) return s;
    const double lv = std::log(v);
    s.g[0] += d.sum_x_log_m + d.sum_x_log_x - t[kSxl];
    s.g[1] += n * lv - t[kSl];
    s.g[2] += n * q / v - pp * t[kSxu] - q * t[kSu];
    s.h[2] = s.h[6] = -t[kSxu];
    s.h[5] = s.h[7] = n / v - t[kSu];
    s.h[8] = -n * q / (v * v) + pp * t[kSxu2] + q * t[kSu2];
    return s;
}

// ---- Newton's method on log-parameters ----

// Solves (-H + shift I) d = g by Cholesky; false when the matrix is not positive definite.
template <std::size_t D>
bool solve_shifted(const std::array<double, D * D>& h, const std::array<double, D>& g, double shift,
                   std::array<double, D>& d) {
    std::array<double, D * D> l{};
    for (std::size_t i = 0; i < D; ++i) {
        for (std::size_t j = 0; j <= i; ++j) {
            double sum = -h[i * D + j] + (i == j ? shift : 0.0);
            for (std::size_t k = 0; k < j; ++k) sum -= l[i * D + k] * l[j * D + k];
            if (i == j) {
                if (!(sum > 0.0)) return false;
                l[i * D + i] = std::sqrt(sum);
            } else {
                l[i * D + j] = sum / l[j * D + j];
            }
        }
    }
    std::array<double, D> y{};
    for (std::size_t i = 0; i < D; ++i) {
        double sum = g[i];
        for (std::size_t k = 0; k < i; ++k) sum -= l[i * D + k] * y[k];
        y[i] = sum / l[i * D + i];
    }
    for (std::size_t i = D; i-- > 0;) {
        double sum = y[i];
        for (std::size_t k = i + 1; k < D; ++k) sum -= l[k * D + i] * d[k];
        d[i] = sum / l[i * D + i];
    }
    return true;
}

template <std::size_t D>
bool all_finite(const Sums<D>& s) {
    if (!std::isfinite(s.value)) return false;
    for (double v : s.g) if (!std::isfinite(v)) return false;
    for (double v : s.h) if (!std::isfinite(v)) return false;
    return true;
}

template <std::size_t D>
struct Maximum {
    std::array<double, D> theta{};
    double value = 0.0;
    int n_iter = 0;
    bool converged = false;
};

// Maximises f over log-parameters theta. evaluate(theta, second) gives the sums
// (gradient and Hessian with respect to theta when `second`).
template <std::size_t D, class Evaluate>
Maximum<D> maximise(const Evaluate& evaluate, std::array<double, D> theta, const FitOptions& options) {
    Maximum<D> out;
    Sums<D> at = evaluate(theta, true);
    if (!all_finite(at)) throw SegmoraError::clustering("the log-likelihood is not finite at the starting point");
    for (int iter = 1; iter <= options.max_iter; ++iter) {
        poll_interrupt();
        double scale = 1.0;
        for (std::size_t i = 0; i < D; ++i) scale = std::max(scale, std::fabs(at.h[i * D + i]));
        std::array<double, D> step{};
        double shift = 0.0;
        while (!solve_shifted<D>(at.h, at.g, shift, step)) shift = shift == 0.0 ? 1e-10 * scale : shift * 10.0;
        double largest = 0.0;
        for (double v : step) largest = std::max(largest, std::fabs(v));
        if (largest > kMaxStep)
            for (double& v : step) v *= kMaxStep / largest;
        double slope = 0.0;
        for (std::size_t i = 0; i < D; ++i) slope += at.g[i] * step[i];
        // rounding in sums over many customers: improvements below this are noise
        const double noise = 1e-12 * (1.0 + std::fabs(at.value));
        const auto enough = [&](double value, double length) {
            return std::isfinite(value) && value >= at.value + 1e-4 * length * slope - noise;
        };
        const auto moved = [&](double length) {
            std::array<double, D> next{};
            for (std::size_t i = 0; i < D; ++i) next[i] = std::clamp(theta[i] + length * step[i], -kBound, kBound);
            return next;
        };
        // The full step is evaluated with its derivatives: it is nearly always
        // taken, and the next iteration starts from them.
        double length = 1.0;
        std::array<double, D> next = moved(length);
        Sums<D> trial = evaluate(next, true);
        double value = trial.value;
        bool accepted = enough(value, length);
        for (int halving = 0; !accepted && halving < 60; ++halving) {
            length *= 0.5;
            next = moved(length);
            value = evaluate(next, false).value;
            accepted = enough(value, length);
        }
        if (!accepted) {
            // no ascent left within rounding: a maximum when the Newton step was tiny anyway
            out.converged = shift == 0.0 && largest <= options.tol * 1e3;
            break;
        }
        theta = next;
        out.n_iter = iter;
        if (shift == 0.0 && length == 1.0 && largest <= options.tol) {
            at.value = value;
            out.converged = true;
            break;
        }
        at = length == 1.0 ? trial : evaluate(theta, true);
        if (!all_finite(at)) break;
    }
    out.theta = theta;
    out.value = at.value;
    return out;
}

Params4 exp4(const std::array<double, 4>& theta) {
    return {std::exp(theta[0]), std::exp(theta[1]), std::exp(theta[2]), std::exp(theta[3])};
}

void require_customers(std::size_t n, const char* what) {
    if (n == 0) throw SegmoraError::invalid_config(format("cannot fit {} without customers", what));
}

const char* model_name(PurchaseModel model) { return model == PurchaseModel::BetaGeo ? "BG/NBD" : "Pareto/NBD"; }

}  // namespace

// ---- public ----

std::optional<std::string> check_purchases(const PurchaseHistories& data) {
    const std::size_t n = data.frequency.size();
    if (data.recency.size() != n || data.age.size() != n)
        return format("frequency, recency and T must have the same length, got {}, {} and {}", n, data.recency.size(),
                      data.age.size());
    if (purchases_pass(data.frequency.data(), data.recency.data(), data.age.data(), n)) return std::nullopt;
    if (auto issue = check_frequency(data.frequency)) return issue;
    if (auto issue = check_column("recency", data.recency)) return issue;
    if (auto issue = check_column("T", data.age)) return issue;
    for (std::size_t i = 0; i < n; ++i) {
        if (data.recency[i] > data.age[i])
            return format("recency must not exceed T; recency[{}] is {} and T[{}] is {}", i, data.recency[i], i, data.age[i]);
        if (data.frequency[i] == 0.0 && data.recency[i] != 0.0)
            return format("recency must be 0 where frequency is 0; recency[{}] is {}", i, data.recency[i]);
    }
    return std::nullopt;
}

std::optional<std::string> check_spend(const SpendHistories& data) {
    const std::size_t n = data.frequency.size();
    if (data.monetary_value.size() != n)
        return format("frequency and monetary_value must have the same length, got {} and {}", n, data.monetary_value.size());
    if (spend_pass(data.frequency.data(), data.monetary_value.data(), n)) return std::nullopt;
    if (auto issue = check_frequency(data.frequency)) return issue;
    if (auto issue = check_column("monetary_value", data.monetary_value)) return issue;
    return std::nullopt;
}

FitResult fit_purchases(PurchaseModel model, const PurchaseHistories& data, const FitOptions& options) {
    require_customers(data.frequency.size(), model_name(model));
    const PurchaseData d = prepare(data);
    const std::unique_ptr<ThreadPool> pool = pool_for(options.n_jobs);
    const auto evaluate = [&](const std::array<double, 4>& theta, bool second) {
        const Params4 p = exp4(theta);
        Sums<4> s = purchase_sums(model, p, d, *pool, second);
        if (second) to_log_scale(s, p);
        return s;
    };
    // Start: unit shapes, and a rate scale giving the observed purchase rate.
    const double rate = std::max(d.mean_frequency, 1e-3) / std::max(d.mean_age, 1e-3);
    const double scale = std::log(std::clamp(1.0 / rate, 1e-6, 1e6));
    const std::array<double, 4> start = model == PurchaseModel::BetaGeo ? std::array<double, 4>{0.0, scale, 0.0, 0.0}
                                                                       : std::array<double, 4>{0.0, scale, 0.0, scale};
    const Maximum<4> best = maximise<4>(evaluate, start, options);
    FitResult out;
    out.params = exp4(best.theta);
    out.log_likelihood = best.value;
    out.n_iter = best.n_iter;
    out.converged = best.converged;
    return out;
}

FitResult fit_spend(const SpendHistories& data, const FitOptions& options) {
    const SpendData d = prepare(data);
    if (d.x.empty())
        throw SegmoraError::invalid_config("cannot fit Gamma-Gamma without repeat customers of positive spend (frequency > 0, monetary_value > 0)");
    const std::unique_ptr<ThreadPool> pool = pool_for(options.n_jobs);
    const auto evaluate = [&](const std::array<double, 3>& theta, bool second) {
        const Params3 p{std::exp(theta[0]), std::exp(theta[1]), std::exp(theta[2])};
        Sums<3> s = spend_sums(p, d, *pool, second);
        if (second) to_log_scale(s, p);
        return s;
    };
    // Start: p = 1, q = 2, v so that the mean spend p v / (q - 1) is the observed one.
    const std::array<double, 3> start{0.0, std::log(2.0), std::log(std::clamp(d.mean_m, 1e-6, 1e12))};
    const Maximum<3> best = maximise<3>(evaluate, start, options);
    FitResult out;
    out.params = {std::exp(best.theta[0]), std::exp(best.theta[1]), std::exp(best.theta[2]), 0.0};
    out.log_likelihood = best.value;
    out.n_iter = best.n_iter;
    out.converged = best.converged;
    return out;
}

LogLikelihood purchase_log_likelihood(PurchaseModel model, const std::array<double, 4>& params,
                                      const PurchaseHistories& data, std::optional<std::int32_t> n_jobs) {
    const PurchaseData d = prepare(data);
    const std::unique_ptr<ThreadPool> pool = pool_for(n_jobs);
    Sums<4> s = purchase_sums(model, params, d, *pool, true);
    to_log_scale(s, params);
    return {s.value, {s.g.begin(), s.g.end()}, {s.h.begin(), s.h.end()}};
}

LogLikelihood spend_log_likelihood(const std::array<double, 3>& params, const SpendHistories& data,
                                   std::optional<std::int32_t> n_jobs) {
    const SpendData d = prepare(data);
    const std::unique_ptr<ThreadPool> pool = pool_for(n_jobs);
    Sums<3> s = spend_sums(params, d, *pool, true);
    to_log_scale(s, params);
    return {s.value, {s.g.begin(), s.g.end()}, {s.h.begin(), s.h.end()}};
}

// ---- predictions ----

namespace {

// (1 - e^(k L)) / k, and -L at k = 0.
double one_minus_power_over(double k, double l) noexcept { return k == 0.0 ? -l : -std::expm1(k * l) / k; }

double bgnbd_alive(const Params4& p, double x, double t, double age) noexcept {
    if (x == 0.0) return 1.0;
    const double r = p[0], alpha = p[1], a = p[2], b = p[3];
    const double z = std::log(a / (b + x - 1.0)) + (r + x) * (std::log(alpha + age) - std::log(alpha + t));
    return z > 0.0 ? std::exp(-z) / (1.0 + std::exp(-z)) : 1.0 / (1.0 + std::exp(z));
}

// ((a + b + x - 1) / (a - 1)) (1 - q^(r+x) 2F1(r+x, b+x; a+b+x-1; 1 - q)) with q = (alpha + T) / (alpha + T + horizon):
// expected purchases in the horizon of a customer alive at T (x = 0, T = 0 for a new customer).
// Summed after Euler's transformation, q^(r+x) 2F1(...) = q^(a-1) 2F1(a+b-1-r, a-1; a+b+x-1; 1 - q): as
// written, the series grows like q^-(r+x-a) for frequent customers over long horizons, past the
// doubles' range while q^(r+x) underflows; transformed, it stays bounded. Its terms after the first
// carry the factor a - 1, which cancels the division, so a = 1 needs no special case.
double bgnbd_alive_purchases(double r, double alpha, double a, double b, double x, double age, double horizon) noexcept {
    if (horizon == 0.0) return 0.0;
    const double log_q = -std::log1p(horizon / (alpha + age)), z = horizon / (alpha + age + horizon);
    const double c = a + b + x - 1.0, d = a - 1.0;
    return c * one_minus_power_over(d, log_q) - std::exp(d * log_q) * hyp2f1_rest_over_b(a + b - 1.0 - r, d, c, z);
}

double pareto_alive_purchases(const Params4& p, double x, double age, double horizon) noexcept {
    const double r = p[0], alpha = p[1], s = p[2], beta = p[3];
    return (r + x) * (beta + age) / (alpha + age) * one_minus_power_over(s - 1.0, -std::log1p(horizon / (beta + age)));
}


double alive(PurchaseModel model, const Params4& p, double x, double t, double age) {
    return model == PurchaseModel::BetaGeo ? bgnbd_alive(p, x, t, age) : pareto_alive(p, x, t, age);
}

double alive_purchases(PurchaseModel model, const Params4& p, double x, double age, double horizon) {
    return model == PurchaseModel::BetaGeo ? bgnbd_alive_purchases(p[0], p[1], p[2], p[3], x, age, horizon)
                                           : pareto_alive_purchases(p, x, age, horizon);
}

double spend_mean(const Params3& p, double x, double m) noexcept {
    return p[0] * (p[2] + x * m) / (p[0] * x + p[1] - 1.0);
}

template <class PerCustomer>
std::vector<double> per_customer(std::size_t n, std::optional<std::int32_t> n_jobs, const PerCustomer& f) {
    std::vector<double> out(n);
    const std::unique_ptr<ThreadPool> pool = pool_for(n_jobs);
    chunked_for(*pool, n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) out[i] = f(i);
    });
    return out;
}

}  // namespace

std::vector<double> probability_alive(PurchaseModel model, const std::array<double, 4>& params,
                                      const PurchaseHistories& data, std::optional<std::int32_t> n_jobs) {
    return per_customer(data.frequency.size(), n_jobs, [&](std::size_t i) {
        return alive(model, params, data.frequency[i], data.recency[i], data.age[i]);
    });
}

std::vector<double> conditional_purchases(PurchaseModel model, const std::array<double, 4>& params, double horizon,
                                          const PurchaseHistories& data, std::optional<std::int32_t> n_jobs) {
    return per_customer(data.frequency.size(), n_jobs, [&](std::size_t i) {
        const double x = data.frequency[i], age = data.age[i];
        return alive(model, params, x, data.recency[i], age) * alive_purchases(model, params, x, age, horizon);
    });
}

double expected_purchases(PurchaseModel model, const std::array<double, 4>& params, double t) noexcept {
    if (model == PurchaseModel::BetaGeo) return bgnbd_alive_purchases(params[0], params[1], params[2], params[3], 0.0, 0.0, t);
    const double r = params[0], alpha = params[1], s = params[2], beta = params[3];
    return r * beta / alpha * one_minus_power_over(s - 1.0, -std::log1p(t / beta));
}

std::vector<double> expected_average_value(const std::array<double, 3>& params, std::span<const double> frequency,
                                           std::span<const double> monetary_value) {
    std::vector<double> out(frequency.size());
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = spend_mean(params, frequency[i], monetary_value[i]);
    return out;
}

std::vector<double> customer_lifetime_value(PurchaseModel model, const std::array<double, 4>& purchase_params,
                                            const std::array<double, 3>& spend_params, const PurchaseHistories& data,
                                            std::span<const double> monetary_value, const LifetimeValueOptions& options,
                                            std::optional<std::int32_t> n_jobs) {
    const double month = 30.0 / options.period_days;
    return per_customer(data.frequency.size(), n_jobs, [&](std::size_t i) {
        const double x = data.frequency[i], age = data.age[i];
        const double p_alive = alive(model, purchase_params, x, data.recency[i], age);
        const double spend = spend_mean(spend_params, x, monetary_value[i]);
        double value = 0.0, before = 0.0, discount = 1.0;
        for (int k = 1; k <= options.months; ++k) {
            const double upto = p_alive * alive_purchases(model, purchase_params, x, age, month * k);
            discount *= 1.0 + options.discount_rate;
            value += spend * (upto - before) / discount;
            before = upto;
        }
        return value;
    });
}

}  // namespace segmora::engine
