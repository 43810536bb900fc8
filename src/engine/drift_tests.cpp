#include "engine/drift_tests.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <numeric>
#include <optional>

#include "engine/thread_pool.hpp"
#include "error.hpp"
#include "interrupt.hpp"

namespace segmora::engine {

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kLn2Pi = 1.8378770664093454836;  // ln(2 pi)

inline double fraction(std::size_t count, std::size_t n) noexcept {
    return static_cast<double>(count) / static_cast<double>(n);
}

// ---- Kolmogorov distribution ----

// ln(k!) - [(k + 1/2) ln k - k + ln(2 pi) / 2]: Stirling's correction, k >= 1.
double stirling_correction(double k) {
    if (k < 10.0) return std::lgamma(k + 1.0) - ((k + 0.5) * std::log(k) - k + 0.5 * kLn2Pi);
    const double r = 1.0 / (k * k);
    return (1.0 / 12 - r * (1.0 / 360 - r * (1.0 / 1260 - r * (1.0 / 1680 - r * (1.0 / 1188 - r * 691.0 / 360360))))) / k;
}

// ln of C(n, j) a^(j-1) b^(n-j) with a = (D + j) / n, b = (n - D - j) / n: each
// factor relative to its Stirling form, so that nothing large cancels.
double smirnov_log_term(double n, double big_d, double j) {
    const double a = (big_d + j) / n;
    if (j == 0.0) return n * std::log1p(-big_d / n) - std::log(a);
    return j * std::log1p(big_d / j) + (n - j) * std::log1p(-big_d / (n - j)) +
           0.5 * std::log(n / (2.0 * kPi * j * (n - j))) + stirling_correction(n) - stirling_correction(j) -
           stirling_correction(n - j) - std::log(a);
}

// The sum over j of exp(log_term(j) - top) from `peak` outwards, at steps of
// `step`, until a term is negligible; nullopt when a side runs out of the
// range [0, last] before that (or, for step > 1, first crosses it).
template <class LogTerm>
std::optional<double> sum_outwards(const LogTerm& log_term, double peak, double top, double last, double step) {
    constexpr double kNegligible = 1e-20;
    double sum = 0.0;
    for (const double direction : {1.0, -1.0}) {
        for (double k = direction > 0 ? 0.0 : -1.0;; k += direction) {
            const double j = peak + k * step;
            if (j < 0.0 || j > last || (step > 1.0 && j <= 0.0)) {
                if (step > 1.0) return std::nullopt;
                break;
            }
            const double t = std::exp(log_term(j) - top);
            sum += t;
            if (t < kNegligible) break;
        }
    }
    return sum * step;
}

// P(D_n^+ >= d), the one-sided upper tail: Smirnov's sum for n up to a
// million, Maag and Dicaire's closed form beyond. The terms rise to one peak
// and fall; once they spread over many j (large n) they are a smooth function
// of j that vanishes at both ends, whose sum the trapezoidal rule on a coarser
// grid gives to full precision: the grid is halved until two sums agree, and
// the plain sum over every j is the fallback.
double smirnov_sf(std::uint64_t n_int, double d) {
    if (d >= 1.0) return 0.0;
    if (d <= 0.0) return 1.0;
    const double n = static_cast<double>(n_int);
    if (n_int > 1000000) {
        const double t = 6.0 * n * d + 1.0;
        return std::exp(-t * t / (18.0 * n));
    }
    const double big_d = n * d;
    double last = std::floor(n - big_d);
    if (n - big_d - last == 0.0) --last;  // that term has b = 0
    if (last < 0.0) return 0.0;
    auto log_term = [&](double j) { return smirnov_log_term(n, big_d, j); };
    double lo = 0.0, hi = last;
    while (hi - lo > 2.0) {
        const double m1 = lo + std::floor((hi - lo) / 3.0), m2 = hi - std::floor((hi - lo) / 3.0);
        if (log_term(m1) < log_term(m2)) lo = m1;
        else hi = m2;
    }
    double peak = lo, top = log_term(lo);
    for (double j = lo + 1.0; j <= hi; ++j)
        if (const double l = log_term(j); l > top) peak = j, top = l;
    std::optional<double> sum;
    // The spread of the terms around the peak, from the curvature of their log.
    const double dj = std::max(1.0, std::sqrt(peak));
    if (peak - dj > 0.0 && peak + dj <= last) {
        const double curvature = (log_term(peak + dj) - 2.0 * top + log_term(peak - dj)) / (dj * dj);
        constexpr double kCoarsest = 8.0;
        double step = curvature < 0.0 ? 0.25 / std::sqrt(-curvature) : 0.0;
        std::optional<double> coarse = step >= kCoarsest ? sum_outwards(log_term, peak, top, last, step) : std::nullopt;
        for (; coarse && step >= 2.0 * kCoarsest; step /= 2.0) {
            const std::optional<double> fine = sum_outwards(log_term, peak, top, last, step / 2.0);
            if (fine && std::fabs(*fine - *coarse) <= 1e-12 * *fine) {
                sum = fine;
                break;
            }
            coarse = fine;
        }
    }
    if (!sum) sum = sum_outwards(log_term, peak, top, last, 1.0);
    return std::min(1.0, d * *sum * std::exp(top));
}

// P(D_n < d) by Durbin's matrix (Marsaglia, Tsang and Wang): exact.
double durbin_cdf(std::uint64_t n_int, double d) {
    const double n = static_cast<double>(n_int);
    const auto k = static_cast<std::size_t>(n * d) + 1;
    const std::size_t m = 2 * k - 1;
    const double h = static_cast<double>(k) - n * d;
    using Square = std::vector<double>;
    Square H(m * m, 0.0);
    std::vector<double> inv_factorial(m + 1, 1.0);
    for (std::size_t i = 1; i <= m; ++i) inv_factorial[i] = inv_factorial[i - 1] / static_cast<double>(i);
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t j = 0; j < m && j <= i + 1; ++j) H[i * m + j] = inv_factorial[i + 1 - j];
    for (std::size_t i = 0; i < m; ++i) {
        H[i * m] -= std::pow(h, static_cast<double>(i + 1)) * inv_factorial[i + 1];
        H[(m - 1) * m + i] -= std::pow(h, static_cast<double>(m - i)) * inv_factorial[m - i];
    }
    if (2.0 * h - 1.0 > 0.0) H[(m - 1) * m] += std::pow(2.0 * h - 1.0, static_cast<double>(m)) * inv_factorial[m];

