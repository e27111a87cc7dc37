// Threads that run the calls which need the database, apart from the network threads, so that a call
// waiting on SQLite or PostgreSQL never holds up a call that needs neither (GetSysdate, sign-in checks).
// The queue is bounded: when it is full the caller is told at once and answers "busy", instead of the
// server queueing without end under an overload.
//
// Some of the threads may be kept for the calls that write: with a database that takes one writer at a
// time (SQLite), a write waiting for its turn then holds a writer thread, never a reader, and the reads
// go on meanwhile.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "server/Dispatch.h"

namespace age::server {

class WorkPool {
  public:
    using Job = std::function<void()>;

    // `writers` of the `threads` run only Lane::Write jobs (0: every thread runs every job). At least one
    // thread is left for the reads.
    WorkPool(int threads, std::size_t maxQueued, int writers = 0);
    // Runs the jobs still queued, then joins the threads.
    ~WorkPool();
    WorkPool(const WorkPool&) = delete;
    WorkPool& operator=(const WorkPool&) = delete;

    // False, and the job is dropped, when maxQueued jobs are waiting already (both lanes together).
    bool trySubmit(Job job, Lane lane = Lane::Read);

    int threads() const { return static_cast<int>(threads_.size()); }
    int writers() const { return writers_; }
    std::size_t queued() const;  // waiting, not yet started
    int running() const;         // started, not yet done
    bool idle() const;           // nothing queued, nothing running

  private:
    struct Queue {
        std::deque<Job> jobs;
        std::condition_variable ready;
    };

    void work(Queue& queue);

    const std::size_t maxQueued_;
    int writers_ = 0;
    mutable std::mutex mutex_;
    Queue reads_, writes_;  // writes_ is used only when there are writer threads
    int running_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace age::server
