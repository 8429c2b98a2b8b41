// A second thread that shares indexed tasks with the calling thread. The
// tasks of one batch must be independent; the caller merges their results in
// index order, so the outcome never depends on which thread ran what.
#pragma once

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace tavri {

class TaskCrew {
public:
    // helper: whether to start the second thread (else Run works alone).
    explicit TaskCrew(bool helper) {
        if (!helper) return;
        try {
            worker_ = std::thread([this] { Work(); });
        } catch (const std::system_error&) {
            // No thread to be had (a process limit, little address space): work alone.
        }
    }
    ~TaskCrew() {
        if (!worker_.joinable()) return;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_one();
        worker_.join();
    }
    TaskCrew(const TaskCrew&) = delete;
    TaskCrew& operator=(const TaskCrew&) = delete;

    // Runs task(i, thread) for every i in [0, count), thread 0 being the
    // caller's and 1 the helper's; returns when all are done. An exception
    // of a task reaches the caller once the batch is over.
    void Run(int count, const std::function<void(int, int)>& task) {
        next_.store(0);
        count_ = count;
        task_ = &task;
        if (worker_.joinable()) {
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                ++batch_;
                busy_ = true;
            }
            wake_.notify_one();
        }
        std::exception_ptr mine = Take(0);
        if (worker_.joinable()) {
            std::unique_lock<std::mutex> lock(mutex_);
            done_.wait(lock, [this] { return !busy_; });
        }
        task_ = nullptr;
        if (mine != nullptr) std::rethrow_exception(mine);
        if (failure_ != nullptr) std::rethrow_exception(std::exchange(failure_, nullptr));
    }

private:
    // Takes tasks until none is left.
    std::exception_ptr Take(int thread) {
        try {
            for (int i = next_.fetch_add(1); i < count_; i = next_.fetch_add(1)) (*task_)(i, thread);
        } catch (...) {
            next_.store(count_);  // the others stop taking
            return std::current_exception();
        }
        return nullptr;
    }

    void Work() {
        long seen = 0;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [&] { return stop_ || batch_ != seen; });
                if (stop_) return;
                seen = batch_;
            }
            std::exception_ptr failure = Take(1);
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                failure_ = failure;
                busy_ = false;
            }
            done_.notify_one();
        }
    }

    std::thread worker_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    long batch_ = 0;
    bool busy_ = false;
    bool stop_ = false;
    std::exception_ptr failure_;
    std::atomic<int> next_{0};
    int count_ = 0;
    const std::function<void(int, int)>* task_ = nullptr;
};

}  // namespace tavri
