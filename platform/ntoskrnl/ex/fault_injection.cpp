// Allocation-failure injection by tag, after a number of calls, exactly one chosen call, or at
// random with a seed.
#include "ex/fault_injection.h"

#include <ntoskrnl/host/verifier.h>

#include <mutex>
#include <random>
#include <set>
#include <thread>

namespace {

struct FaultPlan {
    std::set<ULONG> failingTags;
    bool countdownActive = false;
    std::uint64_t successesLeft = 0;
    bool randomActive = false;
    double probability = 0.0;
    std::mt19937 random;
    std::uint64_t injected = 0;
    std::uint64_t calls = 0;  // allocation calls seen, injected or not
    // The one call to fail (by number in `calls`, or in the thread's own count when
    // `failingThreadOnly`); 0 for none.
    std::uint64_t failingCall = 0;
    bool failingThreadOnly = false;
    std::thread::id failingThread;
};

// Allocation calls of the current thread.
thread_local std::uint64_t threadCalls = 0;

std::mutex& PlanLock()
{
    static std::mutex lock;
    return lock;
}

FaultPlan& Plan()
{
    static FaultPlan plan;
    return plan;
}

}  // namespace

namespace ex {

bool ShouldFailAllocation(ULONG tag)
{
    std::lock_guard<std::mutex> guard(PlanLock());
    FaultPlan& plan = Plan();
    ++plan.calls;
    ++threadCalls;
    bool chosen = plan.failingThreadOnly
                      ? std::this_thread::get_id() == plan.failingThread &&
                            threadCalls == plan.failingCall
                      : plan.calls == plan.failingCall;
    bool fail = plan.failingTags.count(tag) != 0 || chosen;
    if (plan.countdownActive) {
        if (plan.successesLeft == 0) {
            fail = true;
        } else if (!fail) {
            --plan.successesLeft;
        }
    }
    if (!fail && plan.randomActive) {
        fail = std::uniform_real_distribution<double>(0.0, 1.0)(plan.random) < plan.probability;
    }
    if (fail) {
        ++plan.injected;
    }
    return fail;
}

}  // namespace ex

namespace vf {

void FailAllocationsWithTag(ULONG tag)
{
    std::lock_guard<std::mutex> guard(PlanLock());
    Plan().failingTags.insert(tag);
}

void FailAllocationsAfter(std::uint64_t calls)
{
    std::lock_guard<std::mutex> guard(PlanLock());
    Plan().countdownActive = true;
    Plan().successesLeft = calls;
}

void FailOneAllocation(std::uint64_t nth, bool callingThreadOnly)
{
    std::lock_guard<std::mutex> guard(PlanLock());
    FaultPlan& plan = Plan();
    plan.failingThreadOnly = callingThreadOnly;
    plan.failingThread = std::this_thread::get_id();
    plan.failingCall = nth == 0 ? 0 : (callingThreadOnly ? threadCalls : plan.calls) + nth;
}

std::uint64_t AllocationCalls(bool callingThreadOnly)
{
    std::lock_guard<std::mutex> guard(PlanLock());
    return callingThreadOnly ? threadCalls : Plan().calls;
}

void FailAllocationsRandomly(std::uint32_t seed, double probability)
{
    std::lock_guard<std::mutex> guard(PlanLock());
    Plan().randomActive = true;
    Plan().probability = probability;
    Plan().random.seed(seed);
}

void ClearFaultInjection()
{
    std::lock_guard<std::mutex> guard(PlanLock());
    FaultPlan& plan = Plan();
    plan.failingTags.clear();
    plan.countdownActive = false;
    plan.randomActive = false;
    plan.failingCall = 0;
}

bool SimulateAllocationFailure(ULONG tag)
{
    return ex::ShouldFailAllocation(tag);
}

std::uint64_t InjectedFailureCount()
{
    std::lock_guard<std::mutex> guard(PlanLock());
    return Plan().injected;
}

}  // namespace vf
