// Distributions behind the drift p-values, held against scipy.stats.kstwo.sf and
// scipy.stats.chi2.sf at points on both sides of every change of method (n = 140,
// n d^2 = 2.2 and 4, n = 10^6), and the exact two-sample count on hand-made cases.
// The merged walks (widest CDF gap, Wasserstein area) against a plain scan of
// every distinct value, on samples that make them skip, jump runs or step densely.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <vector>

#include "engine/drift_tests.hpp"

namespace segmora::engine {
namespace {

// Equal to `rel` relative, or both below 1e-300.
::testing::AssertionResult close(double got, double want, double rel) {
    if (std::fabs(got - want) <= rel * std::fabs(want) || (std::fabs(want) < 1e-300 && std::fabs(got) < 1e-300))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << got << " vs " << want;
}

TEST(KolmogorovDistribution, MatchesScipyAcrossMethods) {
    struct Case { std::uint64_t n; double d, sf; };
    const Case cases[] = {
        {2, 0.15811388300841897, 1.0}, {2, 0.5, 0.5}, {60, 0.02886751345948129, 0.9999999940655215},
        {60, 0.09128709291752768, 0.6653585747364305}, {60, 0.191049731745428, 0.021598846869771537}, {60, 0.19192012227313043, 0.020728790535462616},
        {60, 0.22360679774997896, 0.004071967056587411}, {60, 0.25495097567963926, 0.0006319229977910235}, {60, 0.2614064523559687, 0.00041707891170364604},
        {60, 0.9128709291752769, 5.149971556369635e-64}, {140, 0.01889822365046136, 0.999999997572741}, {140, 0.05976143046671968, 0.6766690855918173},
        {140, 0.1250714081749188, 0.022847412405586482}, {140, 0.12564121252882862, 0.021938311678365255}, {140, 0.14638501094227999, 0.004408218636137252},
        {140, 0.16690459207925604, 0.0007063168988356589}, {140, 0.17113069358158484, 0.0004699518645411491}, {140, 0.5976143046671968, 2.6877471160399065e-48},
        {141, 0.018831089428867735, 0.9999999975890553}, {141, 0.05954913341754137, 0.6767464134039389}, {141, 0.12462710336687209, 0.022856171861029395},
        {141, 0.12519488354261218, 0.02194628834970714}, {141, 0.14586499149789456, 0.0044103835122001585}, {141, 0.16631167868819408, 0.0007067881152885068},
        {141, 0.1705227673491055, 0.0004702859499422163}, {141, 0.5954913341754137, 2.94294935910405e-48}, {2000, 0.005, 0.9999999995409591},
        {2000, 0.015811388300841896, 0.6932009483888986}, {2000, 0.0330907842155486, 0.024489743706228917}, {2000, 0.03324154027718933, 0.023526804239991317},
        {2000, 0.03872983346207417, 0.004824646022824249}, {2000, 0.04415880433163923, 0.0007936845029918795}, {2000, 0.04527692569068708, 0.0005314598462283026},
        {2000, 0.15811388300841897, 3.8529220558962425e-44}, {50000, 0.001, 0.9999999997471354}, {50000, 0.0031622776601683794, 0.6981297702913934},
        {50000, 0.006618156843109719, 0.02493980695895115}, {50000, 0.006648308055437865, 0.023961453424856567}, {50000, 0.007745966692414834, 0.004931706428309146},
        {50000, 0.008831760866327847, 0.0008145772172363248}, {50000, 0.009055385138137416, 0.000545939240006874}, {50000, 0.03162277660168379, 7.127875889499455e-44},
        {1000000, 0.00022360679774997898, 0.9999999997764255}, {1000000, 0.0007071067811865475, 0.6990955093458977}, {1000000, 0.0014798648586948741, 0.025025936947316585},
        {1000000, 0.0014866068747318507, 0.024044594231805338}, {1000000, 0.0017320508075688774, 0.004951770014533108}, {1000000, 0.00197484176581315, 0.00081838767051662},
        {1000000, 0.0020248456731316584, 0.0005485630323978866}, {1000000, 0.007071067811865475, 7.397101491641344e-44}, {1000001, 0.00022360668594666394, 0.9999999997764255},
        {1000001, 0.0007071064276334222, 0.6990955094851807}, {1000001, 0.0014798641187629999, 0.025025936959690687}, {1000001, 0.0014866061314289707, 0.024044621498675773},
        {1000001, 0.001732049941544123, 0.004951782951878203}, {1000001, 0.0019748407783930074, 0.0008183917405953261}, {1000001, 0.0020248446607095813, 0.0005485661019696986},
        {1000001, 0.007071064276334221, 7.405160884049747e-44},
    };
    for (const Case& c : cases) EXPECT_TRUE(close(kolmogorov_sf(c.n, c.d), c.sf, 1e-10)) << c.n << " " << c.d;
}

TEST(ChiSquareDistribution, MatchesScipy) {
    struct Case { double x, dof, sf; };
    const Case cases[] = {
        {0.01, 1, 0.920344325445942}, {0.9, 1, 0.34278171114790873}, {1.1, 1, 0.2942661043049598},
        {5.0, 1, 0.025347318677468325}, {30.0, 1, 4.3204630578274955e-08}, {0.07, 7, 0.9999993289114677},
        {6.3, 7, 0.5051889407557321}, {7.700000000000001, 7, 0.3597893327261251}, {35.0, 7, 1.1184430509074334e-05},
        {210.0, 7, 8.726509144840511e-42}, {0.21, 21, 1.0}, {18.900000000000002, 21, 0.5915550028439184},
        {23.1, 21, 0.3386698543073457}, {105.0, 21, 3.7264654852477655e-13}, {630.0, 21, 7.764388984325817e-120},
        {10.0, 1000, 1.0}, {900.0, 1000, 0.9892827619087102}, {1100.0, 1000, 0.014614408126295192},
        {5000.0, 1000, 0.0}, {30000.0, 1000, 0.0}, {999.99, 99999, 1.0},
        {89999.1, 99999, 1.0}, {109998.90000000001, 99999, 2.5902569156221736e-104}, {499995.0, 99999, 0.0},
        {2999970.0, 99999, 0.0},
    };
    for (const Case& c : cases) EXPECT_TRUE(close(chi_square_sf(c.x, c.dof), c.sf, 1e-10)) << c.x << " " << c.dof;
}

TEST(KsExact, CountsLatticePaths) {
    struct Case { std::uint64_t m, n, h; double p; };
    const Case cases[] = {
        {3, 3, 3, 2.0 / 20}, {3, 3, 0, 1.0}, {1, 1, 1, 1.0}, {1, 2, 2, 2.0 / 3},  // disjoint samples: 2 / C(m + n, m)
        {4, 6, 12, 2.0 / 210}, {2, 2, 1, 1.0}, {60, 60, 60, 2.0 / 9.6614908840363323e34},
    };
    for (const Case& c : cases) EXPECT_TRUE(close(ks_exact_p(c.m, c.n, c.h), c.p, 1e-12)) << c.m << " " << c.n << " " << c.h;
}

// At the last copy of every distinct value: the widest |i nc - j nb|, the
// largest fraction gap there, and the Wasserstein area, as a plain scan sees them.
struct Scan {
    std::uint64_t widest = 0;
    double statistic = 0.0, area = 0.0;
};

Scan scan(const std::vector<double>& b, const std::vector<double>& c, std::uint64_t nb, std::uint64_t nc) {
    Scan s;
    bool first = true;
    for (std::size_t i = 0, j = 0; i < b.size() || j < c.size();) {
        const double v = (j == c.size() || (i < b.size() && b[i] <= c[j])) ? b[i] : c[j];
        while (i < b.size() && b[i] <= v) ++i;
        while (j < c.size() && c[j] <= v) ++j;
        const std::uint64_t x = i * nc, y = j * nb, gap = x > y ? x - y : y - x;
        const double f = std::fabs(static_cast<double>(i) / nb - static_cast<double>(j) / nc);
        if (i < b.size() || j < c.size())
            s.area += f * (std::min(i < b.size() ? b[i] : INFINITY, j < c.size() ? c[j] : INFINITY) - v);
        if (!first && gap < s.widest) continue;
        s.statistic = first || gap > s.widest ? f : std::fmax(s.statistic, f);
        s.widest = gap;
        first = false;
    }
    return s;
}

TEST(MergedWalk, MatchesAPlainScan) {
    using Draw = std::function<double(std::mt19937_64&, int side)>;
    const double inf = std::numeric_limits<double>::infinity();
    std::normal_distribution<double> normal;
    struct Pair { const char* name; Draw draw; };
    const Pair pairs[] = {
        {"close normals", [&](std::mt19937_64& g, int side) { return normal(g) + 0.01 * side; }},
        {"shifted normals", [&](std::mt19937_64& g, int side) { return normal(g) + 0.5 * side; }},
        {"disjoint", [&](std::mt19937_64& g, int side) { return normal(g) + 100.0 * side; }},
        {"two decimals", [&](std::mt19937_64& g, int side) { return std::round((normal(g) + 0.01 * side) * 100) / 100; }},
        {"integers and halves", [&](std::mt19937_64& g, int side) { return std::round(normal(g) * (1 + side)) / (1 + side); }},
        {"infinities", [&](std::mt19937_64& g, int side) { return g() % 9 == 0 ? (g() % 2 ? inf : -inf) : normal(g) + side; }},
        {"signed zeros", [&](std::mt19937_64& g, int) { return g() % 3 == 0 ? -0.0 : g() % 2 ? 0.0 : 1.0; }},
    };
    struct Size { std::size_t nb, nc; };
    const Size sizes[] = {{1, 1}, {3, 700}, {2000, 2100}, {30000, 1000}, {140000, 160000}};
    for (const Pair& pair : pairs) {
        for (const Size& size : sizes) {
            for (const int same : {0, 1}) {  // 1: the current sample is the baseline again
                SCOPED_TRACE(::testing::Message() << pair.name << " " << size.nb << " x " << size.nc << (same ? " same" : ""));
                std::mt19937_64 g(size.nb);
                std::vector<double> b(size.nb), c(same ? size.nb : size.nc);
                for (double& x : b) x = pair.draw(g, 0);
                for (double& x : c) x = pair.draw(g, 1);
                if (same) c = b;
                std::sort(b.begin(), b.end());
                std::sort(c.begin(), c.end());
                const Scan want = scan(b, c, b.size(), c.size());
                for (const std::size_t workers : {1, 2}) {
                    const CdfGap got = widest_cdf_gap(b, c, b.size(), c.size(), workers);
                    EXPECT_EQ(got.widest, want.widest) << workers;
                    EXPECT_EQ(got.statistic, want.statistic) << workers;
                }
                // Values beyond both samples (NaNs) count in the fractions only.
                const Scan padded = scan(b, c, b.size() + 3, c.size() + 1);
                EXPECT_EQ(widest_cdf_gap(b, c, b.size() + 3, c.size() + 1, 2).statistic, padded.statistic);
                const double area = wasserstein(b, c);
                EXPECT_TRUE(area == want.area || (std::isnan(area) && std::isnan(want.area))) << area << " " << want.area;
            }
        }
    }
}

}  // namespace
}  // namespace segmora::engine