    auto multiply = [m](const Square& a, const Square& b) {
        Square c(m * m, 0.0);
        for (std::size_t i = 0; i < m; ++i)
            for (std::size_t l = 0; l < m; ++l) {
                const double x = a[i * m + l];
                if (x == 0.0) continue;
                for (std::size_t j = 0; j < m; ++j) c[i * m + j] += x * b[l * m + j];
            }
        return c;
    };
    // H^n by squaring, rescaled by 1e140 steps (`scale` counts them).
    constexpr double kBig = 1e140;
    Square result;
    int scale = 0;
    bool have = false;
    Square power = H;
    int power_scale = 0;
    for (std::uint64_t e = n_int;;) {
        if (e & 1) {
            if (!have) {
                result = power, scale = power_scale, have = true;
            } else {
                result = multiply(result, power);
                scale += power_scale;
            }
            if (result[(k - 1) * m + k - 1] > kBig) {
                for (double& x : result) x /= kBig;
                ++scale;
            }
        }
        e >>= 1;
        if (e == 0) break;
        power = multiply(power, power);
        power_scale *= 2;
        if (power[(k - 1) * m + k - 1] > kBig) {
            for (double& x : power) x /= kBig;
            ++power_scale;
        }
        poll_interrupt();
    }
    double s = result[(k - 1) * m + k - 1];
    for (std::uint64_t i = 1; i <= n_int; ++i) {  // times n! / n^n
        s = s * static_cast<double>(i) / n;
        if (s < 1.0 / kBig) {
            s *= kBig;
            --scale;
        }
    }
    return s * std::pow(kBig, scale);
}

