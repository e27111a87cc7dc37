#include "server/WorkPool.h"

#include <pthread.h>

#include <algorithm>

namespace age::server {

WorkPool::WorkPool(int threads, std::size_t maxQueued) : maxQueued_(std::max<std::size_t>(1, maxQueued)) {
    for (int i = 0; i < std::max(1, threads); ++i) threads_.emplace_back([this] { work(); });
}

WorkPool::~WorkPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    ready_.notify_all();
    for (auto& t : threads_) t.join();
}

bool WorkPool::trySubmit(Job job) {
    {
        std::lock_guard lock(mutex_);
        if (queue_.size() >= maxQueued_) return false;
        queue_.push_back(std::move(job));
    }
    ready_.notify_one();
    return true;
}

std::size_t WorkPool::queued() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

int WorkPool::running() const {
    std::lock_guard lock(mutex_);
    return running_;
}

void WorkPool::work() {
    pthread_setname_np(pthread_self(), "age-work");  // told apart in top -H and perf
    std::unique_lock lock(mutex_);
    for (;;) {
        ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;  // stopping, and nothing left to run
        Job job = std::move(queue_.front());
        queue_.pop_front();
        ++running_;
        lock.unlock();
        job();  // jobs catch their own errors: a call always ends in an answer
        job = nullptr;  // its captures (the connection) go before the lock is taken again
        lock.lock();
        --running_;
    }
}

}  // namespace age::server
