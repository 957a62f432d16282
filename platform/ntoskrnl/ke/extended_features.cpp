// The extended processor features the stand-in's system has enabled, and the host controls
// that narrow them: RtlGetEnabledExtendedFeatures and the settings behind it.
#include "ke/extended_features.h"

#include <ntddk.h>
#include <ntoskrnl/host/extended_state.h>

#include <atomic>

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#define USBCAM_HAVE_X86_CPUID 1
#endif

namespace ke {
namespace {

std::atomic<ULONG64> disabledFeatures{0};
std::atomic<bool> olderSystem{false};
std::atomic<ULONG> failingSaves{0};

}  // namespace

ULONG64 HostEnabledExtendedFeatures()
{
#ifdef USBCAM_HAVE_X86_CPUID
    unsigned int eax = 0;
    unsigned int ebx = 0;
    unsigned int ecx = 0;
    unsigned int edx = 0;
    // OSXSAVE (leaf 1, ECX bit 27): the operating system has set up XSAVE, and XCR0 says which
    // state components it switches with its threads.
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (ecx & (1u << 27)) != 0) {
        unsigned int low = 0;
        unsigned int high = 0;
        __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
        return (static_cast<ULONG64>(high) << 32) | low;
    }
#endif
    return XSTATE_MASK_LEGACY;
}

void DisableExtendedFeatures(ULONG64 features)
{
    disabledFeatures.store(features);
}

void SetSystemWithoutExtendedState(bool older)
{
    olderSystem.store(older);
}

void FailExtendedStateSaves(ULONG count)
{
    failingSaves.store(count);
}

void ResetExtendedStateControls()
{
    disabledFeatures.store(0);
    olderSystem.store(false);
    failingSaves.store(0);
}

ULONG64 SystemEnabledExtendedFeatures()
{
    return HostEnabledExtendedFeatures() & ~disabledFeatures.load();
}

bool SystemHasExtendedStateRoutines()
{
    return !olderSystem.load();
}

bool TakeInjectedExtendedSaveFailure()
{
    ULONG remaining = failingSaves.load();
    while (remaining != 0) {
        if (failingSaves.compare_exchange_weak(remaining, remaining - 1)) {
            return true;
        }
    }
    return false;
}

}  // namespace ke

extern "C" ULONG64 NTAPI RtlGetEnabledExtendedFeatures(ULONG64 FeatureMask)
{
    return ke::SystemEnabledExtendedFeatures() & FeatureMask;
}
