// Host-side control of the always-on verifier: leak and balance checks, low-resource simulation
// and the bug-check hook. Used by tests, tools and the other parts of the platform stand-in.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vf {

// Verifier stop subcodes (parameter 1 of DRIVER_VERIFIER_DETECTED_VIOLATION and friends).
enum StopCode : ULONG_PTR {
    ZeroByteAllocation = 0x00,
    AllocationAboveDispatch = 0x02,
    FreeAboveDispatch = 0x10,
    WaitAtDispatchLevel = 0x3A,
    SpinLockReleasedAtWrongIrql = 0x32,
    SpinLockHeldAtExit = 0x33,
    CriticalRegionUnbalanced = 0x36,
    FloatingPointUnbalanced = 0x37,
    ExtendedStateUnbalanced = 0x38,  // extended-state restore without its innermost save
    ExtendedStateNotSaved = 0x39,    // vector code ran without a save covering its state
    PoolLeak = 0x62,
    HandleLeak = 0x63,
    FreedUnknownAddress = 0x07,  // BAD_POOL_CALLER
    FreedWithWrongTag = 0x0A,    // BAD_POOL_CALLER
    IrpFreedWhileOwned = 0x210,  // DRIVER_VERIFIER_IOMANAGER_VIOLATION
};

// Stops the program: prints the reason, then calls KeBugCheckEx.
[[noreturn]] void Stop(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                       const std::string& reason);

// One outstanding pool block group, for leak reports.
struct PoolUsage {
    ULONG tag = 0;
    SIZE_T size = 0;
    SIZE_T count = 0;
};

// Tag as its four characters in memory order ("KCNw").
std::string TagText(ULONG tag);
// Tag from its four characters in memory order.
constexpr ULONG TagFromText(const char (&text)[5])
{
    return static_cast<ULONG>(static_cast<unsigned char>(text[0])) |
           static_cast<ULONG>(static_cast<unsigned char>(text[1])) << 8 |
           static_cast<ULONG>(static_cast<unsigned char>(text[2])) << 16 |
           static_cast<ULONG>(static_cast<unsigned char>(text[3])) << 24;
}

// One outstanding pool block.
struct PoolBlock {
    const void* address = nullptr;
    ULONG tag = 0;
    SIZE_T size = 0;
};

// Pool blocks allocated since the epoch that are still outstanding.
std::vector<PoolBlock> OutstandingBlocks(std::uint64_t sinceEpoch = 0);
// The same, less the blocks `excused` accepts; it looks at each block while no thread can free
// it, so it may read the block's contents.
std::vector<PoolBlock> OutstandingBlocksExcept(std::uint64_t sinceEpoch,
                                               const std::function<bool(const PoolBlock&)>& excused);
// Bug checks (DRIVER_VERIFIER_DETECTED_VIOLATION / PoolLeak) listing the blocks by tag, size
// and count; does nothing for an empty list.
void ReportLeakedBlocks(const char* when, const std::vector<PoolBlock>& blocks);

// Groups blocks by tag and size.
std::vector<PoolUsage> GroupBlocks(const std::vector<PoolBlock>& blocks);
// Pool blocks allocated since the epoch that are still outstanding, grouped by tag and size.
std::vector<PoolUsage> OutstandingPool(std::uint64_t sinceEpoch = 0);
// Starts a new epoch and returns it; allocations before it are not reported as leaks.
std::uint64_t MarkPoolEpoch();
// Number of handles currently open.
std::size_t OpenHandleCount();

// Bug checks (DRIVER_VERIFIER_DETECTED_VIOLATION / PoolLeak) when blocks allocated since the
// epoch are still outstanding, listing them by tag, size and count. `when` names the moment
// ("driver unload", "end of test").
void CheckForLeaks(const char* when, std::uint64_t sinceEpoch = 0);
// Bug checks when the calling thread holds a spin lock, runs above PASSIVE_LEVEL, is inside a
// critical region or has an unrestored floating-point or extended-state save.
void CheckThreadState(const char* when);
// Number of system threads still running.
std::size_t RunningSystemThreads();
// Waits until every system thread has ended (host code only; at PASSIVE_LEVEL).
void WaitForSystemThreads();

// Low-resource simulation. Injected failures make ExAllocatePoolWithTag return NULL.
void FailAllocationsWithTag(ULONG tag);       // every allocation under this tag fails
void FailAllocationsAfter(std::uint64_t calls);  // the first `calls` succeed, later ones fail
// Exactly one allocation fails: the `nth` from now on (1 for the next), of any thread or only of
// the calling thread; 0 cancels it.
void FailOneAllocation(std::uint64_t nth, bool callingThreadOnly = false);
// Allocation calls so far (those that failed too), of all threads or of the calling thread, for
// counting the calls of a piece of work.
std::uint64_t AllocationCalls(bool callingThreadOnly = false);
void FailAllocationsRandomly(std::uint32_t seed, double probability);
void ClearFaultInjection();
// For platform components that allocate on a driver's behalf: true when the low-resource
// simulation makes this allocation (under `tag`) fail.
bool SimulateAllocationFailure(ULONG tag);
std::uint64_t InjectedFailureCount();

}  // namespace vf
