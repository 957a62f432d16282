// The verifier's balance and leak checks, run at system-thread exit, at driver unload and
// after every test.
#include "ke/thread_state.h"

#include <ntoskrnl/host/verifier.h>

#include <cstdio>

namespace vf {

void CheckThreadState(const char* when)
{
    ke::ThreadState& state = ke::CurrentThreadState();
    if (!state.heldSpinLocks.empty()) {
        Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, SpinLockHeldAtExit,
             reinterpret_cast<ULONG_PTR>(state.heldSpinLocks.back()), state.heldSpinLocks.size(),
             0, std::string("spin lock still held at ") + when);
    }
    if (state.irql != PASSIVE_LEVEL) {
        Stop(IRQL_NOT_LESS_OR_EQUAL, state.irql, PASSIVE_LEVEL, 0, 0,
             std::string("IRQL not back at PASSIVE_LEVEL at ") + when);
    }
    if (state.criticalRegionDepth != 0) {
        Stop(KERNEL_APC_PENDING_DURING_EXIT, 0, static_cast<ULONG_PTR>(state.criticalRegionDepth),
             state.irql, 0, std::string("critical region still entered at ") + when);
    }
    if (!state.floatingSaves.empty()) {
        Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, FloatingPointUnbalanced,
             reinterpret_cast<ULONG_PTR>(state.floatingSaves.back()), state.floatingSaves.size(),
             1, std::string("floating-point state saved but not restored at ") + when);
    }
    if (!state.extendedSaves.empty()) {
        Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, ExtendedStateUnbalanced,
             reinterpret_cast<ULONG_PTR>(state.extendedSaves.back().save),
             state.extendedSaves.size(), 1,
             std::string("extended processor state saved but not restored at ") + when);
    }
}

void ReportLeakedBlocks(const char* when, const std::vector<PoolBlock>& leaked)
{
    std::vector<PoolUsage> usage = GroupBlocks(leaked);
    if (usage.empty()) {
        return;
    }
    SIZE_T blocks = 0;
    SIZE_T bytes = 0;
    std::string list;
    for (const PoolUsage& group : usage) {
        blocks += group.count;
        bytes += group.size * group.count;
        char line[96];
        std::snprintf(line, sizeof line, "\n    tag '%s' size %zu x %zu", TagText(group.tag).c_str(),
                      static_cast<std::size_t>(group.size), static_cast<std::size_t>(group.count));
        list += line;
    }
    Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, PoolLeak, blocks, bytes, 0,
         std::string("pool still allocated at ") + when + ":" + list);
}

void CheckForLeaks(const char* when, std::uint64_t sinceEpoch)
{
    ReportLeakedBlocks(when, OutstandingBlocks(sinceEpoch));
    std::size_t handles = OpenHandleCount();
    if (handles != 0) {
        Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, HandleLeak, handles, 0, 0,
             std::string("kernel handles still open at ") + when);
    }
}

}  // namespace vf
