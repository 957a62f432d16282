#include "sim/scheduler.h"

#include <pthread.h>

namespace sim {

Scheduler::~Scheduler()
{
    Stop();
    if (thread_.joinable() && !OnSchedulerThread()) {
        thread_.join();
    }
}

void Scheduler::JoinIfFinished()
{
    // A thread that was stopped from inside one of its actions has ended (or is ending) and
    // must be joined before a new one starts.
    if (thread_.joinable() && !OnSchedulerThread()) {
        thread_.join();
    }
}

void Scheduler::At(Clock::time_point when, std::function<void()> action)
{
    std::unique_lock lock(mutex_);
    if (stopping_ || !thread_.joinable()) {
        if (OnSchedulerThread()) {
            return;  // a stopped thread takes no new work from its own last action
        }
        lock.unlock();
        JoinIfFinished();
        lock.lock();
        stopping_ = false;
        if (!thread_.joinable()) {
            thread_ = std::thread([this] { Run(); });
            threadId_ = thread_.get_id();
        }
    }
    actions_.emplace(std::make_pair(when, sequence_++), std::move(action));
    wake_.notify_all();
}

void Scheduler::Clear()
{
    std::lock_guard lock(mutex_);
    actions_.clear();
    idle_.notify_all();
}

void Scheduler::Stop()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        actions_.clear();
        wake_.notify_all();
        idle_.notify_all();
    }
    JoinIfFinished();
}

void Scheduler::WaitIdle()
{
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return stopping_ || (actions_.empty() && !running_); });
}

std::size_t Scheduler::Pending() const
{
    std::lock_guard lock(mutex_);
    return actions_.size() + (running_ ? 1 : 0);
}

void Scheduler::Run()
{
    pthread_setname_np(pthread_self(), "sim-camera");
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (actions_.empty()) {
            idle_.notify_all();
            wake_.wait(lock);
            continue;
        }
        auto first = actions_.begin();
        // A copy: Clear may free the node while this thread waits.
        Clock::time_point due = first->first.first;
        if (due > Clock::now()) {
            wake_.wait_until(lock, due);
            continue;
        }
        std::function<void()> action = std::move(first->second);
        actions_.erase(first);
        running_ = true;
        lock.unlock();
        action();
        lock.lock();
        running_ = false;
    }
    idle_.notify_all();
}

}  // namespace sim
