#include "engine/thread_pool.hpp"

#include <algorithm>
#include <chrono>
#include <string>
#include <system_error>

#include "text.hpp"
#include "error.hpp"
#include "interrupt.hpp"

#if defined(__linux__)
#include <sched.h>
#endif

namespace segmora::engine {

namespace {

// How often a waiting caller looks at its interrupt check.
constexpr auto kInterruptPoll = std::chrono::milliseconds(20);

[[noreturn]] void refuse_pool(std::int32_t n_jobs, const std::string& reason) {
    throw SegmoraError::clustering(format("failed to build rayon thread pool for n_jobs={}: {}", n_jobs, reason));
}

}  // namespace

std::size_t default_thread_count() noexcept {
    std::size_t count = 0;
#if defined(__linux__)
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) count = static_cast<std::size_t>(std::max(CPU_COUNT(&set), 0));
#endif
    if (count == 0) count = std::thread::hardware_concurrency();
    return std::clamp<std::size_t>(count, 1, kMaxWorkers);
}

ThreadPool::ThreadPool(std::size_t max_workers, std::int32_t n_jobs)
    : max_workers_(std::clamp<std::size_t>(max_workers, 1, kMaxWorkers)), n_jobs_(n_jobs) {}

void ThreadPool::start_workers(std::size_t wanted) {
    wanted = std::min(wanted, max_workers_);
    if (workers_.size() >= wanted) return;
    workers_.reserve(wanted);
    try {
        while (workers_.size() < wanted) workers_.emplace_back([this] { worker_loop(); });
    } catch (const std::system_error& e) {
        refuse_pool(n_jobs_, e.what());
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

bool ThreadPool::wait_for_chunks(std::unique_lock<std::mutex>& lock) {
    const auto done = [&] { return finished_chunks_ == n_chunks_; };
    if (InterruptScope::current() == nullptr) {
        work_done_.wait(lock, done);
        return true;
    }
    while (!work_done_.wait_for(lock, kInterruptPoll, done)) {
        lock.unlock();
        const bool interrupted = interrupt_pending();  // may run Python code: not under the lock
        lock.lock();
        if (!interrupted) continue;
        // No chunk starts from now on; the running ones finish.
        cancelled_.store(true, std::memory_order_relaxed);
        finished_chunks_ += n_chunks_ - next_chunk_;
        next_chunk_ = n_chunks_;
        work_done_.wait(lock, done);
        return false;
    }
    return true;
}

void ThreadPool::run_chunks(std::size_t n_chunks, const std::function<void(std::size_t)>& chunk_body) {
    if (n_chunks == 0) return;
    start_workers(n_chunks);
    std::unique_lock lock(mutex_);
    job_ = &chunk_body;
    n_chunks_ = n_chunks;
    next_chunk_ = 0;
    finished_chunks_ = 0;
    error_ = nullptr;
    ++generation_;
    work_ready_.notify_all();
    const bool completed = wait_for_chunks(lock);
    job_ = nullptr;
    n_chunks_ = 0;
    next_chunk_ = 0;
    cancelled_.store(false, std::memory_order_relaxed);
    auto error = error_;
    error_ = nullptr;
    if (!completed) throw Interrupted{};
    if (error) std::rethrow_exception(error);
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
    if (n_jobs > 0 && static_cast<std::size_t>(n_jobs) > kMaxWorkers)
        refuse_pool(n_jobs, format("n_jobs must not exceed {} worker threads", kMaxWorkers));
    const std::size_t threads = n_jobs > 0 ? static_cast<std::size_t>(n_jobs) : default_thread_count();
    return std::make_unique<ThreadPool>(threads, n_jobs);
}

}  // namespace segmora::engine
