// A thread of the camera's own that runs actions at given times: real-time frame delivery,
// late replies and frames, removal in the middle of a frame. The thread starts with the first
// action and stops (and is joined) on Stop or destruction.
#pragma once

#include <chrono>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace sim {

class Scheduler {
public:
    using Clock = std::chrono::steady_clock;

    Scheduler() = default;
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;
    ~Scheduler();

    // Runs `action` on the scheduler's thread at `when` (at once when that has passed).
    // Actions due at the same time run in the order they were scheduled.
    void At(Clock::time_point when, std::function<void()> action);

    // Drops every action not yet started.
    void Clear();

    // Drops pending actions and ends the thread. Called on the scheduler's own thread (by an
    // action), the thread ends after that action and is joined later.
    void Stop();

    // Blocks until no action is pending or running.
    void WaitIdle();

    bool OnSchedulerThread() const { return std::this_thread::get_id() == threadId_; }
    std::size_t Pending() const;

private:
    void Run();
    void JoinIfFinished();

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::map<std::pair<Clock::time_point, std::uint64_t>, std::function<void()>> actions_;
    std::uint64_t sequence_ = 0;
    bool stopping_ = false;
    bool running_ = false;  // an action is executing
    std::thread thread_;
    std::atomic<std::thread::id> threadId_{};
};

}  // namespace sim