// P(D_n <= d) by Pelz and Good's expansion in powers of 1 / sqrt(n).
double pelz_cdf(std::uint64_t n_int, double d) {
    constexpr int kMaxTerms = 20;
    constexpr double kEps = 1e-10;
    const double n = static_cast<double>(n_int);
    const double c = std::sqrt(2.0 * kPi), c2 = std::sqrt(kPi / 2.0);
    const double pi2 = kPi * kPi, pi4 = pi2 * pi2;
    const double root_n = std::sqrt(n);
    const double z = root_n * d, z2 = z * z, z4 = z2 * z2, z6 = z4 * z2;
    const double w = pi2 / (2.0 * z2);

    double sum = 0.0, term = 1.0;
    for (int j = 0; j <= kMaxTerms && term > kEps * sum; ++j) {
        const double t = j + 0.5;
        term = std::exp(-t * t * w);
        sum += term;
    }
    sum *= c / z;

    double part = 0.0;
    term = 1.0;
    for (int j = 0; j <= kMaxTerms && std::fabs(term) > kEps * std::fabs(part); ++j) {
        const double t = j + 0.5;
        term = (pi2 * t * t - z2) * std::exp(-pi2 * t * t / (2.0 * z2));
        part += term;
    }
    sum += part * c2 / (root_n * 3.0 * z4);

    part = 0.0;
    term = 1.0;
    for (int j = 0; j <= kMaxTerms && std::fabs(term) > kEps * std::fabs(part); ++j) {
        const double t = j + 0.5, t2 = t * t;
        term = 6 * z6 + 2 * z4 + pi2 * (2 * z4 - 5 * z2) * t2 + pi4 * (1 - 2 * z2) * t2 * t2;
        term *= std::exp(-pi2 * t2 / (2.0 * z2));
        part += term;
    }
    sum += part * c2 / (n * 36.0 * z * z6);

    part = 0.0;
    term = 1.0;
    for (int j = 1; j <= kMaxTerms && term > kEps * part; ++j) {
        const double t = j;
        term = pi2 * t * t * std::exp(-pi2 * t * t / (2.0 * z2));
        part += term;
    }
    sum -= part * c2 / (n * 18.0 * z * z2);

    part = 0.0;
    term = 1.0;
    for (int j = 0; j <= kMaxTerms && std::fabs(term) > kEps * std::fabs(part); ++j) {
        const double t = (j + 0.5) * (j + 0.5);
        term = -30 * z6 - 90 * z6 * z2 + pi2 * (135 * z4 - 96 * z6) * t + pi4 * (212 * z4 - 60 * z2) * t * t +
               pi2 * pi4 * t * t * t * (5 - 30 * z2);
        term *= std::exp(-t * pi2 / (2.0 * z2));
        part += term;
    }
    sum += part * c2 / (root_n * n * 3240.0 * z4 * z6);

    part = 0.0;
    term = 1.0;
    for (int j = 1; j <= kMaxTerms && std::fabs(term) > kEps * std::fabs(part); ++j) {
        const double t = static_cast<double>(j) * j;
        term = (3 * pi2 * t * z2 - pi4 * t * t) * std::exp(-pi2 * t / (2.0 * z2));
        part += term;
    }
    sum += part * c2 / (root_n * n * 108.0 * z6);
    return sum;
}

// ---- incomplete gamma ----

// ln(1 + t) - t without cancellation near 0.
double log1p_minus(double t) {
    if (std::fabs(t) >= 0.25) return std::log1p(t) - t;
    // -t^2/2 + t^3/3 - t^4/4 + ...
    double power = t * t, sum = 0.0;
    for (int k = 2; k < 60; ++k) {
        const double term = (k % 2 == 0 ? -power : power) / k;
        sum += term;
        if (std::fabs(term) <= std::fabs(sum) * 1e-17) break;
        power *= t;
    }
    return sum;
}

// x^a e^-x / Gamma(a), computed so that large a and x keep full precision:
// with Gamma(a) = sqrt(2 pi / a) a^a e^-a e^c (c the Stirling correction of a!)
// it is sqrt(a / (2 pi)) exp(a (ln(1 + t) - t) - c), t = (x - a) / a.
double gamma_prefactor(double a, double x) {
    if (a < 10.0) return std::exp(a * std::log(x) - x - std::lgamma(a));
    return std::exp(a * log1p_minus((x - a) / a) - stirling_correction(a)) * std::sqrt(a / (2.0 * kPi));
}

