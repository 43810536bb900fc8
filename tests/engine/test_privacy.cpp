#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/privacy.hpp"
#include "error.hpp"

using namespace segmora::engine;

TEST(NoiseSource, DrawsStayInTheirHalfOpenIntervals) {
    NoiseSource source;
    double lo = 1.0, hi = 0.0;
    for (int i = 0; i < 100000; ++i) {
        const double u = source.open_unit(), v = source.unit();
        ASSERT_TRUE(u >= 0x1p-52 && u < 1.0) << u;
        ASSERT_TRUE(v >= 0.0 && v < 1.0) << v;
        lo = std::fmin(lo, u);
        hi = std::fmax(hi, u);
    }
    EXPECT_LT(lo, 1e-3);
    EXPECT_GT(hi, 1.0 - 1e-3);
}

TEST(NoiseSource, RekeysAfterItsWordQuota) {
    NoiseSource source;
    EXPECT_EQ(source.keyings(), 1u);
    for (std::uint64_t i = 0; i < NoiseSource::kReseedWords / 2; ++i) source.open_unit();  // two words each
    EXPECT_EQ(source.keyings(), 1u);
    source.open_unit();
    EXPECT_EQ(source.keyings(), 2u);
    source.check_fork();  // same process: no rekey
    EXPECT_EQ(source.keyings(), 2u);
}

TEST(NoiseSource, ForkedChildDoesNotReplayTheParent) {
    NoiseSource source;
    source.open_unit();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    std::array<double, 8> draws{};
    if (pid == 0) {
        source.check_fork();
        for (double& d : draws) d = source.open_unit();
        const bool rekeyed = source.keyings() == 2;
        const ssize_t w1 = write(fds[1], draws.data(), sizeof draws);
        const ssize_t w2 = write(fds[1], &rekeyed, sizeof rekeyed);
        _exit(w1 == sizeof draws && w2 == sizeof rekeyed ? 0 : 1);
    }
    source.check_fork();
    for (double& d : draws) d = source.open_unit();
    std::array<double, 8> child{};
    bool rekeyed = false;
    ASSERT_EQ(read(fds[0], child.data(), sizeof child), static_cast<ssize_t>(sizeof child));
    ASSERT_EQ(read(fds[0], &rekeyed, sizeof rekeyed), static_cast<ssize_t>(sizeof rekeyed));
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(rekeyed);
    EXPECT_EQ(source.keyings(), 1u);
    EXPECT_NE(draws, child);
}

TEST(Noise, ParametersAreCheckedBeforeAnyDraw) {
    NoiseSource source;
    std::vector<double> data = {1.0};
    auto message = [](auto&& call) {
        try { call(); } catch (const segmora::SegmoraError& e) { return e.display(); }
        return std::string("no error");
    };
    EXPECT_EQ(message([&] { add_laplace_noise(data, 0.0, 1.0, source); }),
              "Invalid configuration: epsilon must be finite and > 0, got 0");
    EXPECT_EQ(message([&] { add_laplace_noise(data, 1.0, -1.0, source); }),
              "Invalid configuration: sensitivity must be finite and >= 0, got -1");
    EXPECT_EQ(message([&] { add_gaussian_noise(data, 1.0, 1.0, 1.0, source); }),
              "Invalid configuration: delta must be in the open interval (0, 1), got 1");
    EXPECT_EQ(source.keyings(), 1u);
    EXPECT_EQ(data, std::vector<double>{1.0});
}

TEST(KAnonymity, GroupingMatchesAnOrderedReference) {
    // Values share long prefixes (beyond what a table slot holds), batches and
    // table growth are crossed, and ("ab", "c") / ("a", "bc") style splits occur.
    std::mt19937 rng(5);
    const std::size_t n_rows = 5000, n_quasi = 2;
    std::vector<std::string> values;
    for (std::size_t i = 0; i < n_rows * n_quasi; ++i)
        values.push_back(std::string(rng() % 3 == 0 ? 14 : 0, 'p') + std::string(rng() % 4, 'a') + "b" +
                         std::string(rng() % 3, 'b'));
    std::map<std::vector<std::string>, std::size_t> reference;
    std::vector<std::size_t> expected;
    for (std::size_t r = 0; r < n_rows; ++r) {
        std::vector<std::string> key(values.begin() + r * n_quasi, values.begin() + (r + 1) * n_quasi);
        expected.push_back(reference.emplace(key, reference.size()).first->second);
    }
    const QuasiIdentifierGroups g = group_rows(values, n_rows, n_quasi);
    EXPECT_EQ(g.group_of_row, expected);
    std::vector<std::uint64_t> sizes(reference.size(), 0);
    for (std::size_t e : expected) ++sizes[e];
    EXPECT_EQ(g.group_sizes, sizes);
    EXPECT_GT(reference.size(), 64u);
}
