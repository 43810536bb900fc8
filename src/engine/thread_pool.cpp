#include "engine/thread_pool.hpp"

#include <algorithm>
#include <system_error>

#include "text.hpp"
#include "error.hpp"

#if defined(__linux__)
#include <sched.h>
#endif

namespace segmora::engine {

std::size_t default_thread_count() noexcept {
#if defined(__linux__)
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<std::size_t>(count);
    }
#endif
    const unsigned hw = std::thread::hardware_concurrency();
    return hw > 0 ? hw : 1;
}

ThreadPool::ThreadPool(std::size_t n_threads) {
    workers_.reserve(n_threads);
    try {
        for (std::size_t i = 0; i < n_threads; ++i) workers_.emplace_back([this] { worker_loop(); });
    } catch (...) {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        work_ready_.notify_all();
        for (auto& t : workers_) t.join();
        throw;
    }
}

ThreadPool::~ThreadPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    work_ready_.notify_all();
    for (auto& t : workers_) t.join();
}

void ThreadPool::worker_loop() {
    std::uint64_t seen = 0;
    std::unique_lock lock(mutex_);
    for (;;) {
        work_ready_.wait(lock, [&] { return stopping_ || (generation_ != seen && next_chunk_ < n_chunks_); });
        if (stopping_) return;
        while (next_chunk_ < n_chunks_) {
            const std::size_t chunk = next_chunk_++;
            const auto* job = job_;
            lock.unlock();
            std::exception_ptr error;
            try {
                (*job)(chunk);
            } catch (...) {
                error = std::current_exception();
            }
            lock.lock();
            if (error && (!error_ || chunk < failed_chunk_)) {
                error_ = error;
                failed_chunk_ = chunk;
            }
            if (++finished_chunks_ == n_chunks_) work_done_.notify_all();
        }
        seen = generation_;
    }
}

void ThreadPool::run_chunks(std::size_t n_chunks, const std::function<void(std::size_t)>& chunk_body) {
    if (n_chunks == 0) return;
    std::unique_lock lock(mutex_);
    job_ = &chunk_body;
    n_chunks_ = n_chunks;
    next_chunk_ = 0;
    finished_chunks_ = 0;
    error_ = nullptr;
    ++generation_;
    work_ready_.notify_all();
    work_done_.wait(lock, [&] { return finished_chunks_ == n_chunks_; });
    job_ = nullptr;
    n_chunks_ = 0;
    next_chunk_ = 0;
    if (error_) {
        auto error = error_;
        error_ = nullptr;
        std::rethrow_exception(error);
    }
}

void ThreadPool::parallel_for(std::size_t n, std::size_t min_chunk,
                              const std::function<void(std::size_t, std::size_t)>& body) {
    if (n == 0) return;
    min_chunk = std::max<std::size_t>(min_chunk, 1);
    // A few chunks per worker balances uneven work without much dispatch cost.
    const std::size_t wanted = size() * 4;
    const std::size_t chunk = std::max(min_chunk, (n + wanted - 1) / wanted);
    const std::size_t n_chunks = (n + chunk - 1) / chunk;
    if (n_chunks == 1) {
        body(0, n);
        return;
    }
    const std::function<void(std::size_t)> chunk_body = [&](std::size_t c) {
        const std::size_t begin = c * chunk;
        body(begin, std::min(n, begin + chunk));
    };
    run_chunks(n_chunks, chunk_body);
}

void ThreadPool::run_tasks(std::size_t count, const std::function<void(std::size_t)>& task) {
    run_chunks(count, task);
}

std::unique_ptr<ThreadPool> build_thread_pool(std::int32_t n_jobs) {
    const std::size_t threads = n_jobs > 0 ? static_cast<std::size_t>(n_jobs) : default_thread_count();
    try {
        return std::make_unique<ThreadPool>(threads);
    } catch (const std::system_error& e) {
        throw SegmoraError::clustering(format("failed to build rayon thread pool for n_jobs={}: {}", n_jobs, e.what()));
    } catch (const std::bad_alloc& e) {
        throw SegmoraError::clustering(format("failed to build rayon thread pool for n_jobs={}: {}", n_jobs, e.what()));
    }
}

}  // namespace segmora::engine
