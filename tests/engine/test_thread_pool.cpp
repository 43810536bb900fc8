#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "engine/thread_pool.hpp"
#include "error.hpp"

using namespace segmora::engine;

TEST(ThreadPool, SizeFollowsNJobs) {
    EXPECT_EQ(build_thread_pool(1)->size(), 1u);
    EXPECT_EQ(build_thread_pool(3)->size(), 3u);
    for (int n_jobs : {-1, 0, -5}) EXPECT_EQ(build_thread_pool(n_jobs)->size(), default_thread_count());
    EXPECT_GE(default_thread_count(), 1u);
    EXPECT_LE(default_thread_count(), kMaxWorkers);
}

TEST(ThreadPool, ParallelForCoversEveryIndexOnce) {
    for (int n_jobs : {1, 2, 3, 8}) {
        auto pool = build_thread_pool(n_jobs);
        for (std::size_t n : {0u, 1u, 5u, 1000u, 100003u}) {
            std::vector<int> hits(n, 0);
            pool->parallel_for(n, 7, [&](std::size_t b, std::size_t e) {
                for (std::size_t i = b; i < e; ++i) ++hits[i];
            });
            for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i], 1) << n_jobs << " " << n << " " << i;
        }
    }
}

TEST(ThreadPool, RunsOnItsOwnWorkers) {
    auto pool = build_thread_pool(3);
    std::mutex m;
    std::set<std::thread::id> ids;
    pool->run_tasks(64, [&](std::size_t) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::lock_guard lock(m);
        ids.insert(std::this_thread::get_id());
    });
    EXPECT_LE(ids.size(), 3u);
    EXPECT_EQ(ids.count(std::this_thread::get_id()), 0u);
}

TEST(ThreadPool, RethrowsTheLowestFailingChunk) {
    auto pool = build_thread_pool(2);
    try {
        pool->run_tasks(10, [](std::size_t i) {
            if (i == 3 || i == 7) throw std::runtime_error("chunk " + std::to_string(i));
        });
        FAIL() << "expected an exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "chunk 3");
    }
    // The pool stays usable after a failure.
    std::atomic<int> count{0};
    pool->run_tasks(5, [&](std::size_t) { ++count; });
    EXPECT_EQ(count.load(), 5);
}

TEST(ThreadPool, StartsNoMoreWorkersThanChunks) {
    struct Case { std::size_t rows, min_chunk, tasks, expected; };
    // rows for parallel_for (one chunk runs on the caller), tasks for run_tasks.
    for (const Case c : {Case{5, 7, 0, 0}, Case{0, 1, 2, 2}, Case{100, 50, 0, 2}, Case{0, 1, 300, 64}}) {
        auto pool = build_thread_pool(64);
        std::atomic<std::size_t> seen{0};
        pool->parallel_for(c.rows, c.min_chunk, [&](std::size_t b, std::size_t e) { seen += e - b; });
        pool->run_tasks(c.tasks, [&](std::size_t) { ++seen; });
        EXPECT_EQ(seen.load(), c.rows + c.tasks);
        EXPECT_EQ(pool->started(), c.expected) << c.rows << " " << c.tasks;
    }
}