// Q(a, x) = Gamma(a, x) / Gamma(a).
double gamma_q(double a, double x) {
    if (!(x > 0.0)) return x == 0.0 ? 1.0 : std::numeric_limits<double>::quiet_NaN();
    if (std::isinf(x)) return 0.0;
    constexpr double kEps = 1e-16;
    constexpr int kMaxIterations = 100000000;
    const double prefactor = gamma_prefactor(a, x);
    if (x < a + 1.0) {  // P by its series, which is not close to 1 here
        double term = 1.0 / a, sum = term;
        for (int k = 1; k < kMaxIterations; ++k) {
            term *= x / (a + k);
            sum += term;
            if (term < sum * kEps) break;
            if (k % 65536 == 0) poll_interrupt();
        }
        return std::max(0.0, 1.0 - sum * prefactor);
    }
    // Q by its continued fraction (modified Lentz).
    constexpr double kTiny = 1e-300;
    double b = x + 1.0 - a, c = 1.0 / kTiny, dd = 1.0 / b, h = dd;
    for (int i = 1; i < kMaxIterations; ++i) {
        const double an = -i * (i - a);
        b += 2.0;
        dd = an * dd + b;
        if (std::fabs(dd) < kTiny) dd = kTiny;
        c = b + an / c;
        if (std::fabs(c) < kTiny) c = kTiny;
        dd = 1.0 / dd;
        const double step = dd * c;
        h *= step;
        if (std::fabs(step - 1.0) < kEps) break;
        if (i % 65536 == 0) poll_interrupt();
    }
    return std::min(1.0, prefactor * h);
}

}  // namespace

// ---- Kolmogorov-Smirnov ----

double kolmogorov_sf(std::uint64_t n_int, double d) {
    const double n = static_cast<double>(n_int);
    if (std::isnan(d)) return d;
    if (d >= 1.0) return 0.0;
    if (d <= 0.5 / n) return 1.0;
    if (n_int == 1) return 2.0 - 2.0 * d;
    const double w = n * d * d;
    double sf;
    if (n_int <= 140) {
        sf = w < 4.0 ? 1.0 - durbin_cdf(n_int, d) : 2.0 * smirnov_sf(n_int, d);
    } else if (w >= 2.2) {
        sf = 2.0 * smirnov_sf(n_int, d);
    } else if (n * std::pow(d, 1.5) < 1.4 && n_int <= 100000) {
        sf = 1.0 - durbin_cdf(n_int, d);
    } else {
        sf = 1.0 - pelz_cdf(n_int, d);
    }
    return std::clamp(sf, 0.0, 1.0);
}

double ks_exact_p(std::uint64_t m, std::uint64_t n, std::uint64_t h) {
    if (h == 0) return 1.0;
    if (m > n) std::swap(m, n);  // rows along the shorter side
    const std::uint64_t g = std::gcd(m, n);
    const std::uint64_t limit = (h - 1) * g;  // a point is inside when |i n - j m| <= limit
    // exited[j]: the share of paths to (i, j) that have left the band, as a
    // weighted mean of its two neighbours (i / (i + j) and j / (i + j)); every
    // outside point is 1. Sums of positive terms keep tiny p-values exact.
    std::vector<double> exited(n + 1, 1.0);
    constexpr double kFlush = 1e-305;  // below this a share counts as 0 (no subnormal arithmetic)
    for (std::uint64_t i = 0; i <= m; ++i) {
        if (i % 256 == 255) poll_interrupt();
        const std::uint64_t in = i * n;
        const std::uint64_t lo = in > limit ? (in - limit + m - 1) / m : 0;
        const std::uint64_t hi = std::min(n, (in + limit) / m);
        if (lo >= 1) exited[lo - 1] = 1.0;
        if (i == 0) {
            for (std::uint64_t j = 0; j <= hi; ++j) exited[j] = 0.0;
            continue;
        }
        const double di = static_cast<double>(i);
        for (std::uint64_t j = lo; j <= hi; ++j) {
            double e = exited[j];
            if (j > 0) {
                const double dj = static_cast<double>(j);
                e = (di * e + dj * exited[j - 1]) / (di + dj);
            }
            exited[j] = e < kFlush ? 0.0 : e;
        }
    }
    return std::clamp(exited[n], 0.0, 1.0);
}

namespace {

// How many of b's values come within the first p of the merged order.
std::size_t merge_split(std::span<const double> b, std::span<const double> c, std::size_t p) {
    std::size_t lo = p > c.size() ? p - c.size() : 0, hi = std::min(p, b.size());
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (b[mid] <= c[p - mid - 1]) lo = mid + 1;
        else hi = mid;
    }
    return lo;
}

