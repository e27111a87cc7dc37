// Threads that run the calls which need the database, apart from the network threads, so that a call
// waiting on SQLite or PostgreSQL never holds up a call that needs neither (GetSysdate, sign-in checks).
// The queue is bounded: when it is full the caller is told at once and answers "busy", instead of the
// server queueing without end under an overload.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace age::server {

class WorkPool {
  public:
    using Job = std::function<void()>;

    WorkPool(int threads, std::size_t maxQueued);
    // Runs the jobs still queued, then joins the threads.
    ~WorkPool();
    WorkPool(const WorkPool&) = delete;
    WorkPool& operator=(const WorkPool&) = delete;

    // False, and the job is dropped, when maxQueued jobs are waiting already.
    bool trySubmit(Job job);

    int threads() const { return static_cast<int>(threads_.size()); }
    std::size_t queued() const;  // waiting, not yet started
    int running() const;         // started, not yet done

  private:
    void work();

    const std::size_t maxQueued_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Job> queue_;
    int running_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace age::server
