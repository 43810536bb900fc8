// Per-call worker pool and parallel loops over row ranges.
//
// build_thread_pool(n_jobs) makes a pool of up to n_jobs workers when
// n_jobs > 0, else one per logical CPU available to the process; n_jobs above
// kMaxWorkers is refused before anything is allocated. Workers start on demand,
// never more than the chunks of work handed to the pool, so a small input costs
// no threads. A pool lives for one operation: there is no global pool.
// parallel_for splits [0, n) into contiguous chunks; the caller blocks until
// every chunk is done. Bodies must write disjoint slots, so results never depend
// on how the range was split. An exception thrown by a body is rethrown in the
// caller (the one from the lowest chunk when several fail). While it waits, the
// caller polls its interrupt check (interrupt.hpp): on an interrupt no further
// chunk starts, the running ones finish, and Interrupted is thrown.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace segmora::engine {

// Largest worker count a pool accepts (n_jobs above it is refused).
inline constexpr std::size_t kMaxWorkers = 1024;

// Logical CPUs available to this process (at least 1, at most kMaxWorkers).
std::size_t default_thread_count() noexcept;

class ThreadPool {
public:
    // Room for `max_workers` (1 .. kMaxWorkers) workers; none starts yet.
    // `n_jobs` is the caller's value, quoted when a worker cannot be started.
    explicit ThreadPool(std::size_t max_workers, std::int32_t n_jobs = 0);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    // The most workers this pool will run.
    std::size_t size() const noexcept { return max_workers_; }
    // Workers started so far (never more than the largest batch of chunks).
    std::size_t started() const noexcept { return workers_.size(); }
    // True while a run is being abandoned after an interrupt: long chunk bodies
    // may poll it and return early (their results are discarded).
    bool cancelled() const noexcept { return cancelled_.load(std::memory_order_relaxed); }

    // Calls body(begin, end) over chunks of [0, n), each at least `min_chunk` long
    // (but the last), on the workers; returns when all are done.
    void parallel_for(std::size_t n, std::size_t min_chunk, const std::function<void(std::size_t, std::size_t)>& body);

    // Runs task(w) once for every w in [0, count) on the workers.
    // Workers started: at most min(count, size()).
    void run_tasks(std::size_t count, const std::function<void(std::size_t)>& task);

private:
    void worker_loop();
    void run_chunks(std::size_t n_chunks, const std::function<void(std::size_t)>& chunk_body);
    // Starts workers until `wanted` (capped at size()) run; a refusal by the
    // operating system is a Clustering error naming n_jobs.
    void start_workers(std::size_t wanted);
    // Waits for the chunks; polls the caller's interrupt check meanwhile and
    // returns false when it stopped the run.
    bool wait_for_chunks(std::unique_lock<std::mutex>& lock);

    std::size_t max_workers_;
    std::int32_t n_jobs_;
    std::vector<std::thread> workers_;
    std::atomic<bool> cancelled_{false};
    std::mutex mutex_;
    std::condition_variable work_ready_;
    std::condition_variable work_done_;
    bool stopping_ = false;
    std::uint64_t generation_ = 0;
    const std::function<void(std::size_t)>* job_ = nullptr;
    std::size_t n_chunks_ = 0;
    std::size_t next_chunk_ = 0;
    std::size_t finished_chunks_ = 0;
    std::size_t failed_chunk_ = 0;
    std::exception_ptr error_;
};

// A fresh pool for one operation. n_jobs above kMaxWorkers, or failure to start
// a worker, is a Clustering error "failed to build rayon thread pool for
// n_jobs={}: {}".
std::unique_ptr<ThreadPool> build_thread_pool(std::int32_t n_jobs);

}  // namespace segmora::engine