// The first index in x[from, x.size()) whose value exceeds v (x sorted and
// x[from - 1] <= v), found by galloping from `from`.
std::size_t first_above(std::span<const double> x, std::size_t from, double v) {
    std::size_t lo = from, step = 1;
    while (lo + step <= x.size() && x[lo + step - 1] <= v) {
        lo += step;
        step *= 2;
    }
    const auto end = x.begin() + static_cast<std::ptrdiff_t>(std::min(x.size(), lo + step - 1));
    return static_cast<std::size_t>(std::upper_bound(x.begin() + static_cast<std::ptrdiff_t>(lo), end, v) - x.begin());
}

constexpr std::size_t kSkipFrom = 32;           // shorter skips are walked
constexpr std::size_t kStepsBetweenSkips = 32;  // walked before the next skip is tried

// The walk over the merged order of two sorted samples b and c (on a tie, b's
// value first). At the last copy of every value, i and j count the values of
// each side that are <= it; there the exact gap |i nc - j nb| is compared, and
// only where it reaches the widest so far is |i / nb - j / nc| computed in
// floating point.
struct MergedSamples {
    const double* b;
    const double* c;
    std::int64_t nb, nc;

    // A stretch of the walk: where it stands, the value just taken (or, before
    // the first, the first value itself), the widest gap + 1 so far (0: none
    // yet) and the largest fraction gap there.
    struct Cursor {
        std::size_t i, j;
        double prev;
        std::uint64_t widest = 0;
        double d = 0.0;
    };

    // At (i, j), about to take `v` (>= prev): the end of prev's run if v is larger.
    void look(Cursor& at, double v) const {
        const std::int64_t gap = static_cast<std::int64_t>(at.i) * nc - static_cast<std::int64_t>(at.j) * nb;
        const std::uint64_t run_end = v > at.prev;
        const std::uint64_t key = (static_cast<std::uint64_t>(gap < 0 ? -gap : gap) + 1) & (0 - run_end);
        if (key >= at.widest) [[unlikely]] {
            // Equal exact fractions (gap 0) divide to equal doubles.
            const double f = key == 1 ? 0.0
                                      : std::fabs(static_cast<double>(at.i) / static_cast<double>(nb) -
                                                  static_cast<double>(at.j) / static_cast<double>(nc));
            at.d = key > at.widest ? f : std::fmax(at.d, f);
            at.widest = key;
        }
        at.prev = v;
    }
    void take_b(Cursor& at) const {
        look(at, b[at.i]);
        ++at.i;
    }
    void take_c(Cursor& at) const {
        look(at, c[at.j]);
        ++at.j;
    }
    // At the end of the walk: the end of the last run, every value counted.
    void close(Cursor& at) const {
        at.prev = -std::numeric_limits<double>::infinity();
        look(at, std::numeric_limits<double>::infinity());
    }
    // Takes the smaller front value; both sides must have one left.
    void step(Cursor& at) const {
        const double x = b[at.i], y = c[at.j];
        const bool from_b = !(y < x);
        look(at, from_b ? x : y);
        at.i += from_b;
        at.j += !from_b;
    }
    // Skips a stretch in which no gap can reach the widest so far, so that no
    // place in it matters: from a gap g, fewer than (widest - |g|) / max(nb, nc)
    // steps cannot reach widest.
    void skip(Cursor& at, std::size_t i_end, std::size_t j_end) const {
        if (at.widest < 2) return;
        const std::uint64_t widest = at.widest - 1;
        const std::int64_t gap = static_cast<std::int64_t>(at.i) * nc - static_cast<std::int64_t>(at.j) * nb;
        const auto here = static_cast<std::uint64_t>(gap < 0 ? -gap : gap);
        if (here >= widest) return;
        const std::size_t steps =
            std::min<std::uint64_t>((widest - 1 - here) / static_cast<std::uint64_t>(std::max(nb, nc)), (i_end - at.i) + (j_end - at.j));
        if (steps < kSkipFrom) return;
        const std::size_t from_b = merge_split(std::span(b + at.i, i_end - at.i), std::span(c + at.j, j_end - at.j), steps);
        at.i += from_b;
        at.j += steps - from_b;
        at.prev = at.i == 0 ? c[at.j - 1] : at.j == 0 ? b[at.i - 1] : std::fmax(b[at.i - 1], c[at.j - 1]);
    }
    // In the middle of a run of equal values, goes to its end: no place
    // before it is the end of a run.
    void end_run(Cursor& at, std::size_t i_end, std::size_t j_end) const {
        if ((at.i < i_end && b[at.i] == at.prev) || (at.j < j_end && c[at.j] == at.prev)) {
            at.i = first_above(std::span(b, i_end), at.i, at.prev);
            at.j = first_above(std::span(c, j_end), at.j, at.prev);
        }
    }
    // Walks on to (i_end, j_end), skipping what cannot matter.
    void finish(Cursor& at, std::size_t i_end, std::size_t j_end) const {
        for (;;) {
            skip(at, i_end, j_end);
            end_run(at, i_end, j_end);
            const std::size_t sure = std::min(i_end - at.i, j_end - at.j);
            if (sure == 0) break;
            for (std::size_t t = std::min(sure, kStepsBetweenSkips); t > 0; --t) step(at);
        }
        while (at.i < i_end) {
            skip(at, i_end, j_end);
            for (std::size_t t = std::min(i_end - at.i, kStepsBetweenSkips); t > 0; --t) take_b(at);
        }
        while (at.j < j_end) {
            skip(at, i_end, j_end);
            for (std::size_t t = std::min(j_end - at.j, kStepsBetweenSkips); t > 0; --t) take_c(at);
        }
    }
    // `steps` steps of each of four cursors, interleaved so that their loads
    // overlap; each must have that many values left on both sides.
    void step_four(Cursor* cursors, std::size_t steps) const {
        Cursor w = cursors[0], x = cursors[1], y = cursors[2], z = cursors[3];
        for (std::size_t t = 0; t < steps; ++t) {
            step(w);
            step(x);
            step(y);
            step(z);
        }
        cursors[0] = w, cursors[1] = x, cursors[2] = y, cursors[3] = z;
    }
};

