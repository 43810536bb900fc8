// Per-call worker pool and parallel loops over row ranges.
//
// build_thread_pool(n_jobs) makes a pool of exactly n_jobs workers when
// n_jobs > 0, else one per logical CPU available to the process. A pool lives
// for one operation: there is no global pool. parallel_for splits [0, n) into
// contiguous chunks; the caller blocks until every chunk is done. Bodies must
// write disjoint slots, so results never depend on how the range was split.
// An exception thrown by a body is rethrown in the caller (the one from the
// lowest chunk when several fail).
#pragma once

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

// Logical CPUs available to this process (at least 1).
std::size_t default_thread_count() noexcept;

class ThreadPool {
public:
    // Starts `n_threads` (>= 1) workers; throws std::system_error when the
    // operating system refuses a thread.
    explicit ThreadPool(std::size_t n_threads);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    std::size_t size() const noexcept { return workers_.size(); }

    // Calls body(begin, end) over chunks of [0, n), each at least `min_chunk` long
    // (but the last), on the workers; returns when all are done.
    void parallel_for(std::size_t n, std::size_t min_chunk, const std::function<void(std::size_t, std::size_t)>& body);

    // Runs task(w) once for every w in [0, count) on the workers.
    void run_tasks(std::size_t count, const std::function<void(std::size_t)>& task);

private:
    void worker_loop();
    void run_chunks(std::size_t n_chunks, const std::function<void(std::size_t)>& chunk_body);

    std::vector<std::thread> workers_;
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

// A fresh pool for one operation. Failure to start the workers is a Clustering
// error "failed to build rayon thread pool for n_jobs={}: {}".
std::unique_ptr<ThreadPool> build_thread_pool(std::int32_t n_jobs);

}  // namespace segmora::engine