// The widest |i nc - j nb| at the ends of the runs of `count` values of s taken
// at even steps (i counting s, j the other sample t): a gap the walk surely
// reaches, so a lower bound of the widest.
std::uint64_t widest_at_values_of(std::span<const double> s, std::span<const double> t, std::int64_t ns, std::int64_t nt,
                                  std::size_t count) {
    std::uint64_t widest = 0;
    std::size_t j = 0;
    for (std::size_t k = 0; k < count && !s.empty(); ++k) {
        const std::size_t i = first_above(s, k * s.size() / count + 1, s[k * s.size() / count]);
        j = first_above(t, j, s[i - 1]);
        const std::int64_t gap = static_cast<std::int64_t>(i) * nt - static_cast<std::int64_t>(j) * ns;
        widest = std::max(widest, static_cast<std::uint64_t>(gap < 0 ? -gap : gap));
    }
    return widest;
}

constexpr std::size_t kSampledRuns = 512;  // per sample, for the first lower bound of the widest gap
constexpr std::uint64_t kDenseBelow = 64;   // a widest gap of fewer steps leaves little to skip
constexpr std::size_t kStretches = 4;                // walked side by side by one thread
constexpr std::size_t kStretchesFrom = 1 << 12;      // smaller samples take one stretch
constexpr std::size_t kTwoWalkersFrom = 1 << 18;     // smaller samples take one thread

}  // namespace

CdfGap widest_cdf_gap(std::span<const double> b, std::span<const double> c, std::uint64_t nb, std::uint64_t nc,
                      std::size_t workers) {
    const std::size_t total = b.size() + c.size();
    if (total == 0) return {};
    const MergedSamples walk{b.data(), c.data(), static_cast<std::int64_t>(nb), static_cast<std::int64_t>(nc)};
    // Gaps at a few run ends give a widest gap to start from, so that the walk
    // can skip from the outset; it passes those places again, so the fractions
    // there are still compared. When that gap is only a few steps wide, little
    // can be skipped: the walk then steps through densely, on two threads.
    const bool long_walk = total >= kStretchesFrom;
    const std::uint64_t seed = long_walk ? std::max(widest_at_values_of(b, c, walk.nb, walk.nc, kSampledRuns),
                                                    widest_at_values_of(c, b, walk.nc, walk.nb, kSampledRuns))
                                         : 0;
    const bool dense = seed / static_cast<std::uint64_t>(std::max(walk.nb, walk.nc)) < kDenseBelow;
    // One stretch, four on one thread, or four on each of two.
    const std::size_t threads = dense && workers >= 2 && total >= kTwoWalkersFrom ? 2 : 1;
    const std::size_t count = long_walk ? kStretches * threads : 1;
    MergedSamples::Cursor at[2 * kStretches];
    std::size_t i_end[2 * kStretches], j_end[2 * kStretches];
    for (std::size_t k = 0, i = 0, j = 0; k < count; ++k) {
        const std::size_t p = total * (k + 1) / count;
        i_end[k] = merge_split(b, c, p);
        j_end[k] = p - i_end[k];
        const double prev = i + j == 0 ? (b.empty() ? c[0] : c.empty() ? b[0] : std::fmin(b[0], c[0]))
                            : i == 0    ? c[j - 1]
                            : j == 0    ? b[i - 1]
                                        : std::fmax(b[i - 1], c[j - 1]);
        at[k] = {i, j, prev};
        if (long_walk) at[k].widest = seed + 1;
        i = i_end[k];
        j = j_end[k];
    }
    // Walks stretches [first, first + group) to their ends.
    auto walk_group = [&](std::size_t first, std::size_t group) {
        if (group == kStretches) {
            for (std::size_t round = 1;; ++round) {
                std::size_t steps = std::numeric_limits<std::size_t>::max();
                for (std::size_t k = first; k < first + kStretches; ++k) {
                    if (!dense) {
                        walk.skip(at[k], i_end[k], j_end[k]);
                        walk.end_run(at[k], i_end[k], j_end[k]);
                    }
                    steps = std::min({steps, i_end[k] - at[k].i, j_end[k] - at[k].j});
                }
                if (steps < kStepsBetweenSkips) break;
                walk.step_four(at + first, dense ? std::min<std::size_t>(steps, 1 << 16) : kStepsBetweenSkips);
                if (dense || round % 4096 == 0) poll_interrupt();
            }
        }
        for (std::size_t k = first; k < first + group; ++k) walk.finish(at[k], i_end[k], j_end[k]);
    };
    if (threads == 2) {
        ThreadPool pool(2);
        pool.run_tasks(2, [&](std::size_t half) { walk_group(half * kStretches, kStretches); });
    } else {
        walk_group(0, count);
    }
    walk.close(at[count - 1]);
    std::uint64_t widest = 0;
    double d = 0.0;
    for (std::size_t k = 0; k < count; ++k) {
        if (at[k].widest < widest) continue;
        d = at[k].widest > widest ? at[k].d : std::fmax(d, at[k].d);
        widest = at[k].widest;
    }
    return {widest - 1, d};
}

TestResult ks_test(std::span<const double> b, std::span<const double> c, std::size_t workers) {
    const std::size_t nb = b.size(), nc = c.size();
    const CdfGap gap = widest_cdf_gap(b, c, nb, nc, workers);
    TestResult r;
    r.statistic = gap.statistic;
    if (std::max(nb, nc) <= kKsExactUpTo) {
        r.p_value = ks_exact_p(nb, nc, gap.widest / std::gcd<std::uint64_t>(nb, nc));
    } else {
        const double size = static_cast<double>(nb) * static_cast<double>(nc) / (static_cast<double>(nb) + nc);
        r.p_value = kolmogorov_sf(static_cast<std::uint64_t>(std::nearbyint(size)), gap.statistic);
    }
    return r;
}

// ---- chi-square ----

double chi_square_sf(double x, double dof) { return gamma_q(dof / 2.0, x / 2.0); }

TestResult chi_square_test(std::span<const std::uint64_t> baseline, std::span<const std::uint64_t> current) {
    if (baseline.size() != current.size())
        throw SegmoraError::data_validation("the two count rows must have the same length");
    double rb = 0.0, rc = 0.0;
    for (std::size_t k = 0; k < baseline.size(); ++k) {
        rb += static_cast<double>(baseline[k]);
        rc += static_cast<double>(current[k]);
    }
    if (rb == 0.0 || rc == 0.0) throw SegmoraError::data_validation("each count row needs a positive total");
    const double total = rb + rc;
    double statistic = 0.0;
    std::size_t columns = 0;
    for (std::size_t k = 0; k < baseline.size(); ++k) {
        const double ob = static_cast<double>(baseline[k]), oc = static_cast<double>(current[k]);
        const double column = ob + oc;
        if (column == 0.0) continue;
        ++columns;
        const double eb = rb * column / total, ec = rc * column / total;
        statistic += (ob - eb) * (ob - eb) / eb;
        statistic += (oc - ec) * (oc - ec) / ec;
    }
    if (columns <= 1) return {0.0, 1.0};
    return {statistic, chi_square_sf(statistic, static_cast<double>(columns - 1))};
}

// ---- Wasserstein ----

double wasserstein(std::span<const double> b, std::span<const double> c) {
    const std::size_t nb = b.size(), nc = c.size();
    // The area between the CDFs, value by value: after the last copy of a value
    // the gap holds until the next one. Summed in the merged order.
    std::size_t i = 0, j = 0;
    double sum = 0.0;
    double prev = nb == 0 ? (nc == 0 ? 0.0 : c[0]) : nc == 0 ? b[0] : std::fmin(b[0], c[0]);
    auto look = [&](double v) {
        if (v != prev) sum += std::fabs(fraction(i, nb) - fraction(j, nc)) * (v - prev);
        prev = v;
    };
    while (i < nb && j < nc) {
        const double x = b[i], y = c[j];
        const bool from_b = x <= y;
        look(from_b ? x : y);
        i += from_b;
        j += !from_b;
    }
    for (; i < nb; ++i) look(b[i]);
    for (; j < nc; ++j) look(c[j]);
    return sum;
}

// ---- binned measures ----

std::vector<double> quantile_edges(std::span<const double> sorted, std::size_t bins) {
    std::vector<double> edges;
    const std::size_t n = sorted.size();
    if (n == 0 || bins < 2) return edges;
    edges.reserve(bins - 1);
    for (std::size_t k = 1; k < bins; ++k) {
        const double q = static_cast<double>(k) / static_cast<double>(bins);
        const double index = q * static_cast<double>(n - 1);
        const auto lo = static_cast<std::size_t>(index);
        const double t = index - static_cast<double>(lo);
        const double a = sorted[lo], b = sorted[std::min(lo + 1, n - 1)];
        const double edge = t == 0.0 ? a : a + (b - a) * t;
        if (edges.empty() || edge > edges.back()) edges.push_back(edge);
    }
    return edges;
}

std::vector<std::uint64_t> bin_counts(std::span<const double> sorted, std::span<const double> edges) {
    std::vector<std::uint64_t> counts(edges.size() + 1);
    std::size_t below = 0;
    for (std::size_t k = 0; k < edges.size(); ++k) {
        const auto at = static_cast<std::size_t>(std::lower_bound(sorted.begin(), sorted.end(), edges[k]) - sorted.begin());
        counts[k] = at - below;
        below = at;
    }
    counts.back() = sorted.size() - below;
    return counts;
}

namespace {

double total_of(std::span<const std::uint64_t> counts) {
    double sum = 0.0;
    for (std::uint64_t c : counts) sum += static_cast<double>(c);
    return sum;
}

}  // namespace

double population_stability_index(std::span<const std::uint64_t> baseline, std::span<const std::uint64_t> current) {
    const double tb = total_of(baseline), tc = total_of(current);
    double psi = 0.0;
    for (std::size_t k = 0; k < baseline.size(); ++k) {
        const double b = std::max(static_cast<double>(baseline[k]) / tb, kPsiFloor);
        const double c = std::max(static_cast<double>(current[k]) / tc, kPsiFloor);
        psi += (c - b) * std::log(c / b);
    }
    return psi;
}

double jensen_shannon_distance(std::span<const std::uint64_t> baseline, std::span<const std::uint64_t> current) {
    const double tb = total_of(baseline), tc = total_of(current);
    double left = 0.0, right = 0.0;
    for (std::size_t k = 0; k < baseline.size(); ++k) {
        const double p = static_cast<double>(baseline[k]) / tb, q = static_cast<double>(current[k]) / tc;
        const double m = (p + q) / 2.0;
        if (p > 0.0) left += p * std::log(p / m);
        if (q > 0.0) right += q * std::log(q / m);
    }
    return std::sqrt(std::max(0.0, (left + right) / std::numbers::ln2 / 2.0));
}

}  // namespace segmora::engine
